#pragma once
// Batch export: every file opened as a hidden document, given the preset,
// exported next to itself or into an export folder under a name that does
// not overwrite (unless "SilentlyOverwrite"), and closed without touching
// the catalog. Stops at the first error or when cancelled.

#include "platform/Error.h"
#include "platform/Geometry.h"
#include "platform/Value.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

class BatchExport {
public:
    struct Options {
        std::optional<Dictionary> preset;        // applied to every document
        std::optional<std::string> exportFolder; // else next to each source file
        bool silentlyOverwrite = false;
        Rect crop = Rect(0, 0, 0, 0); // the whole image unless given
        // An exact destination for a batch of one file.
        std::optional<std::string> destination;
    };

    // Told before each file: its index, the count, its source path and the
    // destination it will be written to.
    std::function<void(std::size_t index, std::size_t count, const std::string &source,
                       const std::string &destination)>
        progressUpdate;
    std::atomic<bool> cancel{false};

    // The paths written; the first error, if any, stops the batch.
    std::vector<std::string> written;
    std::optional<Error> runWorker(const std::vector<std::string> &files, const Options &options);

    // The extension of an export type index: "exr", "dng", "tif" or "jpg".
    static std::string extensionForIndex(std::optional<std::int64_t> index);
    // The destination for source: in folder (or beside it) with the
    // extension; numbered "%@_%i" up to 99999 unless overwriting is allowed.
    static std::string destinationFor(const std::string &source, const std::optional<std::string> &folder,
                                      const std::string &extension, bool silentlyOverwrite);
    // The percentage the progress bar shows.
    static double progressPercent(std::size_t index, std::size_t count);
};

} // namespace orvanta
