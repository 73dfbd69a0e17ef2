#include "beneath.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
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

int unlink(int folder, std::string const& name) {
    size_t slash = name.find_last_of('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        errno = base == ".." ? EXDEV : EISDIR;
        return -1;
    }
    Descriptor parent(slash == std::string::npos
                          ? fcntl(folder, F_DUPFD_CLOEXEC, 0)
                          : open(folder, name.substr(0, slash), O_RDONLY | O_DIRECTORY));
    if (parent.fd < 0)
        return -1;
    struct stat status;
    if (fstatat(parent.fd, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (S_ISLNK(status.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return unlinkat(parent.fd, base.c_str(), 0);
}

bool leaves(int error) {
    return error == ELOOP || error == EXDEV;
}

} // namespace Beneath
