#include "tests/cloud/machine.hpp"

#include <glib/gstdio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/test_env.hpp"

namespace lumora::test {

namespace {

const char* kPage = R"(<!doctype html><html><body><script>
var post = function (m) { window.webkit.messageHandlers.lumora.postMessage(m); };
var say = function (t) { post({type: 'log', message: t}); };
window.__lmCloud = function (arg) { say('cloud ' + JSON.stringify(arg)); };
var next = 1;
function poll() {
  fetch('lumora://app/command-' + next + '.json?t=' + Date.now(), {cache: 'no-store'})
    .then(function (r) { if (!r.ok) throw new Error('none'); return r.json(); })
    .then(function (c) {
      next++;
      if (c.type === 'save') post({type: 'save', data: c.data, sync: true});
      else post({type: c.type});
      say('did ' + c.type + ' ' + (next - 1));
    })
    .catch(function () {})
    .then(function () { setTimeout(poll, 50); });
}
say('ready');
poll();
</script></body></html>)";

pid_t startBus(const std::string& root, std::string* address) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        setenv("HOME", root.c_str(), 1);
        if (!std::freopen((root + "/bus.log").c_str(), "a", stderr)) _exit(126);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
               "--print-address=1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') address->push_back(c);
    close(out[0]);
    if (address->empty()) throw std::runtime_error("dbus-daemon gave no address");
    return pid;
}

void terminate(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::size_t occurrences(const std::string& text, const std::string& fragment) {
    std::size_t n = 0;
    for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
        ++n;
    return n;
}

}  // namespace

Machine::Machine(std::string root, const std::string& syncFolder, bool cloudSync)
    : root_(std::move(root)), webRoot_(root_ + "/web") {
    for (const char* sub : {"/data", "/config/Lumora", "/cache", "/runtime", "/web"})
        makeDirectories(root_ + sub);
    g_chmod((root_ + "/runtime").c_str(), 0700);
    writeFile(webRoot_ + "/index.html", kPage);
    writeFile(root_ + "/config/Lumora/settings.ini", std::string("[Lumora]\ncloudSync=") +
                                                         (cloudSync ? "true" : "false") +
                                                         "\nsyncFolder=" + syncFolder + "\n");
}

Machine::~Machine() {
    stop();
}

void Machine::start() {
    bus_ = startBus(root_, &busAddress_);
    std::string logFile = root_ + "/stderr.log";
    const char* binary = std::getenv("LUMORA_BINARY");
    if (!binary) throw std::runtime_error("LUMORA_BINARY is not set");
    program_ = fork();
    if (program_ == 0) {
        if (!std::freopen(logFile.c_str(), "a", stderr)) _exit(126);
        setenv("HOME", root_.c_str(), 1);
        setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root_ + "/runtime").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("GTK_A11Y", "none", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSK_RENDERER", "cairo", 0);
        setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
        execl(binary, binary, "--web-root", webRoot_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

void Machine::stop() {
    terminate(program_);
    terminate(bus_);
}

void Machine::command(const nlohmann::json& command) {
    // Renamed into place, so the page never fetches half a file.
    std::string name = "command-" + std::to_string(++commands_) + ".json";
    writeFile(webRoot_ + "/.partial", command.dump());
    std::rename((webRoot_ + "/.partial").c_str(), (webRoot_ + "/" + name).c_str());
}

void Machine::save(const nlohmann::json& state) {
    command({{"type", "save"}, {"data", state}});
}

void Machine::post(const std::string& type) {
    command({{"type", type}});
}

std::string Machine::log() const {
    return readFile(root_ + "/stderr.log");
}

std::size_t Machine::count(const std::string& fragment) const {
    return occurrences(log(), fragment);
}

std::vector<nlohmann::json> Machine::cloudCalls() const {
    const std::string prefix = "[Lumora]  page: cloud ";
    std::vector<nlohmann::json> calls;
    std::string text = log();
    std::size_t at = 0;
    while ((at = text.find(prefix, at)) != std::string::npos) {
        auto end = text.find('\n', at);
        calls.push_back(nlohmann::json::parse(
            text.substr(at + prefix.size(), end - at - prefix.size()), nullptr, false));
        at = end;
    }
    return calls;
}

bool Machine::waitForLog(const std::string& fragment, int count, double seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (occurrences(log(), fragment) >= static_cast<std::size_t>(count)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::optional<nlohmann::json> Machine::waitForCloudCall(std::size_t after, double seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        auto calls = cloudCalls();
        if (calls.size() > after) return calls.back();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

}  // namespace lumora::test
