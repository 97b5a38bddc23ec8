// CPU of the real program at rest: each screen left alone, a playing session seen and
// minimised. Counts the program and every process under it (web, network, sandbox helpers)
// from /proc/<pid>/stat over a window. Given two web roots, runs both and prints them side
// by side. Run it under Xvfb with software rendering, as tools/test.sh runs the tests.
// Usage: idle_bench <lumora> <web-root> [<other-web-root>] [--seconds N] [--only NAME]
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/proc_stat.hpp"
#include "tests/audio/pulse_rig.hpp"
#include "tests/support/program.hpp"
#include "tests/support/test_env.hpp"

using namespace lumora::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Proc {
    int ppid = 0;
    std::string name;
    double cpu = 0;  // user + system, seconds
};

// Every process on the machine, from /proc.
std::map<int, Proc> processes() {
    std::map<int, Proc> out;
    DIR* dir = opendir("/proc");
    if (!dir) return out;
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* e = readdir(dir)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        Proc p;
        p.name = stat.substr(open + 1, close - open - 1);
        // After the name: state, ppid, ... utime is the 12th field on, stime the 13th.
        auto fields = lumora::bench::statFieldsAfterName(stat);
        if (fields.size() < 13) continue;
        p.ppid = std::atoi(fields[1].c_str());
        p.cpu =
            static_cast<double>(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) /
            tick;
        out[pid] = p;
    }
    closedir(dir);
    return out;
}

// The program and everything started under it, at one moment.
std::map<int, Proc> tree(int root) {
    auto all = processes();
    std::map<int, Proc> out;
    if (!all.contains(root)) return out;
    out[root] = all[root];
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& [pid, p] : all)
            if (!out.contains(pid) && out.contains(p.ppid)) {
                out[pid] = p;
                grew = true;
            }
    }
    return out;
}

struct Share {
    double program = 0;                    // % of one core
    std::map<std::string, double> others;  // by process name, summed
    double total = 0;
    bool ok = false;
};

Share measure(int root, double seconds) {
    auto before = tree(root);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    auto after = tree(root);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    Share s;
    for (auto& [pid, p] : after) {
        double used = p.cpu - (before.contains(pid) ? before[pid].cpu : 0);
        double percent = 100 * used / wall;
        if (pid == root)
            s.program = percent;
        else
            s.others[p.name] += percent;
        s.total += percent;
    }
    s.ok = after.contains(root);
    return s;
}

std::string windowId() {
    std::string id =
        runCommand("timeout 20 xdotool search --sync --onlyvisible --name '^Lumora$' | head -1");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

void keys(const std::string& window, const std::string& names) {
    if (!names.empty())
        runCommand("xdotool windowfocus --sync " + window + " key --delay 80 " + names);
}

// A week of use: the gem has its sparkles.
constexpr const char* kLivedIn = R"({"introDone":true,"days":{
  "2025-03-01":{"facets":["calm"],"updatedAt":1},"2025-03-02":{"facets":["focus"],"updatedAt":2},
  "2025-03-03":{"facets":["rest"],"updatedAt":3},"2025-03-04":{"facets":["calm"],"updatedAt":4},
  "2025-03-05":{"facets":["gratitude"],"updatedAt":5},"2025-03-06":{"facets":["focus"],"updatedAt":6},
  "2025-03-07":{"facets":["calm"],"updatedAt":7}}})";

struct Scenario {
    std::string name;
    bool introDone = true;
    std::string keys;  // from a fresh start, nothing focused
    bool play = false;
    std::string after;  // done to the window once it plays: "minimise"
};

// A later start has nothing focused: the skip link, Today, Journal, Settings, then
// "Begin session"; on the player, past the heading to −15, then play.
const std::vector<Scenario> kScenarios = {
    {"intro", false, "", false, ""},
    {"today", true, "", false, ""},
    {"journal", true, "Tab Tab Tab Return", false, ""},
    {"settings", true, "Tab Tab Tab Tab Return", false, ""},
    {"session, paused", true, "Tab Tab Tab Tab Tab Return", false, ""},
    {"session, playing", true, "Tab Tab Tab Tab Tab Return", true, ""},
    {"playing, minimised", true, "Tab Tab Tab Tab Tab Return", true, "minimise"},
};

Share run(const std::string& webRoot, const Scenario& scenario, double seconds) {
    TestEnv env(TestEnv::Options{.privateBus = true});
    PulseRig pulse(env.runtimeDir());
    if (scenario.introDone) {
        makeDirectories(env.dataHome() + "/Lumora");
        writeFile(env.dataHome() + "/Lumora/lumora.json", kLivedIn);
    }
    Program program(env.root() + "/lumora.log", {"--web-root", webRoot});
    if (!program.waitForLog("[Lumora] page loaded")) {
        std::fprintf(stderr, "%s: the page never loaded\n%s", scenario.name.c_str(),
                     program.log().c_str());
        return {};
    }
    std::string window = windowId();
    std::this_thread::sleep_for(1s);
    keys(window, scenario.keys);
    std::this_thread::sleep_for(1s);
    if (scenario.play) {
        keys(window, "Tab Tab Return");
        // The first chunks render as play starts; the next only at 30 s, past the window.
        std::this_thread::sleep_for(4s);
        seconds = std::min(seconds, 16.0);
    }
    // Iconified the way a window manager does it, by unmapping: Xvfb has no window manager
    // to act on a request to minimise, and GTK takes an unmap it did not ask for as one.
    if (scenario.after == "minimise") runCommand("xdotool windowunmap --sync " + window);
    // At rest means after the screen's entrance (the gem's sparkles take about 7 s).
    std::this_thread::sleep_for(8s);
    Share share = measure(program.pid(), seconds);
    return share;
}

std::string describe(const Share& s) {
    if (!s.ok) return "failed";
    char text[512];
    std::string others;
    for (auto& [name, percent] : s.others) {
        if (percent < 0.05) continue;
        char one[96];
        std::snprintf(one, sizeof one, "%s%s %.1f", others.empty() ? "" : ", ", name.c_str(),
                      percent);
        others += one;
    }
    std::snprintf(text, sizeof text, "%6.1f%% (program %.1f%s%s)", s.total, s.program,
                  others.empty() ? "" : "; ", others.c_str());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> roots;
    double seconds = 30;
    std::string lumora, only;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (lumora.empty())
            lumora = arg;
        else
            roots.push_back(arg);
    }
    if (lumora.empty() || roots.empty() || roots.size() > 2) {
        std::fprintf(
            stderr,
            "usage: %s <lumora> <web-root> [<other-web-root>] [--seconds N] [--only NAME]\n",
            argv[0]);
        return 2;
    }
    setenv("LUMORA_BINARY", lumora.c_str(), 1);
    std::printf("CPU at rest, %% of one core: all processes (program; others by name)\n");
    std::printf("goals: at rest <= 1%%; playing and seen <= 5%%; minimised or hidden <= 1%%\n");
    for (std::size_t r = 0; r < roots.size(); ++r)
        std::printf("  [%zu] %s\n", r + 1, roots[r].c_str());
    bool failed = false;
    for (const auto& scenario : kScenarios) {
        if (!only.empty() && scenario.name.find(only) == std::string::npos) continue;
        std::string line = scenario.name + ":";
        line.resize(24, ' ');
        for (std::size_t r = 0; r < roots.size(); ++r) {
            Share s = run(roots[r], scenario, seconds);
            failed = failed || !s.ok;
            line += "[" + std::to_string(r + 1) + "] " + describe(s) + "   ";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
