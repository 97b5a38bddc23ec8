#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "container/base/file_io.hpp"
#include "store/folder_store.hpp"
#include "store/lumora_store.hpp"
#include "tests/reliability/store/saved_states.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

extern char** environ;

namespace lumora::test {
namespace {

std::vector<std::string> temporariesIn(const std::string& dir, const std::string& name) {
    std::vector<std::string> found;
    DIR* d = opendir(dir.c_str());
    if (!d) return found;
    while (dirent* e = readdir(d))
        if (isAtomicTemporaryName(e->d_name, name)) found.emplace_back(e->d_name);
    closedir(d);
    return found;
}

// One run of the saving child, with its acknowledgements on a pipe.
class SaveChild {
  public:
    SaveChild(const std::string& dir, std::uint64_t first) : first_(first) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        // posix_spawn rather than fork: copying a sanitizer build's mappings takes longer
        // than a save.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string seq = std::to_string(first);
        char* argv[] = {const_cast<char*>(LUMORA_SAVE_CHILD), const_cast<char*>(dir.c_str()),
                        seq.data(), nullptr};
        if (posix_spawn(&pid_, LUMORA_SAVE_CHILD, &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fd_ = out[0];
    }
    ~SaveChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    // Blocks for the next 8-byte record; nothing at end of file.
    std::optional<std::uint64_t> next() {
        std::uint64_t value = 0;
        std::size_t got = 0;
        while (got < sizeof value) {
            ssize_t n = read(fd_, reinterpret_cast<char*>(&value) + got, sizeof value - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            got += static_cast<std::size_t>(n);
        }
        return value;
    }
    // Waits for the next acknowledgement; false when it is missing or out of order.
    bool ack() {
        auto value = next();
        if (!value || *value != first_ + acked_) return false;
        lastAck_ = *value;
        ++acked_;
        return true;
    }
    // Kills it and collects every acknowledgement it sent; false when it had ended
    // by itself or the acknowledgements were out of order.
    bool killAndCollect(std::optional<std::uint64_t>& lastAck, std::uint64_t& acks) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        bool inOrder = true;
        while (auto value = next()) {
            if (*value != first_ + acked_) inOrder = false;
            lastAck_ = *value;
            ++acked_;
        }
        lastAck = lastAck_;
        acks += acked_;
        return inOrder && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    pid_t pid() const { return pid_; }
    const std::optional<std::uint64_t>& lastAck() const { return lastAck_; }

  private:
    std::uint64_t first_;
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::uint64_t acked_ = 0;
    std::optional<std::uint64_t> lastAck_;
};

// The child saves through LumoraStore::save and is killed at random moments; after each
// kill the file must be exactly one state, never older than the last one acknowledged,
// and opening the store must remove the temporaries the killed save left.
TEST(KillDuringSave, FileIsAlwaysOneWholeStateAndTemporariesAreSwept) {
    TestEnv env;
    const std::string dir = env.dataHome() + "/Lumora";
    const std::string path = dir + "/lumora.json";
    const int kKills = 1000;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);

    // Calibrate the kill window to the time the child takes per save here, from its
    // start (sanitizers slow it several times).
    double saveSeconds = 0;
    {
        SaveChild child(dir, 1000000);
        ASSERT_EQ(child.next(), 1000000u);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(child.ack());
        saveSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 4;
        std::optional<std::uint64_t> ignored;
        std::uint64_t ignoredAcks = 0;
        child.killAndCollect(ignored, ignoredAcks);
        for (const auto& name : temporariesIn(dir, "lumora.json"))
            unlink((dir + "/" + name).c_str());
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    std::uniform_int_distribution<int> savesFirst(0, 1);
    std::uniform_int_distribution<int> delayMicros(0, static_cast<int>(1.5e6 * saveSeconds) + 50);

    std::uint64_t next = 1;
    std::uint64_t statesVerified = 0, acks = 0, renamedUnacked = 0;
    std::uint64_t temporariesFound = 0, temporariesRemoved = 0, noFileYet = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        SaveChild child(dir, next);
        ASSERT_GT(child.pid(), 0);
        auto ready = child.next();
        ASSERT_EQ(ready, next) << "the child did not start";
        // A moment counted in the child's own progress (0 or 1 save done), then within a
        // save, so a busy machine does not shift every kill to the child's first steps.
        for (int done = savesFirst(random); done > 0; --done) ASSERT_TRUE(child.ack());
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
        std::optional<std::uint64_t> lastAck;
        ASSERT_TRUE(child.killAndCollect(lastAck, acks))
            << "the child ended by itself or acknowledged out of order (seed " << seed << ")";

        auto left = temporariesIn(dir, "lumora.json");
        temporariesFound += left.size();
        LumoraStore store(dir);  // the program opens its store like this at start
        auto remaining = temporariesIn(dir, "lumora.json");
        EXPECT_TRUE(remaining.empty()) << remaining.size() << " stale temporaries stayed";
        temporariesRemoved += left.size() - remaining.size();

        std::uint64_t acked = lastAck ? *lastAck : next - 1;
        auto text = store.load();
        if (!text) {
            // Only before the very first save has been renamed into place.
            ASSERT_EQ(acked, 0u) << "kill " << kill << ": no loadable file after an "
                                 << "acknowledged save (seed " << seed << ")";
            ASSERT_FALSE(fileExists(path)) << "kill " << kill << ": a torn file";
            ++noFileYet;
            continue;
        }
        auto seq = verifiedSeq(*text);
        ASSERT_TRUE(seq) << "kill " << kill << ": the file is not one whole state (seed " << seed
                         << "): " << text->substr(0, 80);
        ASSERT_GE(*seq, acked) << "kill " << kill << ": older than acknowledged";
        ASSERT_LE(*seq, acked + 1) << "kill " << kill << ": a state that was never started";
        ASSERT_GE(*seq + 1, next) << "kill " << kill << ": went backwards";
        ++statesVerified;
        renamedUnacked += *seq == acked + 1;
        next = *seq + 1;
    }
    std::printf(
        "kill-during-save figures: kills=%d states_verified=%llu saves_acknowledged=%llu "
        "renamed_before_ack=%llu no_file_yet=%llu stale_temporaries_found=%llu "
        "stale_temporaries_removed=%llu save_ms=%.2f seed=%u\n",
        kKills, static_cast<unsigned long long>(statesVerified),
        static_cast<unsigned long long>(acks), static_cast<unsigned long long>(renamedUnacked),
        static_cast<unsigned long long>(noFileYet),
        static_cast<unsigned long long>(temporariesFound),
        static_cast<unsigned long long>(temporariesRemoved), saveSeconds * 1000, seed);
    EXPECT_EQ(statesVerified + noFileYet, static_cast<std::uint64_t>(kKills));
    EXPECT_GT(acks, 0u);
    // A kill that never lands inside a write would prove nothing about the sweep.
    EXPECT_GT(temporariesFound, 0u) << "no kill landed inside a save";
    EXPECT_EQ(temporariesRemoved, temporariesFound);
}

// A sweep takes only what is both ours and dead: a save in progress (its process
// stopped in the middle) keeps its temporary and then finishes, and files that merely
// look similar stay.
TEST(StaleTemporaries, OnlyDeadTemporariesOfTheStoreGo) {
    TestEnv env;
    const std::string dir = env.dataHome() + "/Lumora";
    makeDirectories(dir);
    const std::vector<std::string> decoys = {
        ".lumora.json.tmp-abc",      // too short for the pattern
        ".lumora.json.tmp-abcdefg",  // too long
        ".lumora.json.tmp-ab_def",   // not what mkostemp writes
        ".settings.ini.tmp-Ab12Cd",  // another file's
        "lumora.json.tmp-Ab12Cd",    // not hidden
        ".lumora.json.bak",
    };
    for (const auto& name : decoys) writeFile(dir + "/" + name, "keep");
    writeFile(env.root() + "/target", "keep");
    ASSERT_EQ(symlink((env.root() + "/target").c_str(), (dir + "/.lumora.json.tmp-Link01").c_str()),
              0);
    makeDirectories(dir + "/.lumora.json.tmp-Dir001");
    if (geteuid() == 0) {
        writeFile(dir + "/.lumora.json.tmp-Other1", "someone else's");
        ASSERT_EQ(chown((dir + "/.lumora.json.tmp-Other1").c_str(), 4242, 4242), 0);
    }

    // Catch the saving child inside a save: stopped while its temporary exists.
    SaveChild child(dir, 1);
    ASSERT_EQ(child.next(), 1u);
    // After the child's own store has opened, or it would have swept this itself.
    writeFile(dir + "/.lumora.json.tmp-Dead01", "half a sta");
    std::mt19937 random(7);
    std::string live;
    for (int attempt = 0; attempt < 2000 && live.empty(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        kill(child.pid(), SIGSTOP);
        int status = 0;
        waitpid(child.pid(), &status, WUNTRACED);
        for (const auto& name : temporariesIn(dir, "lumora.json")) {
            struct stat info;
            if (name == ".lumora.json.tmp-Dead01" || name == ".lumora.json.tmp-Other1" ||
                lstat((dir + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
                continue;
            // Past the short moment between creating the file and locking it.
            int fd = open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
                live = name;
            } else {
                flock(fd, LOCK_UN);
            }
            close(fd);
        }
        if (live.empty()) kill(child.pid(), SIGCONT);
    }
    ASSERT_FALSE(live.empty()) << "never caught the child inside a save";

    auto sweep = removeStaleTemporaries(dir, "lumora.json");
    EXPECT_TRUE(fileExists(dir + "/" + live)) << "a save in progress lost its temporary";
    EXPECT_FALSE(fileExists(dir + "/.lumora.json.tmp-Dead01"));
    EXPECT_EQ(sweep.removed, 1);
    EXPECT_EQ(sweep.found, 2) << "ours: the live one and the dead one";
    for (const auto& name : decoys) EXPECT_EQ(readFile(dir + "/" + name), "keep") << name;
    EXPECT_EQ(readFile(env.root() + "/target"), "keep");
    struct stat info;
    EXPECT_EQ(lstat((dir + "/.lumora.json.tmp-Link01").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_TRUE(fileExists(dir + "/.lumora.json.tmp-Dir001"));
    if (geteuid() == 0) {
        EXPECT_TRUE(fileExists(dir + "/.lumora.json.tmp-Other1"));
    }

    // The stopped save goes on and finishes: its temporary is renamed into place.
    kill(child.pid(), SIGCONT);
    for (int i = 0; i < 10000 && fileExists(dir + "/" + live); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(fileExists(dir + "/" + live)) << "the stopped save did not finish";
    LumoraStore store(dir);
    auto text = store.load();
    ASSERT_TRUE(text);
    auto seq = verifiedSeq(*text);
    ASSERT_TRUE(seq);
    // The save that was stopped returns true: the child acknowledges that state.
    while (!child.lastAck() || *child.lastAck() < *seq) ASSERT_TRUE(child.ack());
    std::optional<std::uint64_t> lastAck;
    std::uint64_t acks = 0;
    ASSERT_TRUE(child.killAndCollect(lastAck, acks)) << "a save failed after the sweep";
}

// In the shared sync folder, only old temporaries go, and none of the values.
TEST(StaleTemporaries, SyncFolderKeepsFreshOnesAndValues) {
    TestEnv env;
    const std::string folder = env.root() + "/sync";
    makeDirectories(folder);
    writeFile(folder + "/db.v1", "record");
    writeFile(folder + "/.db.v1.tmp-Fresh1", "x");
    writeFile(folder + "/.db.v1.tmp-Old001", "x");
    writeFile(folder + "/.db.v1.sync-conflict-x", "y");
    timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/.db.v1.tmp-Old001").c_str(), old, 0), 0);
    FakeMainLoop loop;
    FolderStore store(loop, folder, false);
    ASSERT_TRUE(store.flushWatch(10));
    EXPECT_FALSE(fileExists(folder + "/.db.v1.tmp-Old001"));
    EXPECT_TRUE(fileExists(folder + "/.db.v1.tmp-Fresh1"));
    EXPECT_TRUE(fileExists(folder + "/.db.v1.sync-conflict-x"));
    EXPECT_EQ(store.read("db.v1").value(), "record");
}

}  // namespace
}  // namespace lumora::test
