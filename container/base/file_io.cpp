#include "container/base/file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <vector>

namespace lumora {

int writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int readAll(int fd, std::string& out, std::size_t maxBytes) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) return EFBIG;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

namespace {
// The file a chain of symbolic links at path ends at (path itself when it is no link),
// whether that file exists or not; empty, with ELOOP in error, for a loop.
std::string linkTarget(const std::string& path, int& error) {
    std::string current = path;
    // The kernel's own limit on links followed in one lookup.
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat info;
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::string target(PATH_MAX, '\0');
        ssize_t n = readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) == target.size()) return current;
        target.resize(static_cast<std::size_t>(n));
        if (target.front() != '/') {
            auto slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = std::move(target);
    }
    error = ELOOP;
    return {};
}
}  // namespace

int writeFileAtomically(const std::string& given, const std::string& contents, int mode,
                        AtLink atLink) {
    std::string path = given;
    if (atLink == AtLink::kWriteTarget) {
        // A dotfile kept elsewhere through a link stays a link; its target gets the text.
        int error = 0;
        path = linkTarget(given, error);
        if (path.empty()) return error;
        struct stat info;
        if (path != given && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            mode = static_cast<int>(info.st_mode & 07777);
    }
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // A hidden name in the same directory, so the rename is atomic and folder
    // watchers can tell it apart from real files.
    std::string temp;
    int fd = -1;
    for (int attempt = 0;; ++attempt) {
        temp = dir + "/." + name + ".tmp-XXXXXX";
        fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) return errno;
        // Held until the rename: a sweep leaves locked temporaries alone. Where the file
        // system has no locks, the sweep cannot lock either and removes nothing.
        if (flock(fd, LOCK_EX) != 0) break;
        // A sweep may have taken the file between its creation and our lock.
        struct stat info;
        if (fstat(fd, &info) == 0 && info.st_nlink > 0) break;
        close(fd);
        if (attempt == 8) return EAGAIN;
    }
    auto fail = [&](int code) {
        unlink(temp.c_str());
        close(fd);
        return code;
    };
    if (int error = writeAll(fd, contents.data(), contents.size())) return fail(error);
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(errno);
    if (fsync(fd) != 0) return fail(errno);
    // Renamed while still locked, so no sweep can take the finished file first. The
    // data is already on disk, so closing afterwards cannot lose it.
    if (rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
    close(fd);
    // Make the rename itself durable.
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return 0;
}

bool isAtomicTemporaryName(std::string_view fileName, std::string_view name) {
    // "." + name + ".tmp-" + the six letters and digits mkostemp puts in.
    constexpr std::string_view kMark = ".tmp-";
    constexpr std::size_t kRandom = 6;
    if (fileName.size() < 1 + kMark.size() + kRandom + 1 || fileName.front() != '.') return false;
    std::string_view middle = fileName.substr(1, fileName.size() - 1 - kMark.size() - kRandom);
    std::string_view tail = fileName.substr(fileName.size() - kMark.size() - kRandom);
    if (tail.substr(0, kMark.size()) != kMark) return false;
    for (char c : tail.substr(kMark.size()))
        if (!g_ascii_isalnum(c)) return false;
    if (name.empty()) return !middle.empty() && middle.find('/') == std::string_view::npos;
    return middle == name;
}

TemporarySweep removeStaleTemporaries(const std::string& directory, const std::string& name,
                                      double minimumAgeSeconds) {
    TemporarySweep sweep;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return sweep;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
        if (isAtomicTemporaryName(entry->d_name, name)) names.emplace_back(entry->d_name);
    int dirFd = dirfd(dir);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    for (const auto& candidate : names) {
        struct stat info;
        if (fstatat(dirFd, candidate.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != geteuid())
            continue;
        ++sweep.found;
        double age = static_cast<double>(now.tv_sec - info.st_mtim.tv_sec) +
                     static_cast<double>(now.tv_nsec - info.st_mtim.tv_nsec) * 1e-9;
        if (age < minimumAgeSeconds) continue;
        int fd = openat(dirFd, candidate.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        struct stat opened;
        // A writer holds its lock from creation to rename: while we hold it, the name
        // stays on this file.
        if (fstat(fd, &opened) == 0 && opened.st_dev == info.st_dev &&
            opened.st_ino == info.st_ino && opened.st_nlink > 0 &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && unlinkat(dirFd, candidate.c_str(), 0) == 0)
            ++sweep.removed;
        close(fd);
    }
    closedir(dir);
    return sweep;
}

}  // namespace lumora
