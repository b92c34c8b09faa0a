// Opening a file: the document's identity, settings (catalog entry or the
// "Default" preset) and pipeline, and the search for the raw file behind a
// JPEG or TIFF that an external editor hands back.

#include "MultiDataStore.h"
#include "MyDocument.h"
#include "PresetManager.h"
#include "input/DCRaw.h"
#include "input/RawWrapper.h"
#include "orvanta/Version.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <filesystem>
#include <strings.h>
#include <system_error>

namespace orvanta {

namespace fs = std::filesystem;

namespace {

constexpr const char *kReadName = "-[MyDocument readFromURL:ofType:error:]";

bool endsWithEdit(const std::string &s) {
    if (s.size() < 5) return false;
    const char *tail = s.c_str() + s.size() - 5;
    return strcasecmp(tail, "-edit") == 0 || strcasecmp(tail, ".edit") == 0;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string extensionOf(const std::string &path) {
    const std::string e = fs::path(path).extension().string();
    return e.empty() ? e : e.substr(1);
}

bool extensionIs(const std::string &path, std::initializer_list<const char *> list) {
    const std::string e = extensionOf(path);
    for (const char *x : list)
        if (strcasecmp(e.c_str(), x) == 0) return true;
    return false;
}

// A file:// URL or a plain path, as a path; none for any other kind of URL.
std::optional<std::string> filePathOf(const std::string &url) {
    if (url.rfind("file://", 0) == 0) {
        std::string rest = url.substr(7);
        if (rest.rfind("localhost/", 0) == 0) rest = rest.substr(9);
        std::string out;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '%' && i + 2 < rest.size() &&
                std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
                out.push_back(static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16)));
                i += 2;
            } else {
                out.push_back(rest[i]);
            }
        }
        return out;
    }
    if (url.find("://") != std::string::npos) return std::nullopt;
    if (url.empty() || url[0] == '/') return url;
    std::error_code ec;
    return (fs::current_path(ec) / url).string();
}

} // namespace

void MyDocument::fail(Error *error, int code, const std::string &reason) {
    if (error) *error = Error(kOrvantaErrorDomain, code, reason);
}

std::map<std::string, int> MyDocument::extensionPriorityTable() {
    std::map<std::string, int> table;
    for (const auto &e : rawExtensions())
        table[lower(e)] = 0;
    table["dng"] = 1;
    table["tiff"] = table["tif"] = 98;
    for (const char *e :
         {"jpeg", "jpg", "png", "bmp", "xml", "xmp", "bak", "cof", "cop", "cos", "txt", "db", "vg"})
        table[e] = 99;
    return table;
}

std::optional<std::string> MyDocument::parseToBaseName(const std::string &name) {
    std::optional<std::string> candidate;
    if (endsWithEdit(name)) {
        candidate = name;
    } else {
        // The suffix grammar, read from the last character backwards:
        // 0 start, 1 digits, 2 letters, 3 "v" before digits.
        int state = 0;
        for (int i = static_cast<int>(name.size()) - 1; i >= 0 && !candidate; --i) {
            const char c = name[static_cast<std::size_t>(i)];
            bool cut = false;
            if (c >= '0' && c <= '9') {
                if (state >= 2) return std::nullopt;
                state = 1;
            } else if (c == 'v' || c == 'V') {
                state = state == 1 ? 3 : 2;
            } else if (c == ' ' || c == '_') {
                if (state == 0 || state == 2) return std::nullopt;
                cut = true;
            } else if (c == '-') {
                if (state == 0 || state == 3) return std::nullopt;
                cut = true;
            } else {
                state = 2;
            }
            if (cut) {
                if (i < 2) return std::nullopt;
                candidate = name.substr(0, static_cast<std::size_t>(i));
            }
        }
        if (!candidate) return std::nullopt;
    }
    if (endsWithEdit(*candidate)) candidate->resize(candidate->size() - 5);
    return candidate;
}

std::optional<std::string> MyDocument::searchDirectory(const std::string &folder, const std::string &name,
                                                       const std::map<std::string, int> &priorities) {
    constexpr const char *kName = "-[NSFileManager searchDirectory:forName:extensionsPriority:]";
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return std::nullopt;
    int best = 99;
    std::optional<std::string> result;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end && best != 0; it.increment(ec)) {
        const fs::directory_entry &entry = *it;
        std::error_code sec;
        if (!entry.exists(sec)) continue;
        const std::string leaf = entry.path().filename().string();
        if (entry.is_directory(sec)) {
            if (!leaf.empty() && leaf[0] == '.') it.disable_recursion_pending();
            continue;
        }
        if (strcasecmp(entry.path().stem().string().c_str(), name.c_str()) != 0) continue;
        const std::string ext = lower(extensionOf(leaf));
        const auto found = priorities.find(ext);
        const int priority = found == priorities.end() ? 50 : found->second;
        const std::string relative = fs::relative(entry.path(), folder, sec).string();
        logMessage("%s 1 : %s %s %s", kName, name.c_str(), relative.c_str(),
                   found == priorities.end() ? "(null)" : std::to_string(found->second).c_str());
        if (priority < best) {
            result = (fs::path(folder) / relative).string();
            best = priority;
            logMessage("%s 2 : %s %i", kName, result->c_str(), best);
        }
    }
    return result;
}

bool MyDocument::rawSearch(std::string &path, Error *error) {
    const std::string name = fs::path(path).stem().string();
    // The raw folder: on this platform the stored value is the folder's path
    // (as text, or as its bytes).
    if (auto stored = UserDefaults::standard().object("rawSearchDirectoryBookmark")) {
        std::optional<std::string> folder;
        if (const std::string *s = stored->string()) folder = *s;
        if (const Data *d = stored->data()) folder = std::string(d->begin(), d->end());
        secureBookmark.reset();
        std::error_code ec;
        if (folder && !folder->empty() && fs::is_directory(*folder, ec)) secureBookmark = *folder;
    }
    if (!secureBookmark) {
        fail(error, kOrvantaNoRawSearchLocation,
             "No valid raw search location available - Set the search location in Preferences to the folder "
             "containing your raw image files.");
        logMessage("%s Error: %s", kReadName, error ? error->description().c_str() : "");
        return false;
    }
    if (extArray) {
        fail(error, kOrvantaInvalidNameSuffix,
             "Could not find a raw file name from " + name + ". Name suffix is not valid.");
        return false;
    }
    extArray = extensionPriorityTable();
    const auto base = parseToBaseName(name);
    std::optional<std::string> found;
    if (base) found = searchDirectory(*secureBookmark, *base, *extArray);
    if (!found) found = searchDirectory(*secureBookmark, name, *extArray);
    if (!found) {
        fail(error, kOrvantaRawFileNotFound,
             "Could not find the raw file corresponding to " + base.value_or(name) + " in search location " +
                 *secureBookmark +
                 ". Set the search location in Preferences to the folder containing your raw image files.");
        logMessage("%s Error: %s", kReadName, error ? error->description().c_str() : "");
        return false;
    }
    extEditorURL_ = path;
    logMessage("%s raw file found: %s", kReadName, found->c_str());
    path = *found;
    return true;
}

bool MyDocument::readFromURL(const std::string &url, const std::string &, Error *error) {
    logMessage("%s - %s file open: %s", (std::string("Orvanta V") + kVersionString).c_str(), kReadName,
               url.c_str());
    auto resolved = filePathOf(url);
    if (!resolved) {
        fail(error, kOrvantaCannotResolve, "Quenfold could not resolve the file location.");
        return false;
    }
    std::string path = *resolved;
    if (extensionIs(path, {"jpg", "jpeg", "tif", "tiff"}) && !rawSearch(path, error)) return false;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        fail(error, kOrvantaDirectoryRead, "directory read operation.");
        return false;
    }
    if (path.empty() || path.find('\0') != std::string::npos) {
        fail(error, kOrvantaNoPath, "Quenfold could not obtain path information.");
        return false;
    }
    setValue(Value(path), "Orvanta_UUID");
    std::shared_ptr<ImageWrapper> wrapper;
    if (!extensionIs(path, {"pcd"})) wrapper = std::make_shared<rawWrapper>(path, path, false);
    if (displayEngine_) displayEngine_->setDelegate(nullptr);
    displayEngine_.reset();

    auto *store = MultiDataStore::sharedMultiDataStore();
    std::optional<Dictionary> settings;
    if (auto entry = store->dataStoreForStore(kCatalogStoreName)->getItemForUUID(path))
        settings = store->deserializeFromPList(*entry);
    if (!settings || settings->empty())
        settings = PresetManager::sharedPresetManager()->presetNamed("Default");
    if (settings) addSettingValues(&*settings);
    displayName_ = fs::path(path).filename().string();

    if (!wrapper) {
        fail(error, kOrvantaNoDecoder,
             "Quenfold could not create a decoder object - may be too little memory.");
        return false;
    }
    displayEngine_ = ThreadedImageEngine::create(wrapper, false);
    return true;
}

} // namespace orvanta
