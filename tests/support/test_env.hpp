#pragma once
#include <map>
#include <string>
#include <vector>

namespace lumora::test {

// A private world for one test process: HOME and XDG directories under a fresh
// temporary directory, and optionally a private D-Bus session bus. Construct it before
// anything asks GLib for user directories (GLib caches them for the process).
class TestEnv {
  public:
    struct Options {
        bool privateBus = false;
    };
    TestEnv();
    explicit TestEnv(Options options);
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& root() const { return root_; }
    std::string dataHome() const { return root_ + "/data"; }
    std::string configHome() const { return root_ + "/config"; }
    std::string cacheHome() const { return root_ + "/cache"; }
    std::string runtimeDir() const { return root_ + "/runtime"; }
    const std::string& busAddress() const { return busAddress_; }

    // Registers a handler for x-scheme-handler/<scheme> that appends each URI it is
    // given, one per line, to the returned file.
    std::string fakeDefaultHandler(const std::vector<std::string>& schemes);

    // An environment for child processes (the current one plus the private dirs).
    std::vector<std::string> childEnvironment() const;

  private:
    void startBus();
    std::string root_;
    std::string busAddress_;
    int busPid_ = -1;
};

// Whole-file helpers.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);
void makeDirectories(const std::string& path);

// Runs a shell command; returns its standard output. The exit status goes to *status.
std::string runCommand(const std::string& command, int* status = nullptr);

// The directory of files a test keeps for people to look at (screenshots, PDFs).
std::string artifactDirectory();

}  // namespace lumora::test
