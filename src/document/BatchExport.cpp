#include "BatchExport.h"

#include "MyDocument.h"

#include <cstdio>
#include <filesystem>

namespace orvanta {

namespace fs = std::filesystem;

std::string BatchExport::extensionForIndex(std::optional<std::int64_t> index) {
    if (!index) return "jpg";
    if (*index >= 3 && *index <= 6) return "exr";
    if (*index == 2) return "dng";
    if (*index == 1) return "tif";
    return "jpg";
}

std::string BatchExport::destinationFor(const std::string &source, const std::optional<std::string> &folder,
                                        const std::string &extension, bool silentlyOverwrite) {
    fs::path dest = folder ? fs::path(*folder) / fs::path(source).filename() : fs::path(source);
    dest.replace_extension(extension);
    if (silentlyOverwrite) return dest.string();
    const fs::path base = dest.parent_path() / dest.stem();
    std::error_code ec;
    for (int i = 1; fs::exists(dest, ec) && i <= 99999; ++i) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "_%i", i);
        dest = fs::path(base.string() + suffix + "." + extension);
    }
    return dest.string();
}

double BatchExport::progressPercent(std::size_t index, std::size_t count) {
    return count == 0 ? 99.0 : static_cast<double>(index) / static_cast<double>(count + 1) * 100.0;
}

std::optional<Error> BatchExport::runWorker(const std::vector<std::string> &files, const Options &options) {
    std::optional<std::int64_t> index;
    if (options.preset)
        if (const Value *v = options.preset->get("Orvanta_ExportFileType"); v && v->toInt64())
            index = v->toInt64();
    const std::string extension = extensionForIndex(index);
    const std::string type = MyDocument::exportTypeForIndex(index.value_or(0));
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (cancel) break;
        const std::string &source = files[i];
        const std::string destination =
            options.destination && files.size() == 1
                ? *options.destination
                : destinationFor(source, options.exportFolder, extension, options.silentlyOverwrite);
        if (progressUpdate) progressUpdate(i, files.size(), source, destination);
        Error error;
        bool ok = false;
        {
            auto doc = MyDocument::create();
            if (doc->readFromURL(source, "public.image", &error)) {
                if (options.preset) doc->addSettingValues(&*options.preset);
                ok = cancel || doc->exportToURL(destination, type, options.crop, true, &error);
            }
            doc->close();
        }
        if (!ok) {
            if (error.domain.empty())
                error =
                    Error(kOrvantaErrorDomain, -1,
                          "Quenfold could not create the export file - may be a permissions problem: " +
                              (fs::path(destination).parent_path() / fs::path(destination).stem()).string());
            return error;
        }
        if (!cancel) written.push_back(destination);
    }
    return std::nullopt;
}

} // namespace orvanta
