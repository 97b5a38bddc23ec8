#include "store/lumora_store.hpp"

#include <glib.h>
#include <glib/gstdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "container/glib_ptr.hpp"
#include "container/message.hpp"

namespace lumora {

LumoraStore::LumoraStore(const std::string& directory) {
    g_mkdir_with_parents(directory.c_str(), 0700);
    path_ = directory + "/lumora.json";
}

std::optional<std::string> LumoraStore::load() const {
    gchar* raw = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path_.c_str(), &raw, &length, nullptr)) return std::nullopt;
    std::unique_ptr<gchar, GFreeDeleter> owned(raw);
    std::string text(raw, length);
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::nullopt;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return std::nullopt;
    return text;
}

bool LumoraStore::save(const nlohmann::json& value) const {
    if (!isJsonDocument(value)) return false;
    auto text = compactJson(value);
    if (!text) return false;
    return writeFileAtomically(path_, *text) == 0;
}

int writeFileAtomically(const std::string& path, const std::string& contents, int mode) {
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // A hidden name in the same directory, so the rename is atomic and folder
    // watchers can tell it apart from real files.
    std::string temp = dir + "/." + name + ".tmp-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    auto fail = [&](int code) {
        close(fd);
        unlink(temp.c_str());
        return code;
    };
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(errno);
    if (fsync(fd) != 0) return fail(errno);
    if (close(fd) != 0) {
        int code = errno;
        unlink(temp.c_str());
        return code;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        int code = errno;
        unlink(temp.c_str());
        return code;
    }
    // Make the rename itself durable.
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return 0;
}

}  // namespace lumora
