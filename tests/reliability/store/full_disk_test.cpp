#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/standalone_host.hpp"
#include "audio/base64.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "container/controller.hpp"
#include "docs/pdf_exporter.hpp"
#include "store/cloud_sync.hpp"
#include "store/folder_store.hpp"
#include "store/lumora_store.hpp"
#include "store/record_codec.hpp"
#include "tests/audio/audio_test_util.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/private_mounts.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {
namespace {

using nlohmann::json;

// Fills the file system holding dir with one file until it refuses more; returns the
// bytes written. free() gives back some pages for writes that fail halfway.
class Filler {
  public:
    explicit Filler(std::string dir) : path_(dir + "/filler") {
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        std::string block(4096, 'f');
        for (;;) {
            ssize_t n = write(fd, block.data(), block.size());
            if (n <= 0) break;
            size_ += n;
        }
        EXPECT_EQ(errno, ENOSPC);
        close(fd);
    }
    void giveBack(off_t bytes) {
        size_ -= bytes;
        EXPECT_EQ(truncate(path_.c_str(), size_), 0);
    }
    void remove() { unlink(path_.c_str()); }

  private:
    std::string path_;
    off_t size_ = 0;
};

std::vector<std::string> hiddenFiles(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] == '.' && std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

struct FakeWeb final : WebViewBackend {
    void evaluate(const std::string& script) override { scripts.push_back(script); }
    void setStartupScript(const std::string& source) override { startup = source; }
    void load(const std::string&) override {}
    void reload() override {}
    std::vector<std::string> scripts;
    std::string startup;
};

// The program's page path with the real store, host, bridge and controller; only the
// web view and the main loop are fakes.
struct Program {
    // pdfTemporary: where the PDF exporter lays out; savedPdf: what the save dialog picks.
    Program(const std::string& dataDir, CloudService* cloud, const std::string& pdfTemporary = "",
            const std::string& savedPdf = "")
        : store(dataDir),
          host(store, cloud, nullptr, loop),
          pdf(pdfTemporary.empty() ? nullptr
                                   : std::make_unique<LumoraPdfExporter>(
                                         loop, [pdfTemporary] { return pdfTemporary; },
                                         std::make_unique<FixedPathSaveDialog>(savedPdf))),
          controller(host, BridgeServices{nullptr, pdf.get()}, {}, loop,
                     [this](Bridge&) { return web; }) {
        controller.webView();
    }
    void send(const json& body) {
        controller.bridge().dispatch(body, web);
        // Until the workers and the loop are all quiet: an answered dialog queues a copy.
        loop.runPostedAfter([this] {
            host.finishWrites();
            if (pdf) pdf->drain();
        });
    }
    void save(const json& data, bool sync = false) {
        send({{"type", "save"}, {"data", data}, {"sync", sync}});
    }
    LogCapture logs;
    FakeMainLoop loop;
    LumoraStore store;
    StandaloneHost host;
    std::unique_ptr<LumoraPdfExporter> pdf;
    std::shared_ptr<FakeWeb> web = std::make_shared<FakeWeb>();
    LumoraController controller;
};

json stateOfSize(int n, std::size_t bytes) {
    return json{{"n", n}, {"text", std::string(bytes, static_cast<char>('a' + n % 26))}};
}

// The database file: a save that does not fit leaves the previous state, no temporary
// and no false report; the next save that fits goes through.
TEST(FullDisk, DatabaseKeepsThePreviousState) {
    TestEnv env;
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    Mounts mounts;
    std::string dir = env.dataHome() + "/Lumora";
    mounts.add(dir, 16);
    Program program(dir, nullptr);
    json first = stateOfSize(1, 3000);
    program.save(first);
    ASSERT_EQ(program.store.load(), first.dump());

    Filler filler(dir);
    int failed = 0;
    // Full to the last page, then with two pages free so the write fails halfway.
    for (int round = 0; round < 2; ++round) {
        if (round == 1) filler.giveBack(2 * 4096);
        program.save(stateOfSize(2, 20000));
        ++failed;
        EXPECT_EQ(program.store.load(), first.dump()) << "round " << round;
        EXPECT_TRUE(hiddenFiles(dir).empty()) << "a failed save left its temporary";
        // Told once for the whole run of failures, in the log and to the page.
        ASSERT_EQ(program.web->scripts.size(), 1u);
        EXPECT_NE(program.web->scripts[0].find("window.__lmNote([\"Your journal could not be "
                                               "saved on this computer: the disk is full."),
                  std::string::npos)
            << program.web->scripts[0];
        EXPECT_EQ(program.logs.count("[Lumora] save failed: No space left on device (" + dir +
                                     "/lumora.json)"),
                  1u);
        // What the next start hands the page.
        LumoraStore reopened(dir);
        EXPECT_EQ(reopened.load(), first.dump());
    }
    // A state that fits in the pages given back is saved.
    json small = stateOfSize(3, 200);
    program.save(small);
    EXPECT_EQ(program.store.load(), small.dump());
    ASSERT_EQ(program.web->scripts.size(), 2u);
    EXPECT_NE(program.web->scripts[1].find("saved on this computer again"), std::string::npos);
    EXPECT_EQ(program.logs.count("[Lumora] saving works again"), 1u);

    // No inode left for the temporary: the same.
    std::string inodes = env.root() + "/inodes";
    mounts.add(inodes, 16, ",nr_inodes=2");
    LumoraStore tight(inodes);
    ASSERT_TRUE(tight.save(first));
    EXPECT_FALSE(tight.save(small));
    EXPECT_EQ(tight.load(), first.dump());
    std::printf("full-disk figures: database saves_refused=%d previous_state_intact=yes\n",
                failed + 1);
}

// The cloud folder: the page gets {"error":"quota"}, the record keeps the previous state,
// the local file still takes the new one, and saving again once there is room writes it.
// A state of n and letters that hardly compress.
json noisyState(int n, int letters) {
    std::string text;
    std::uint64_t x = 88172645463325252ULL + static_cast<std::uint64_t>(n);
    for (int i = 0; i < letters; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        text += static_cast<char>('!' + x % 90);
    }
    return json{{"n", n}, {"noise", text}};
}

TEST(FullDisk, CloudFolderReportsQuotaAndKeepsTheRecord) {
    TestEnv env;
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    Mounts mounts;
    std::string dataDir = env.dataHome() + "/Lumora";
    std::string configDir = env.configHome() + "/Lumora";
    std::string folder = env.root() + "/sync";
    mounts.add(folder, 8);
    makeDirectories(configDir);
    writeFile(configDir + "/settings.ini", "[Lumora]\nsyncFolder=" + folder + "\n");

    FakeMainLoop cloudLoop;
    auto cloud = makeFolderCloudSync(cloudLoop, dataDir, configDir);
    Program program(dataDir, cloud.get());
    auto runAll = [&] {
        for (int i = 0; i < 3; ++i) {
            cloudLoop.runPostedAfter([&] { ASSERT_TRUE(cloud->flush(60)); });
            program.loop.runPosted();
        }
    };
    // Incompressible enough that the record needs several pages.
    json first = noisyState(1, 12000), second = noisyState(2, 12000);
    program.save(first, true);
    runAll();
    auto record = [&] { return inflateRecord(readFile(folder + "/db.v1")); };
    ASSERT_EQ(record(), first.dump());
    program.web->scripts.clear();

    Filler filler(folder);
    program.save(second, true);
    runAll();
    const std::string quota = "window.__lmCloud && window.__lmCloud({\"error\":\"quota\"})";
    EXPECT_EQ(program.web->scripts, std::vector<std::string>{quota});
    EXPECT_TRUE(program.logs.contains("iCloud change (reason 2)"));
    EXPECT_EQ(record(), first.dump()) << "the record lost its previous state";
    EXPECT_TRUE(hiddenFiles(folder).empty()) << "a failed write left its temporary";
    EXPECT_EQ(program.store.load(), second.dump()) << "the local file has room";

    filler.remove();
    program.web->scripts.clear();
    program.save(second, true);
    runAll();
    EXPECT_EQ(record(), second.dump()) << "saving again once there is room retries the write";
    EXPECT_TRUE(program.web->scripts.empty());
    std::printf("full-disk figures: cloud_folder status=quota record_intact=yes\n");
}

// Saves that come faster than they are written: both files end with the last one, and a
// page loaded meanwhile starts from it.
TEST(StoreSaveOrder, BurstOfSavesEndsWithTheLastInBothFiles) {
    TestEnv env;
    std::string dataDir = env.dataHome() + "/Lumora";
    std::string configDir = env.configHome() + "/Lumora";
    std::string folder = env.root() + "/sync";
    makeDirectories(folder);
    makeDirectories(configDir);
    writeFile(configDir + "/settings.ini", "[Lumora]\ncloudSync=true\nsyncFolder=" + folder + "\n");
    FakeMainLoop cloudLoop;
    auto cloud = makeFolderCloudSync(cloudLoop, dataDir, configDir);
    Program program(dataDir, cloud.get());
    cloudLoop.runPostedAfter([&] { ASSERT_TRUE(cloud->flush(60)); });
    program.web->scripts.clear();  // the first look at the empty folder

    std::vector<json> states;
    for (int n = 0; n < 16; ++n) states.push_back(noisyState(n, 300000));
    for (const auto& state : states)
        program.controller.bridge().dispatch({{"type", "save"}, {"data", state}, {"sync", true}},
                                             program.web);
    EXPECT_EQ(program.host.loadState(), states.back().dump());

    program.loop.runPostedAfter([&] { program.host.finishWrites(); });
    cloudLoop.runPostedAfter([&] { ASSERT_TRUE(cloud->flush(60)); });
    EXPECT_EQ(readFile(dataDir + "/lumora.json"), states.back().dump());
    EXPECT_EQ(inflateRecord(readFile(folder + "/db.v1")), states.back().dump());
    EXPECT_EQ(program.host.loadState(), states.back().dump());
    EXPECT_TRUE(program.web->scripts.empty()) << program.web->scripts.front();
}

// A FUSE mount whose server never answers: everything that touches it waits until the
// connection is cut, as with a network share whose server went away.
class SilentMount {
  public:
    explicit SilentMount(std::string path) : path_(std::move(path)) {
        fd_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd_ < 0) return;
        std::string options = "fd=" + std::to_string(fd_) + ",rootmode=40000,user_id=0,group_id=0";
        if (mount("lumora-silent", path_.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) !=
            0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~SilentMount() { cut(); }
    bool mounted() const { return fd_ >= 0; }
    // What waits on the mount fails, and the mount goes.
    void cut() {
        if (fd_ < 0) return;
        close(fd_);
        fd_ = -1;
        umount2(path_.c_str(), MNT_DETACH);
    }

  private:
    std::string path_;
    int fd_ = -1;
};

TEST(SyncFolderHung, SaveAndPullAreUnavailableAfterTwoSecondsWhileTheLoopRuns) {
    TestEnv env;
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    LogCapture logs;
    std::string dataDir = env.dataHome() + "/Lumora";
    std::string configDir = env.configHome() + "/Lumora";
    std::string folder = env.root() + "/share";
    makeDirectories(folder);
    makeDirectories(configDir);
    writeFile(configDir + "/settings.ini", "[Lumora]\ncloudSync=true\nsyncFolder=" + folder + "\n");
    FakeMainLoop loop;
    auto cloud = makeFolderCloudSync(loop, dataDir, configDir);
    auto page = std::make_shared<FakePageView>();
    cloud->setWebView(page);
    loop.runPostedAfter([&] { ASSERT_TRUE(cloud->flush(60)); });
    page->scripts.clear();

    SilentMount silent(folder);
    ASSERT_TRUE(silent.mounted()) << std::strerror(errno);
    // This thread is the main loop: each call returns, and the clock goes on.
    FolderStore watchedAfresh(loop, folder, false);
    EXPECT_FALSE(watchedAfresh.flushWatch(0.2)) << "the folder answered";
    cloud->push(json{{"n", 1}}, true);
    cloud->pull();
    loop.advance(1.9);
    EXPECT_TRUE(page->scripts.empty());
    EXPECT_FALSE(cloud->flush(0.2)) << "the folder answered";
    loop.advance(0.2);
    const std::string unavailable =
        "window.__lmCloud && window.__lmCloud({\"error\":\"unavailable\"})";
    EXPECT_EQ(page->scripts, (std::vector<std::string>{unavailable, unavailable}));
    EXPECT_EQ(logs.count("[Lumora] sync folder did not answer in time: unavailable until it does"),
              1u);

    // Answering at last (with an error): nothing more is told for those two.
    page->scripts.clear();
    silent.cut();
    loop.runPostedAfter([&] { ASSERT_TRUE(cloud->flush(60)); });
    EXPECT_TRUE(page->scripts.empty());
}

constexpr double kRate = 100;  // 30 s chunks of 12,000 bytes: three pages each

// The chunk store: a chunk that does not fit must not play as a shorter chunk; the
// chunks before it stay whole, and the chunk sent again once there is room plays whole.
TEST(FullDisk, ChunkStoreNeverPlaysAPartialChunk) {
    TestEnv env;
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    Mounts mounts;
    std::string tmp = env.cacheHome() + "/Lumora/tmp";
    mounts.add(tmp, 16);
    FakeMainLoop loop;
    VirtualAudioOutput output(loop, 0.25);
    output.capture = true;
    auto page = std::make_shared<FakePageView>();
    SessionAudio audio(
        loop, output, nullptr,
        SessionAudioEnvironment{[&] { return tmp; }, [] { return std::string(); }, {}});
    audio.setWebView(page);
    loop.waitForWorkers = [&] { audio.waitForFiles(); };
    auto send = [&](const json& body) {
        audio.handle(body["type"].get<std::string>(), body);
        settleFiles(audio, loop);
    };
    send(openMessage("full", 120, 30, kRate));
    auto chunk = [&](int k) { return patternChunk("full", k, 120, 30, kRate); };
    send(chunk(0));
    send(chunk(1));
    std::string zero = readFile(audio.chunkPath(0)), one = readFile(audio.chunkPath(1));

    Filler filler(tmp);
    filler.giveBack(2 * 4096);  // room for two thirds of a chunk
    send(chunk(2));
    EXPECT_EQ(readFile(audio.chunkPath(0)), zero);
    EXPECT_EQ(readFile(audio.chunkPath(1)), one);
    bool partialLeft = fileExists(audio.chunkPath(2)) && !readFile(audio.chunkPath(2)).empty();

    send({{"type", "audioPlay"}, {"id", "full"}, {"at", 0}});
    loop.advance(75);  // chunks 0 and 1, then the one that did not fit
    EXPECT_EQ(audio.waitingAt(), 60.0) << "a chunk the disk refused counted as stored";
    filler.remove();
    send(chunk(2));  // sent again: plays at once
    send(chunk(3));
    loop.advance(60);
    std::set<std::int64_t> played;
    for (std::size_t i = 0; i + 1 < output.captured.size(); i += 2)
        if (auto f = frameIndex(output.captured[i], output.captured[i + 1])) played.insert(*f);
    std::int64_t missingFrames = 0;
    for (std::int64_t f = 0; f < 12000; ++f) missingFrames += !played.count(f);
    EXPECT_EQ(missingFrames, 0) << "frames of the chunk that hit the full disk never played";
    EXPECT_FALSE(partialLeft) << "a partly written chunk file was left to play";
    loop.runPosted();
    ASSERT_FALSE(page->scripts.empty());
    EXPECT_NE(std::find(page->scripts.begin(), page->scripts.end(),
                        SessionAudio::reportScript("full", 120, false)),
              page->scripts.end())
        << "the session plays to its end";
    std::printf("full-disk figures: chunk_store frames_lost=%lld partial_chunk_left=%s\n",
                static_cast<long long>(missingFrames), partialLeft ? "yes" : "no");
}

// The PDF temporary file: the page gets the note, no save panel opens and the PDF the
// user saved before stays as it was.
TEST(FullDisk, PdfTemporaryFileGivesTheNote) {
    TestEnv env;
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    Mounts mounts;
    std::string tmp = env.cacheHome() + "/Lumora/tmp";
    mounts.add(tmp, 16);
    std::string saved = env.root() + "/Documents/Notes.pdf";
    makeDirectories(env.root() + "/Documents");
    Program program(env.dataHome() + "/Lumora", nullptr, tmp, saved);
    auto document = [](int paragraphs) {
        json blocks = json::array({{{"k", "title"}, {"t", "Notes"}}});
        for (int i = 0; i < paragraphs; ++i)
            blocks.push_back({{"k", "p"},
                              {"t", "Paragraph " + std::to_string(i) +
                                        " with enough words to wrap across the line more than "
                                        "once, so that the pages fill up quickly."}});
        return json{{"type", "sharePdf"}, {"name", "Notes"}, {"blocks", blocks}};
    };
    const std::string note =
        "window.__lmNote && window.__lmNote([\"The PDF could not be made.\"][0])";
    auto isWholePdf = [](const std::string& bytes) {
        return bytes.rfind("%PDF-", 0) == 0 &&
               bytes.find("%%EOF", bytes.size() - 8) != std::string::npos;
    };

    // With room, the PDF is made and saved where the user chose.
    program.send(document(3));
    std::string before = readFile(saved);
    ASSERT_TRUE(isWholePdf(before));
    EXPECT_TRUE(program.web->scripts.empty());

    int notes = 0;
    Filler filler(tmp);
    for (int round = 0; round < 2; ++round) {
        if (round == 1) filler.giveBack(3 * 4096);  // the PDF starts, then runs out of room
        program.web->scripts.clear();
        program.logs.lines.clear();
        program.send(document(400));
        EXPECT_EQ(program.web->scripts, std::vector<std::string>{note}) << "round " << round;
        notes += program.web->scripts == std::vector<std::string>{note};
        EXPECT_FALSE(program.logs.contains("save panel shown")) << "round " << round;
        EXPECT_EQ(readFile(saved), before) << "the saved PDF changed, round " << round;
        EXPECT_FALSE(fileExists(tmp + "/Notes.pdf")) << "a cut-off PDF was left, round " << round;
    }
    std::printf("full-disk figures: pdf_temporary notes=%d saved_pdf_intact=%s\n", notes,
                readFile(saved) == before ? "yes" : "no");
}

}  // namespace
}  // namespace lumora::test
