// Log lines go to the journal, as structured entries, when standard error is connected to it
// (as for programs started by a systemd user session), and to standard error otherwise.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "container/base/log.hpp"

namespace {

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

sockaddr_un unixAddress(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    return address;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// The journal's native protocol: KEY=value lines, or KEY, newline, a 64-bit little-endian
// length and the raw value for values that hold a newline.
std::map<std::string, std::string> journalFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        std::size_t end = datagram.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = datagram.substr(at, end - at);
        if (auto equals = line.find('='); equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
            at = end + 1;
        } else {
            std::uint64_t length = 0;
            if (end + 1 + 8 > datagram.size()) break;
            for (int i = 7; i >= 0; --i)
                length = (length << 8) | static_cast<unsigned char>(datagram[end + 1 + i]);
            fields[line] = datagram.substr(end + 9, length);
            at = end + 9 + length + 1;
        }
    }
    return fields;
}

// A journal of the test's own: /run is a private tmpfs in a mount namespace of this process
// (each test runs as its own process), so the machine's journal is never touched.
struct FakeJournal {
    Fd datagrams{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    Fd streams{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    Fd client{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    Fd server;

    static std::string isolate() {
        if (geteuid() != 0) return "needs root for a private mount namespace";
        if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
            return std::string("mount: ") + std::strerror(errno);
        return {};
    }

    bool open() {
        if (mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/journal", 0755) != 0)
            return false;
        auto socketPath = unixAddress("/run/systemd/journal/socket");
        auto stdoutPath = unixAddress("/run/systemd/journal/stdout");
        if (bind(datagrams.get(), reinterpret_cast<sockaddr*>(&socketPath), sizeof socketPath) ||
            bind(streams.get(), reinterpret_cast<sockaddr*>(&stdoutPath), sizeof stdoutPath) ||
            listen(streams.get(), 1) ||
            connect(client.get(), reinterpret_cast<sockaddr*>(&stdoutPath), sizeof stdoutPath))
            return false;
        server.reset(accept4(streams.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return server.get() >= 0;
    }

    std::string receive() {
        if (!readable(datagrams.get(), 10000)) return {};
        std::string buffer(65536, '\0');
        ssize_t n = recv(datagrams.get(), buffer.data(), buffer.size(), 0);
        return n > 0 ? buffer.substr(0, static_cast<std::size_t>(n)) : std::string();
    }
};

// Runs log() with standard error pointing at fd, as a launcher would have set it up.
void logWithStandardError(int fd, const std::string& message) {
    int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fd, STDERR_FILENO), STDERR_FILENO);
    lumora::log(message);
    dup2(saved, STDERR_FILENO);
    close(saved);
}

TEST(JournaldLog, StructuredEntriesWhenStandardErrorIsTheJournal) {
    if (auto why = FakeJournal::isolate(); !why.empty()) GTEST_SKIP() << why;
    FakeJournal journal;
    ASSERT_TRUE(journal.open()) << std::strerror(errno);

    logWithStandardError(journal.client.get(), "page loaded");
    logWithStandardError(journal.client.get(), " page: two\nlines");

    auto first = journalFields(journal.receive());
    EXPECT_EQ(first["MESSAGE"], "[Lumora] page loaded");
    EXPECT_EQ(first["SYSLOG_IDENTIFIER"], "lumora");
    EXPECT_EQ(first["PRIORITY"], "6");
    auto second = journalFields(journal.receive());
    // One entry, one line: a line break from the page is written as "\n".
    EXPECT_EQ(second["MESSAGE"], "[Lumora]  page: two\\nlines");
    // Written once, to the journal: nothing also went down the standard error stream.
    EXPECT_FALSE(readable(journal.server.get(), 200));
}

TEST(JournaldLog, StandardErrorWhenItIsNotTheJournal) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    logWithStandardError(writeEnd.get(), "creating web view (standalone)");
    ASSERT_TRUE(readable(readEnd.get(), 1000));
    char buffer[256] = {};
    ssize_t n = read(readEnd.get(), buffer, sizeof buffer - 1);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
              "[Lumora] creating web view (standalone)\n");
}

}  // namespace
