// The command-line front end: develops raw files into finished files as the
// application would (catalog settings or the "Default" preset, then the
// options given), lists presets and profiles, and makes the project's sample
// image.

#include "SampleScene.h"
#include "browser/InspectorModel.h"
#include "browser/ThumbnailSource.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "color/ProfileManager.h"
#include "document/BatchExport.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "engine/QueueEngine.h"
#include "export/PngFile.h"
#include "input/RawWrapper.h"
#include "orvanta/Version.h"
#include "photocd/dcpWrapper.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

void printUsage(std::FILE *out) {
    std::fprintf(
        out, "Usage: orvanta COMMAND [OPTIONS]\n"
             "\n"
             "Orvanta develops camera raw files into JPEG, 16-bit TIFF, DNG and OpenEXR.\n"
             "\n"
             "Commands:\n"
             "  develop FILE...      develop each file with its catalog settings or the \"Default\" preset\n"
             "  presets              list the presets\n"
             "  profiles             list the camera (DCP) and ICC input profiles\n"
             "  info FILE            print a file's camera parameters and metadata (Photo CD: its items)\n"
             "  thumbnail FILE -o OUT.png [--size N]\n"
             "                       write the thumbnail the browser shows for FILE (raw, Photo CD,\n"
             "                       JPEG, PNG or TIFF), at most N pixels a side (default 256)\n"
             "  make-sample OUT.dng  write the project's sample scene as a Bayer DNG\n"
             "  --version            print the version and the machine's processing width\n"
             "  --help               print this text (also after a command)\n");
}

void printDevelopUsage(std::FILE *out) {
    std::fprintf(out,
                 "Usage: orvanta develop FILE... [OPTIONS]\n"
                 "\n"
                 "  --preset NAME              apply the preset NAME\n"
                 "  --set KEY=VALUE            set one setting (for example Orvanta_Filter_inputEV=0.5)\n"
                 "  --type TYPE                jpeg, tiff, dng, exr, exr-rgb, exr32 or exr32-rgb\n"
                 "  --quality Q                JPEG quality 0-100\n"
                 "  --crop X,Y,W,H             crop rectangle in image pixels, origin top-left\n"
                 "  --camera-profile NAME|FILE a DNG camera profile (.dcp) by name or file\n"
                 "  --input-profile NAME|FILE  an ICC input profile by description or file\n"
                 "  -o OUT                     the output file (one input file only)\n"
                 "  --out-dir DIR              write the outputs into DIR (default: beside each input)\n"
                 "  --overwrite                overwrite existing outputs instead of numbering new names\n"
                 "  --threads N                use at most N workers of the shared pool\n"
                 "\n"
                 "Several files run as a batch that stops at the first file that fails.\n");
}

int fail(const std::string &text) {
    std::fprintf(stderr, "orvanta: %s\n", text.c_str());
    return 1;
}

// A --set value: booleans, integers for the export type, else numbers, else text.
Value parseValue(const std::string &key, const std::string &text) {
    if (text == "true" || text == "yes" || text == "YES") return Value(true);
    if (text == "false" || text == "no" || text == "NO") return Value(false);
    char *end = nullptr;
    errno = 0;
    const double d = std::strtod(text.c_str(), &end);
    if (end && *end == '\0' && !text.empty() && errno == 0) {
        if (key == "Orvanta_ExportFileType") return Value(static_cast<std::int32_t>(d));
        return Value(static_cast<float>(d));
    }
    return Value(text);
}

std::optional<int> typeIndex(const std::string &name) {
    static const std::map<std::string, int> types = {{"jpeg", 0},    {"jpg", 0},   {"tiff", 1},
                                                     {"tif", 1},     {"dng", 2},   {"exr", 3},
                                                     {"exr-rgb", 4}, {"exr32", 5}, {"exr32-rgb", 6}};
    auto it = types.find(name);
    if (it == types.end()) return std::nullopt;
    return it->second;
}

std::shared_ptr<DNGCameraProfileAbstract> cameraProfile(const std::string &nameOrFile) {
    if (fs::is_regular_file(nameOrFile)) return DNGCameraProfileAbstract::initFromFile(nameOrFile);
    for (const auto &p : CameraProfileManager::sharedCameraProfileManager().profileList(false))
        if (p && (p->name == nameOrFile || p->displayName() == nameOrFile)) return p;
    return nullptr;
}

std::shared_ptr<ColorSyncProfileWrap> inputProfile(const std::string &nameOrFile) {
    if (fs::is_regular_file(nameOrFile)) return ColorSyncProfileWrap::initWithCFPath(nameOrFile);
    for (const auto &p : iccProfileManager::sharediccProfileManager().profileList(false))
        if (p && p->description() == nameOrFile) return p;
    return nullptr;
}

void progressLine(std::size_t index, std::size_t count, const std::string &source, const std::string &dest) {
    static const bool terminal = isatty(STDERR_FILENO);
    if (terminal) {
        const int filled = static_cast<int>(BatchExport::progressPercent(index, count) / 5);
        std::fprintf(stderr, "\r[%-20s] %zu/%zu %s\033[K",
                     std::string(static_cast<std::size_t>(filled), '#').c_str(), index + 1, count,
                     fs::path(source).filename().c_str());
    } else {
        std::fprintf(stderr, "developing %s -> %s\n", source.c_str(), dest.c_str());
    }
}

int develop(const std::vector<std::string> &args) {
    std::vector<std::string> files;
    Dictionary settings;
    BatchExport::Options options;
    options.silentlyOverwrite = UserDefaults::standard().boolForKey("SilentlyOverwrite");
    std::optional<std::string> presetName;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto next = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            printDevelopUsage(stdout);
            return 0;
        }
        if (a == "--overwrite") {
            options.silentlyOverwrite = true;
            continue;
        }
        if (a.rfind("-", 0) != 0) {
            files.push_back(a);
            continue;
        }
        const auto value = next();
        if (!value) return fail(a + " needs a value"), 2;
        if (a == "--preset") {
            presetName = *value;
        } else if (a == "--set") {
            const auto eq = value->find('=');
            const std::string key = value->substr(0, eq);
            if (eq == std::string::npos || key.rfind("Orvanta_", 0) != 0)
                return fail("--set takes Orvanta_KEY=VALUE, not " + *value), 2;
            settings.set(key, parseValue(key, value->substr(eq + 1)));
        } else if (a == "--type") {
            const auto index = typeIndex(*value);
            if (!index) return fail("unknown type " + *value), 2;
            settings.set("Orvanta_ExportFileType", static_cast<std::int32_t>(*index));
        } else if (a == "--quality") {
            char *end = nullptr;
            const double q = std::strtod(value->c_str(), &end);
            if (!end || *end || q < 0 || q > 100) return fail("--quality takes 0 to 100"), 2;
            settings.set("Orvanta_JPEGQuality", static_cast<float>(q / 10));
        } else if (a == "--crop") {
            double r[4];
            if (std::sscanf(value->c_str(), "%lf,%lf,%lf,%lf", &r[0], &r[1], &r[2], &r[3]) != 4)
                return fail("--crop takes X,Y,W,H"), 2;
            options.crop = Rect(r[0], r[1], r[2], r[3]);
        } else if (a == "--camera-profile") {
            auto p = cameraProfile(*value);
            if (!p) return fail("no camera profile " + *value), 2;
            settings.set("Orvanta_CameraProfile", Value(p));
        } else if (a == "--input-profile") {
            auto p = inputProfile(*value);
            if (!p) return fail("no ICC profile " + *value), 2;
            settings.set("Orvanta_iccProfile", Value(p));
        } else if (a == "--threads") {
            char *end = nullptr;
            const long n = std::strtol(value->c_str(), &end, 10);
            if (!end || *end || n < 1 || n > 1024) return fail("--threads takes a count from 1"), 2;
            dispatch::setPoolWidth(static_cast<unsigned>(n));
            QueueEngine::sharedQueueEngine()->setOptimalNumberOfTasks(static_cast<std::uint64_t>(n));
        } else if (a == "-o") {
            options.destination = *value;
        } else if (a == "--out-dir") {
            options.exportFolder = *value;
        } else {
            return fail("unknown option " + a), 2;
        }
    }
    if (files.empty()) return printDevelopUsage(stderr), 2;
    if (options.destination && files.size() != 1) return fail("-o takes one input file"), 2;
    if (options.exportFolder && !fs::is_directory(*options.exportFolder))
        return fail("no folder " + *options.exportFolder);
    if (options.exportFolder && ::access(options.exportFolder->c_str(), W_OK) != 0)
        return fail("cannot write into " + *options.exportFolder);

    Dictionary applied;
    if (presetName) {
        auto preset = PresetManager::sharedPresetManager()->presetNamed(*presetName);
        if (!preset) return fail("no preset named \"" + *presetName + "\""), 2;
        applied = *preset;
    }
    applied.merge(settings);
    if (!applied.empty()) options.preset = applied;

    BatchExport batch;
    batch.progressUpdate = progressLine;
    const auto error = batch.runWorker(files, options);
    if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
    for (const auto &w : batch.written)
        std::printf("%s\n", w.c_str());
    if (error) {
        const std::string failed = batch.written.size() < files.size() ? files[batch.written.size()] : "";
        return fail(failed + ": " + error->reason);
    }
    return 0;
}

void printTree(const std::vector<InspectorNode> &nodes, int depth) {
    for (const auto &n : nodes) {
        if (n.children.empty())
            std::printf("%*s%s: %s\n", depth * 2, "", n.key.c_str(), n.val.c_str());
        else {
            std::printf("%*s%s\n", depth * 2, "", n.key.c_str());
            printTree(n.children, depth + 1);
        }
    }
}

// A Photo CD pack: its resolution and its metadata items.
int photoCDInfo(const std::string &path) {
    dcpWrapper wrapper(path, path, true);
    if (!wrapper.preProcess()) {
        if (wrapper.metaDataName(0) == "Error")
            return fail(path + ": " + (wrapper.error() ? wrapper.error()->reason : "not a Photo CD file"));
        // The header alone still describes the image.
        std::fprintf(stderr, "orvanta: %s: %s\n", path.c_str(),
                     wrapper.error() ? wrapper.error()->reason.c_str() : "");
    }
    for (int i = 0; i < pcdDecode::kMetadataItems; ++i)
        std::printf("%s: %s\n", wrapper.metaDataName(i).c_str(), wrapper.metaDataValue(i).c_str());
    std::printf("Scanner profile: %s\n", wrapper.detectScannerProfile()->description().c_str());
    return wrapper.parseOK() ? 0 : 1;
}

int thumbnail(const std::vector<std::string> &args) {
    std::string input, output;
    int size = 256;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--help" || a == "-h") {
            std::printf("Usage: orvanta thumbnail FILE -o OUT.png [--size N]\n");
            return 0;
        }
        if ((a == "-o" || a == "--size") && i + 1 < args.size()) {
            if (a == "-o")
                output = args[++i];
            else if ((size = std::atoi(args[++i].c_str())) < 16 || size > 4096)
                return fail("--size takes 16 to 4096"), 2;
        } else if (input.empty() && !a.empty() && a[0] != '-') {
            input = a;
        } else {
            return fail("unexpected argument " + a), 2;
        }
    }
    if (input.empty() || output.empty()) {
        std::fprintf(stderr, "Usage: orvanta thumbnail FILE -o OUT.png [--size N]\n");
        return 2;
    }
    if (fs::is_directory(input)) return fail(input + ": directory read operation.");
    Error error;
    const auto t = makeThumbnail(input, size, &error);
    if (!t) return fail(input + ": " + error.reason);
    const std::vector<std::uint16_t> samples(t->rgba.begin(), t->rgba.end());
    if (!writePng(output, t->width, t->height, 4, 8, samples.data(), &error))
        return fail(output + ": " + error.reason);
    std::printf("%s (%d x %d)\n", output.c_str(), t->width, t->height);
    return 0;
}

int info(const std::vector<std::string> &args) {
    if (args.size() != 1 || args[0] == "--help") {
        std::fprintf(args.size() == 1 ? stdout : stderr, "Usage: orvanta info FILE\n");
        return args.size() == 1 ? 0 : 2;
    }
    if (fs::is_directory(args[0])) return fail(args[0] + ": directory read operation.");
    if (isPhotoCDFile(args[0])) return photoCDInfo(args[0]);
    rawWrapper wrapper(args[0], args[0]);
    wrapper.masterImageBytes();
    if (const auto &e = wrapper.error()) return fail(args[0] + ": " + e->reason);
    std::printf("Camera parameters\n");
    if (auto parameters = wrapper.getParameters())
        for (const auto &[key, value] : *parameters)
            if (!value.isDictionary()) std::printf("  %s: %s\n", key.c_str(), value.description().c_str());
    printTree(InspectorModel::propTree(wrapper.metaData()), 0);
    return 0;
}

int listPresets() {
    for (const auto &p : PresetManager::sharedPresetManager()->presetList(false))
        std::printf("%s\n", p.stringFor("displayName").c_str());
    return 0;
}

int listProfiles() {
    std::printf("Camera profiles (%s):\n", CameraProfileManager::profileDirectory().c_str());
    for (const auto &p : CameraProfileManager::sharedCameraProfileManager().profileList(false))
        if (p) std::printf("  %s\n", p->displayName().c_str());
    std::printf("ICC input profiles:\n");
    for (const auto &p : iccProfileManager::sharediccProfileManager().profileList(false))
        if (p) std::printf("  %s\n", p->description().c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // Diagnostics go to the system log; the terminal gets the results.
    if (!std::getenv("ORVANTA_VERBOSE"))
        setLogSink(
            [](std::string_view m) { syslog(LOG_NOTICE, "%.*s", static_cast<int>(m.size()), m.data()); });
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--version") {
        std::printf(
            "Orvanta %s (%llu processing threads)\n", kVersionString,
            static_cast<unsigned long long>(QueueEngine::sharedQueueEngine()->optimalNumberOfTasks()));
        if (args.empty()) printUsage(stdout);
        return 0;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printUsage(stdout);
        return 0;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "develop") return develop(rest);
    if (args[0] == "info") return info(rest);
    if (args[0] == "thumbnail") return thumbnail(rest);
    if (args[0] == "presets") return rest.empty() ? listPresets() : (printUsage(stdout), 0);
    if (args[0] == "profiles") return rest.empty() ? listProfiles() : (printUsage(stdout), 0);
    if (args[0] == "make-sample") {
        if (rest.size() != 1 || rest[0] == "--help") {
            std::fprintf(rest.size() == 1 ? stdout : stderr, "Usage: orvanta make-sample OUT.dng\n");
            return rest.size() == 1 ? 0 : 2;
        }
        std::string message;
        if (!writeSampleDng(rest[0], 1536, 1024, &message)) return fail(message);
        std::printf("%s\n", rest[0].c_str());
        return 0;
    }
    std::fprintf(stderr, "orvanta: unknown command %s\n", args[0].c_str());
    printUsage(stderr);
    return 2;
}
