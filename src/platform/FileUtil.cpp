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

ReplacementFile::ReplacementFile(std::string destination, Error *error)
    : destination_(std::move(destination)) {
    std::vector<char> name(destination_.begin(), destination_.end());
    for (char c : std::string_view(".XXXXXX"))
        name.push_back(c);
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        setError(error, Error::posix(errno, destination_));
        return;
    }
    temp_ = name.data();
    // Keep the permissions of the file being replaced; new files are 0644.
    struct stat st {};
    const mode_t mode = ::stat(destination_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    const bool chmodded = ::fchmod(fd, mode) == 0;
    const int e = errno;
    ::close(fd);
    if (!chmodded) {
        ::unlink(temp_.c_str());
        setError(error, Error::posix(e, destination_));
        return;
    }
    ok_ = true;
}

ReplacementFile::~ReplacementFile() {
    if (ok_ && !committed_) ::unlink(temp_.c_str());
}

bool ReplacementFile::commit(Error *error) {
    if (!ok_ || committed_) {
        setError(error, Error::posix(EINVAL, destination_));
        return false;
    }
    const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int e = errno;
        if (fd >= 0) ::close(fd);
        setError(error, Error::posix(e, destination_));
        return false;
    }
    ::close(fd);
    if (::rename(temp_.c_str(), destination_.c_str()) != 0) {
        setError(error, Error::posix(errno, destination_));
        return false;
    }
    committed_ = true;
    // Make the rename itself durable.
    const int dfd = ::open(parentPath(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool writeFileAtomically(const std::string &path, std::string_view bytes, Error *error) {
    ReplacementFile file(path, error);
    if (!file.ok()) return false;
    const int fd = ::open(file.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        setError(error, Error::posix(errno, path));
        return false;
    }
    const char *p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            setError(error, Error::posix(e, path));
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        setError(error, Error::posix(errno, path));
        return false;
    }
    return file.commit(error);
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
