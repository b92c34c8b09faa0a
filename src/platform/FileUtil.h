#pragma once
// Whole-file reads and atomic file replacement.

#include "Error.h"

#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// The file's bytes, or nullopt (with the POSIX error) when it cannot be read.
std::optional<std::string> readWholeFile(const std::string &path, Error *error = nullptr);

// Replaces path with bytes so that readers see either the old file or the
// whole new one: the bytes go to a temporary file in the same folder, are
// flushed to disk, and the temporary file is renamed over path. On failure the
// temporary file is removed and an existing file at path is left untouched.
bool writeFileAtomically(const std::string &path, std::string_view bytes, Error *error = nullptr);

// A file that a library writes by name and that must replace its
// destination whole or not at all: the library writes path(), a temporary
// file beside the destination with the mode of the file it replaces (0644 for
// a new one); commit() flushes it and renames it over the destination. Without
// a commit the temporary file is removed.
class ReplacementFile {
public:
    explicit ReplacementFile(std::string destination, Error *error = nullptr);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;

    bool ok() const { return ok_; }
    const std::string &path() const { return temp_; }
    bool commit(Error *error = nullptr);

private:
    std::string destination_, temp_;
    bool ok_ = false, committed_ = false;
};

// Creates the folder and any missing parents (mode 0755 unless given).
bool createDirectories(const std::string &path, Error *error = nullptr, unsigned mode = 0755);

// The last path component's parent ("." for a bare name).
std::string parentPath(const std::string &path);

} // namespace orvanta
