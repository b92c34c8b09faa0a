#include "FileUtil.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvanta {

std::string parentPath(const std::string &path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::optional<std::string> readWholeFile(const std::string &path, Error *error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, Error::posix(errno, path));
        return std::nullopt;
    }
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(st.st_size);
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            setError(error, Error::posix(e, path));
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

bool writeFileAtomically(const std::string &path, std::string_view bytes, Error *error) {
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        setError(error, Error::posix(errno, path));
        return false;
    }
    auto fail = [&](int e) {
        ::close(fd);
        ::unlink(name.data());
        setError(error, Error::posix(e, path));
        return false;
    };
    // Keep the permissions of the file being replaced; new files are 0644.
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) return fail(errno);
    const char *p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(name.data());
        setError(error, Error::posix(e, path));
        return false;
    }
    if (::rename(name.data(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(name.data());
        setError(error, Error::posix(e, path));
        return false;
    }
    // Make the rename itself durable.
    int dfd = ::open(parentPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool createDirectories(const std::string &path, Error *error, unsigned mode) {
    if (path.empty()) {
        setError(error, Error::posix(ENOENT, path));
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        setError(error, Error::posix(ENOTDIR, path));
        return false;
    }
    std::string parent = parentPath(path);
    if (parent != path && parent != "." && parent != "/" && !createDirectories(parent, error, mode))
        return false;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        setError(error, Error::posix(errno, path));
        return false;
    }
    return true;
}

} // namespace orvanta
