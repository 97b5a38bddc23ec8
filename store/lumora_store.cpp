#include "store/lumora_store.hpp"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include "container/base/file_io.hpp"
#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "container/base/message.hpp"

namespace lumora {

namespace {
long long nanoseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// "2026-12-09-155224": sorts by time and needs no character a file system refuses.
std::string fileTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
    return text;
}

// Renames without replacing anything already at to; EEXIST when something is there.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the flag: check, then rename.
    struct stat info;
    if (lstat(to.c_str(), &info) == 0) return EEXIST;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}
}  // namespace

LumoraStore::LumoraStore(const std::string& directory) {
    g_mkdir_with_parents(directory.c_str(), 0700);
    path_ = directory + "/lumora.json";
    // Our temporaries are only ever held by a live save; a killed one leaves its own.
    removeStaleTemporaries(directory, "lumora.json");
}

std::optional<LumoraStore::Identity> LumoraStore::identity() const {
    struct stat info;
    if (stat(path_.c_str(), &info) != 0) return std::nullopt;
    return Identity{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim)};
}

std::optional<std::string> LumoraStore::readState(std::optional<Identity>& read) const {
    // Without blocking: a FIFO put there would stop the program for good.
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info;
    std::string text;
    bool whole = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && readAll(fd, text) == 0;
    close(fd);
    if (!whole) return std::nullopt;
    read = Identity{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim)};
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::nullopt;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return std::nullopt;
    return text;
}

std::optional<std::string> LumoraStore::load() const {
    std::optional<Identity> read;
    auto text = readState(read);
    if (text) known_ = read;
    return text;
}

int LumoraStore::setAsideUnreadable() const {
    auto current = identity();
    // Nothing there, or an empty file: nothing of the user's to keep.
    if (!current || current == known_ || current->size == 0) return 0;
    std::optional<Identity> read;
    if (readState(read)) {
        known_ = read;
        return 0;
    }
    // A link (dotfiles kept elsewhere) stays: what it points at is what gets moved.
    std::string target = path_;
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path_.c_str(), nullptr),
                                                         &std::free);
    if (resolved) target = resolved.get();
    std::string base = target + ".unreadable-" + fileTimestamp();
    int error = EEXIST;
    std::string aside;
    for (int attempt = 1; attempt <= 100 && error == EEXIST; ++attempt) {
        aside = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        error = renameNoReplace(target, aside);
    }
    if (error != 0) {
        log("lumora.json could not be read, and could not be moved aside before saving: " +
            std::string(g_strerror(error)) + " (" + path_ + ")");
        return error;
    }
    log("lumora.json could not be read; kept as " + aside + " before saving a new one");
    known_.reset();
    setAside_ = aside;
    return 0;
}

bool LumoraStore::save(const nlohmann::json& value) const {
    if (!isJsonDocument(value)) return false;
    auto text = compactJson(value);
    if (!text) return false;
    return saveCompact(*text) == 0;
}

int LumoraStore::saveCompact(const std::string& document) const {
    if (int error = setAsideUnreadable(); error != 0) return error;
    int error = writeFileAtomically(path_, document);
    if (error == 0) known_ = identity();
    return error;
}

std::optional<std::string> LumoraStore::takeSetAside() const {
    return std::exchange(setAside_, std::nullopt);
}

}  // namespace lumora
