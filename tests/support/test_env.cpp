#include "tests/support/test_env.hpp"

#include <glib.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace lumora::test {

TestEnv::TestEnv() : TestEnv(Options{}) {}

TestEnv::TestEnv(Options options) {
    char templ[] = "/tmp/lumora-test-XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    for (const char* sub : {"/data", "/config", "/cache", "/runtime"}) makeDirectories(root_ + sub);
    g_chmod(runtimeDir().c_str(), 0700);
    g_setenv("HOME", root_.c_str(), TRUE);
    g_setenv("XDG_DATA_HOME", dataHome().c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", configHome().c_str(), TRUE);
    g_setenv("XDG_CACHE_HOME", cacheHome().c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), TRUE);
    g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
    g_setenv("GTK_A11Y", "none", TRUE);
    g_setenv("NO_AT_BRIDGE", "1", TRUE);
    g_setenv("GIO_USE_VFS", "local", TRUE);
    if (options.privateBus) startBus();
}

TestEnv::~TestEnv() {
    if (busPid_ > 0) {
        kill(busPid_, SIGTERM);
        waitpid(busPid_, nullptr, 0);
    }
    if (!g_getenv("LUMORA_KEEP_TEST_DIRS")) {
        std::string command = "rm -rf '" + root_ + "'";
        if (std::system(command.c_str()) != 0) { /* best effort */
        }
    }
}

void TestEnv::startBus() {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    busPid_ = fork();
    if (busPid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
               "--print-address=1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    if (line.empty()) throw std::runtime_error("dbus-daemon gave no address");
    busAddress_ = line;
    g_setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), TRUE);
}

std::string TestEnv::fakeDefaultHandler(const std::vector<std::string>& schemes) {
    std::string apps = dataHome() + "/applications";
    makeDirectories(apps);
    std::string logFile = root_ + "/opened-uris.log";
    std::string script = root_ + "/fake-handler.sh";
    writeFile(script,
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + logFile + "'; done\n");
    g_chmod(script.c_str(), 0755);
    std::string mimeTypes, defaults = "[Default Applications]\n";
    for (const auto& scheme : schemes) {
        mimeTypes += "x-scheme-handler/" + scheme + ";";
        defaults += "x-scheme-handler/" + scheme + "=lumora-test-handler.desktop\n";
    }
    writeFile(apps + "/lumora-test-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=Test handler\nExec=" + script +
                  " %u\nMimeType=" + mimeTypes + "\nNoDisplay=true\n");
    writeFile(configHome() + "/mimeapps.list", defaults);
    writeFile(apps + "/mimeapps.list", defaults);
    return logFile;
}

std::vector<std::string> TestEnv::childEnvironment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool fileExists(const std::string& path) {
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

void makeDirectories(const std::string& path) {
    g_mkdir_with_parents(path.c_str(), 0755);
}

std::string runCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

std::string artifactDirectory() {
    const char* dir = g_getenv("LUMORA_TEST_ARTIFACTS");
    std::string path = dir && *dir ? dir : "/tmp/lumora-artifacts";
    makeDirectories(path);
    return path;
}

}  // namespace lumora::test
