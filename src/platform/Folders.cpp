#include "Folders.h"

#include "FileUtil.h"
#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvanta::folders {
namespace {

constexpr const char *kAppFolder = "Orvanta";

std::string envOr(const char *name, const std::string &fallback) {
    const char *v = std::getenv(name);
    // XDG: a relative path in these variables is invalid and ignored.
    return v && v[0] == '/' ? std::string(v) : fallback;
}

std::optional<std::string> ensure(const std::string &path, Error *error) {
    if (!createDirectories(path, error, 0700)) return std::nullopt;
    return path;
}

bool isPrivateFolder(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool removeTree(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = ::opendir(path.c_str())) {
            while (dirent *e = ::readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                removeTree(path + "/" + name);
            }
            ::closedir(d);
        }
        return ::rmdir(path.c_str()) == 0;
    }
    return ::unlink(path.c_str()) == 0;
}

} // namespace

std::string homeDirectory() {
    if (const char *h = std::getenv("HOME"); h && h[0]) return h;
    if (passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::optional<std::string> configDirectory(Error *error) {
    return ensure(envOr("XDG_CONFIG_HOME", homeDirectory() + "/.config") + "/" + kAppFolder, error);
}

std::optional<std::string> applicationSupportDirectory(Error *error) {
    return ensure(envOr("XDG_DATA_HOME", homeDirectory() + "/.local/share") + "/" + kAppFolder, error);
}

std::optional<std::string> temporaryDirectory(Error *error) {
    std::string root = envOr("TMPDIR", "/tmp");
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::string path = root + "/" + kAppFolder + "-" + std::to_string(::geteuid());
    if (::mkdir(path.c_str(), 0700) == 0 || isPrivateFolder(path)) return path;

    // The expected name is taken by something we must not trust: use a fresh
    // folder, the same one for the rest of this process.
    static std::mutex m;
    static std::map<std::string, std::string> fallbacks;
    std::lock_guard lock(m);
    if (auto it = fallbacks.find(path); it != fallbacks.end() && isPrivateFolder(it->second))
        return it->second;
    std::string tmpl = path + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        setError(error, Error::posix(errno, tmpl));
        return std::nullopt;
    }
    logMessage("temporary folder %s is not private to this user; using %s", path.c_str(), buf.data());
    fallbacks[path] = buf.data();
    return fallbacks[path];
}

std::string picturesDirectory() {
    std::string home = homeDirectory();
    std::string config = envOr("XDG_CONFIG_HOME", home + "/.config");
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_PICTURES_DIR=";
        if (line.rfind(key, 0) != 0) continue;
        std::string v = line.substr(key.size());
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.rfind("$HOME", 0) == 0) v = home + v.substr(5);
        if (!v.empty() && v[0] == '/') return v;
    }
    return home + "/Pictures";
}

void cleanDirectory(const std::string &folder) {
    DIR *d = ::opendir(folder.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    for (const auto &name : names) {
        std::string p = folder + "/" + name;
        if (!removeTree(p))
            logMessage("cleanDirectory oops: %s", Error::posix(errno, p).description().c_str());
    }
}

} // namespace orvanta::folders
