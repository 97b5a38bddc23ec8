#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_env.hpp"

namespace lumora::test {

// Polls (without a main loop) until done holds or the timeout passes.
bool waitFor(const std::function<bool()>& done, double timeoutSeconds = 30.0);

std::size_t countOf(const std::string& text, const std::string& needle);

// A child process whose standard output and error go to one file.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& outputPath);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    std::string output() const { return readFile(outputPath_); }
    // The exit status once it has exited within the timeout; -1 otherwise.
    int wait(double timeoutSeconds = 30.0);
    // SIGTERM, then SIGKILL if it lingers.
    void stop();

  private:
    int pid_ = -1;
    std::string outputPath_;
};

// "systemd --user" in a private mount namespace (tmpfs on /run/systemd, so it believes
// systemd runs the machine), with the test's XDG directories. Its own dbus.socket
// provides the session bus at $XDG_RUNTIME_DIR/bus.
class UserManager {
  public:
    // Nothing, with the reason in *whyNot, when this machine does not allow it.
    static std::unique_ptr<UserManager> start(const TestEnv& env, std::string* whyNot);
    ~UserManager();
    std::string busAddress() const { return busAddress_; }
    std::string log() const { return readFile(logPath_); }
    // Runs "systemctl --user <arguments>" and returns its output.
    std::string systemctl(const std::string& arguments) const;

  private:
    UserManager() = default;
    std::unique_ptr<Child> process_;
    std::string busAddress_;
    std::string logPath_;
    int lockFd_ = -1;
};

// A real notification daemon (dunst) on the current session bus; needs DISPLAY.
class NotificationDaemon {
  public:
    static std::unique_ptr<NotificationDaemon> start(const TestEnv& env, std::string* whyNot);
    ~NotificationDaemon();
    // dunstctl's counts of displayed and of past notifications.
    int displayed() const;
    int history() const;
    std::string historyJson() const;

  private:
    NotificationDaemon() = default;
    std::unique_ptr<Child> process_;
};

// The path of the lumora program under test.
std::string lumoraBinary();

}  // namespace lumora::test
