#include "beneath.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The components of name; false when one is "..", which could only lead out.
bool components(std::string const& name, std::vector<std::string>& parts) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..")
            return false;
        if (!part.empty() && part != ".")
            parts.push_back(part);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    int fd;
};

// One component, not followed if it is a link. The kernel reports a link opened as a directory without
// following it as "not a directory"; it is told as what it is, a link.
int openNotLink(int at, char const* name, int flags, mode_t mode = 0) {
    int fd = openat(at, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    struct stat status;
    if (fd < 0 && errno == ENOTDIR && fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode))
        errno = ELOOP;
    return fd;
}

// One component at a time, none of them followed if it is a link.
int walk(int folder, std::vector<std::string> const& parts, int flags, mode_t mode) {
    if (parts.empty())
        return openat(folder, ".", flags | O_CLOEXEC, mode);
    Descriptor current(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        int next = openNotLink(current.fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY);
        if (next < 0)
            return -1;
        ::close(current.fd);
        current.fd = next;
    }
    return openNotLink(current.fd, parts.back().c_str(), flags, mode);
}

} // namespace

namespace Beneath {

int openFolder(char const* folder) {
    std::string path(folder);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    Descriptor parent(
        ::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.fd < 0)
        return -1;
    return openNotLink(parent.fd, path.c_str() + slash + 1, O_RDONLY | O_DIRECTORY);
}

int open(int folder, std::string const& name, int flags, mode_t mode) {
    std::vector<std::string> parts;
    if (!components(name, parts)) {
        errno = EXDEV;
        return -1;
    }
    static bool kernelWalks = true; // until the kernel says it has no openat2
    if (kernelWalks) {
        std::string relative;
        for (auto const& part : parts)
            relative += (relative.empty() ? "" : "/") + part;
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        long fd = syscall(SYS_openat2, folder, relative.empty() ? "." : relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
        kernelWalks = false;
    }
    return walk(folder, parts, flags, mode);
}

namespace {
// The folder that holds the last component of name, beneath folder, and that component; -1 with errno when
// there is no such component (EISDIR), it is ".." (EXDEV), or the folder cannot be opened.
int parentOf(int folder, std::string const& name, std::string& base) {
    size_t slash = name.find_last_of('/');
    base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        errno = base == ".." ? EXDEV : EISDIR;
        return -1;
    }
    return slash == std::string::npos ? fcntl(folder, F_DUPFD_CLOEXEC, 0)
                                      : open(folder, name.substr(0, slash), O_RDONLY | O_DIRECTORY);
}

bool isLink(int parent, std::string const& base) {
    struct stat status;
    if (fstatat(parent, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return true;
    }
    return false;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(size_t(n));
    }
    return true;
}
} // namespace

int unlink(int folder, std::string const& name) {
    std::string base;
    Descriptor parent(parentOf(folder, name, base));
    if (parent.fd < 0)
        return -1;
    struct stat status;
    if (fstatat(parent.fd, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || isLink(parent.fd, base))
        return -1;
    return unlinkat(parent.fd, base.c_str(), 0);
}

int replace(int folder, std::string const& name, std::string_view bytes, bool& opened) {
    opened = false;
    std::string base;
    Descriptor parent(parentOf(folder, name, base));
    if (parent.fd < 0 || isLink(parent.fd, base))
        return -1;
    // Only a regular file is replaced: a folder, a device or a FIFO in its place stays what it is.
    struct stat status;
    if (fstatat(parent.fd, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : ENXIO;
        return -1;
    }
    // Whatever an earlier cut-off write left under the temporary name goes: opened as it is, a FIFO would
    // hold the service, a link would lead elsewhere.
    std::string const temporary = TEMPORARY_PREFIX + base;
    unlinkat(parent.fd, temporary.c_str(), 0);
    Descriptor file(openat(parent.fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.fd < 0)
        return -1;
    opened = true;
    // fsync before the rename: otherwise the file system may put the new name on disk before the bytes, and a
    // power cut leaves the name empty. The folder is synced after, so that the rename itself survives.
    bool written = writeAll(file.fd, bytes) && fsync(file.fd) == 0;
    int closed = ::close(std::exchange(file.fd, -1));
    if (written && closed == 0 && renameat(parent.fd, temporary.c_str(), parent.fd, base.c_str()) == 0) {
        fsync(parent.fd);
        return 0;
    }
    int error = errno;
    unlinkat(parent.fd, temporary.c_str(), 0);
    errno = error;
    return -1;
}

void removeTemporaries(char const* folder) {
    int fd = openFolder(folder);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (dirent* entry = readdir(dir))
        if (entry->d_type == DT_REG &&
            strncmp(entry->d_name, TEMPORARY_PREFIX, strlen(TEMPORARY_PREFIX)) == 0)
            unlinkat(dirfd(dir), entry->d_name, 0);
    closedir(dir);
}

void syncFolder(char const* path) {
    Descriptor folder(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0)
        fsync(folder.fd);
}

bool leaves(int error) {
    return error == ELOOP || error == EXDEV;
}

} // namespace Beneath
