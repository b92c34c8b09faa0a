#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvanta::test {
namespace {
void removeTree(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = ::opendir(path.c_str())) {
            while (dirent *e = ::readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") removeTree(path + "/" + n);
            }
            ::closedir(d);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}
} // namespace

ScratchDir::ScratchDir() {
    const char *root = std::getenv("TMPDIR");
    std::string tmpl = std::string(root && root[0] ? root : "/tmp") + "/orvanta-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

ScratchDir::~ScratchDir() {
    removeTree(path_);
}

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : name_(name) {
    if (const char *v = std::getenv(name)) old_ = v;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        ::setenv(name_.c_str(), old_->c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

bool fileExists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int countEntriesWithPrefix(const std::string &folder, const std::string &prefix) {
    int n = 0;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) ++n;
        ::closedir(d);
    }
    return n;
}

std::optional<std::string> testDataDir() {
    const char *env = std::getenv("ORVANTA_TESTDATA");
    std::string dir = env && env[0] ? env : std::string(ORVANTA_SOURCE_DIR) + "/../shared/testdata";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return dir;
}

std::string runCommand(const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

} // namespace orvanta::test
