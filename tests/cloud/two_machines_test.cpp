#include <gtest/gtest.h>
#include <sys/mount.h>

#include <chrono>
#include <random>
#include <thread>

#include "store/record_codec.hpp"
#include "tests/cloud/machine.hpp"
#include "tests/support/private_mounts.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::Machine;
using test::readFile;
using test::runCommand;
using test::TestEnv;
using Clock = std::chrono::steady_clock;

// Waits for __lmCloud to deliver exactly this value after the first `after` calls;
// returns the seconds it took, or a negative number.
double waitForDelivery(const Machine& machine, std::size_t after, const json& expected,
                       double seconds = 30) {
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        auto calls = machine.cloudCalls();
        for (std::size_t i = after; i < calls.size(); ++i)
            if (calls[i] == expected)
                return std::chrono::duration<double>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::optional<std::string> recordText(const std::string& folder) {
    if (!test::fileExists(folder + "/db.v1")) return std::nullopt;
    return inflateRecord(readFile(folder + "/db.v1"));
}

// The program's workers write the files after the page has posted its save: waits (up
// to 10 s) until read() gives expected, and returns what it gave last.
template <class Read>
auto settled(Read read, const std::string& expected) -> decltype(read()) {
    auto value = read();
    for (auto start = Clock::now();
         !(value == expected) && Clock::now() - start < std::chrono::seconds(10); value = read())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return value;
}

void startAndSettle(Machine& machine) {
    machine.start();
    ASSERT_TRUE(machine.waitForLog("[Lumora]  page: ready")) << machine.log();
    // The pull 0.8 s after the page has loaded finds the folder empty.
    ASSERT_GE(waitForDelivery(machine, 0, {{"empty", true}}), 0) << machine.log();
}

TEST(TwoMachines, EachReceivesTheOthersSaveAndKeepsItsOwnLocalDatabase) {
    TestEnv env;
    std::string shared = env.root() + "/shared";
    test::makeDirectories(shared);
    Machine a(env.root() + "/a", shared), b(env.root() + "/b", shared);
    startAndSettle(a);
    startAndSettle(b);

    json stateA = {{"machine", "A"}, {"entries", {{{"id", 1}, {"note", "Grüße, \"quoted\""}}}}};
    std::size_t seenByB = b.cloudCalls().size();
    // Timed from the command to A's page, which polls for it every 50 ms.
    a.save(stateA);
    double latency = waitForDelivery(b, seenByB, {{"data", stateA}});
    ASSERT_GE(latency, 0) << b.log();
    std::printf("A's save reached B's page in %.3f s\n", latency);
    EXPECT_TRUE(a.waitForLog("[Lumora]  page: did save 1")) << a.log();
    RecordProperty("a_to_b_seconds", std::to_string(latency));
    EXPECT_FALSE(test::fileExists(b.localDatabase()));
    EXPECT_EQ(settled([&] { return readFile(a.localDatabase()); }, stateA.dump()), stateA.dump());

    json stateB = {{"machine", "B"}, {"merged", {stateA, {{"id", 2}}}}};
    std::size_t seenByA = a.cloudCalls().size();
    b.save(stateB);
    latency = waitForDelivery(a, seenByA, {{"data", stateB}});
    ASSERT_GE(latency, 0) << a.log();
    std::printf("B's save reached A's page in %.3f s\n", latency);
    RecordProperty("b_to_a_seconds", std::to_string(latency));

    // Cloud data never lands in the other machine's local file.
    EXPECT_EQ(settled([&] { return readFile(a.localDatabase()); }, stateA.dump()), stateA.dump());
    EXPECT_EQ(settled([&] { return readFile(b.localDatabase()); }, stateB.dump()), stateB.dump());
    EXPECT_EQ(settled([&] { return recordText(shared); }, stateB.dump()), stateB.dump());
    EXPECT_EQ(runCommand("ls -A '" + shared + "'"), "db.v1\n");

    // Each heard of the other's write once, and never of its own.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(a.count("[Lumora] iCloud change (reason 0)"), 1u) << a.log();
    EXPECT_EQ(b.count("[Lumora] iCloud change (reason 0)"), 1u) << b.log();
    EXPECT_EQ(a.count("[Lumora] iCloud change (reason 1)"), 1u) << a.log();

    // Forgetting on B reaches A as an empty record.
    seenByA = a.cloudCalls().size();
    b.post("cloudForget");
    ASSERT_GE(waitForDelivery(a, seenByA, {{"empty", true}}), 0) << a.log();
    EXPECT_EQ(settled([&] { return readFile(a.localDatabase()); }, stateA.dump()), stateA.dump());
}

// Unmounts what it mounted, whatever the test's outcome.
class TmpfsMount {
  public:
    TmpfsMount(const std::string& path, const std::string& size) : path_(path) {
        test::makeDirectories(path);
        int status = -1;
        runCommand("mount -t tmpfs -o size=" + size + ",mode=0700 tmpfs '" + path + "' 2>&1",
                   &status);
        mounted_ = status == 0;
    }
    ~TmpfsMount() {
        if (mounted_) runCommand("umount '" + path_ + "'");
    }
    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST(FullSyncFolder, QuotaReachesThePageAndThePreviousRecordStays) {
    TestEnv env;
    std::string folder = env.root() + "/small";
    TmpfsMount mount(folder, "64k");
    if (!mount.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    Machine machine(env.root() + "/m", folder);
    startAndSettle(machine);

    json first = {{"small", true}};
    machine.save(first);
    ASSERT_TRUE(machine.waitForLog("[Lumora]  page: did save 1")) << machine.log();
    ASSERT_EQ(settled([&] { return recordText(folder); }, first.dump()), first.dump());

    // Fill the rest of the file system (a hidden name: the store ignores it).
    runCommand("dd if=/dev/zero of='" + folder + "/.filler' bs=4k 2>/dev/null");
    std::mt19937 random(3);
    std::string noise(48 * 1024, ' ');
    for (auto& c : noise) c = static_cast<char>('a' + random() % 26);
    json second = {{"noise", noise}};
    std::size_t seen = machine.cloudCalls().size();
    machine.save(second);
    ASSERT_GE(waitForDelivery(machine, seen, {{"error", "quota"}}), 0) << machine.log();
    EXPECT_EQ(machine.count("[Lumora] iCloud change (reason 2)"), 1u);
    EXPECT_EQ(settled([&] { return recordText(folder); }, first.dump()), first.dump());
    EXPECT_EQ(runCommand("ls -A '" + folder + "'"), ".filler\ndb.v1\n");  // no temporary left
    EXPECT_EQ(settled([&] { return readFile(machine.localDatabase()); }, second.dump()),
              second.dump());

    // With room again, saving the same state writes it: the failure was not taken as done.
    runCommand("rm '" + folder + "/.filler'");
    machine.save(second);
    ASSERT_TRUE(machine.waitForLog("[Lumora]  page: did save 3")) << machine.log();
    EXPECT_EQ(settled([&] { return recordText(folder); }, second.dump()), second.dump());
}

// A bind mount that can be taken away and put back, as a share whose server goes away.
class BindMount {
  public:
    BindMount(std::string source, std::string path)
        : source_(std::move(source)), path_(std::move(path)) {}
    ~BindMount() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    void mount() {
        ASSERT_EQ(::mount(source_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr), 0);
        mounted_ = true;
    }
    void unmount() {
        ASSERT_EQ(umount2(path_.c_str(), MNT_DETACH), 0);
        mounted_ = false;
    }

  private:
    std::string source_, path_;
    bool mounted_ = false;
};

// The share goes away (its mount point stays behind, empty) and comes back with a record
// another machine wrote meanwhile: this machine's next save does not overwrite it, but
// hands it to the page, and writes the page's next save (its merge).
TEST(ShareAwayAndBack, RecordWrittenMeanwhileReachesThePageBeforeAnyWrite) {
    RUN_WITH_PRIVATE_MOUNTS("lumora-share-away");
    TestEnv env;
    std::string server = env.root() + "/server", share = env.root() + "/lumora-share-away";
    test::makeDirectories(server);
    test::makeDirectories(share);
    BindMount mount(server, share);
    ASSERT_NO_FATAL_FAILURE(mount.mount());
    Machine a(env.root() + "/a", share);
    startAndSettle(a);
    json first = {{"entries", {"A1"}}};
    a.save(first);
    ASSERT_TRUE(a.waitForLog("[Lumora]  page: did save 1")) << a.log();
    ASSERT_EQ(settled([&] { return recordText(server); }, first.dump()), first.dump());

    ASSERT_NO_FATAL_FAILURE(mount.unmount());
    json theirs = {{"entries", {"A1", "B1"}}};
    std::size_t seen = a.cloudCalls().size();
    test::writeFile(server + "/.incoming", *compressRecord(theirs.dump()));
    ASSERT_EQ(std::rename((server + "/.incoming").c_str(), (server + "/db.v1").c_str()), 0);
    // The watch may still follow the server's directory and send the program to look at the
    // empty mount point: let that settle first, so nothing is pulled after the remount.
    waitForDelivery(a, seen, {{"empty", true}}, 5);
    ASSERT_NO_FATAL_FAILURE(mount.mount());

    seen = a.cloudCalls().size();
    json mine = {{"entries", {"A1", "A2"}}};
    a.save(mine);
    ASSERT_GE(waitForDelivery(a, seen, {{"data", theirs}}), 0) << a.log();
    EXPECT_EQ(settled([&] { return recordText(server); }, theirs.dump()), theirs.dump());
    json merged = {{"entries", {"A1", "B1", "A2"}}};
    a.save(merged);
    ASSERT_TRUE(a.waitForLog("[Lumora]  page: did save 3")) << a.log();
    EXPECT_EQ(settled([&] { return recordText(server); }, merged.dump()), merged.dump());
    EXPECT_EQ(settled([&] { return readFile(a.localDatabase()); }, merged.dump()), merged.dump());
}

}  // namespace
}  // namespace lumora
