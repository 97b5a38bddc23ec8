#include "tests/notify/notify_rig.hpp"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace lumora::test {

namespace {

std::string quoted(const std::string& text) {
    std::unique_ptr<char, decltype(&g_free)> q(g_shell_quote(text.c_str()), g_free);
    return q.get();
}

}  // namespace

bool waitFor(const std::function<bool()>& done, double timeoutSeconds) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

Child::Child(const std::vector<std::string>& argv, const std::string& outputPath)
    : outputPath_(outputPath) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        execvp(args[0], args.data());
        _exit(127);
    }
}

Child::~Child() {
    stop();
}

int Child::wait(double timeoutSeconds) {
    if (pid_ <= 0) return -1;
    int status = 0;
    bool exited = waitFor(
        [&] {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            return r == pid_ || r < 0;
        },
        timeoutSeconds);
    if (!exited) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Child::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait(10.0) >= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::unique_ptr<UserManager> UserManager::start(const TestEnv& env, std::string* whyNot) {
    const char* systemd = "/lib/systemd/systemd";
    if (!g_file_test(systemd, G_FILE_TEST_IS_EXECUTABLE)) {
        *whyNot = "no /lib/systemd/systemd";
        return nullptr;
    }
    int status = 0;
    runCommand(
        "unshare --mount --propagation private sh -c "
        "'mount -t tmpfs none /run/systemd' 2>&1",
        &status);
    if (status != 0) {
        *whyNot = "unshare --mount or mount is not permitted here";
        return nullptr;
    }
    std::unique_ptr<UserManager> manager(new UserManager);
    // Managers started by tests running side by side share the machine's cgroup tree,
    // so one stopping its dbus.service would take the other's bus down: one at a time.
    manager->lockFd_ =
        open("/tmp/lumora-systemd-user.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (manager->lockFd_ >= 0) flock(manager->lockFd_, LOCK_EX);
    manager->logPath_ = env.root() + "/systemd-user.log";
    manager->busAddress_ = "unix:path=" + env.runtimeDir() + "/bus";
    manager->process_ = std::make_unique<Child>(
        // The manager connects to the bus it is told of; this one is its own.
        std::vector<std::string>{"env", "DBUS_SESSION_BUS_ADDRESS=" + manager->busAddress_,
                                 "unshare", "--mount", "--propagation", "private", "sh", "-c",
                                 "mount -t tmpfs none /run/systemd && mkdir -p "
                                 "/run/systemd/system && exec /lib/systemd/systemd --user "
                                 "--log-target=console"},
        manager->logPath_);
    std::string probe = "DBUS_SESSION_BUS_ADDRESS=" + quoted(manager->busAddress_) +
                        " gdbus call --session --dest org.freedesktop.DBus --object-path "
                        "/org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner "
                        "org.freedesktop.systemd1 2>/dev/null";
    if (!waitFor([&] { return runCommand(probe).find("true") != std::string::npos; }, 30.0)) {
        *whyNot = "the user manager did not appear on " + manager->busAddress_ +
                  " (is dbus-user-session installed?); its log:\n" + manager->log();
        return nullptr;
    }
    return manager;
}

UserManager::~UserManager() {
    // SIGTERM makes a user manager stop its units (bus, notifier) and exit.
    if (process_) process_->stop();
    if (lockFd_ >= 0) close(lockFd_);
}

std::string UserManager::systemctl(const std::string& arguments) const {
    return runCommand("DBUS_SESSION_BUS_ADDRESS=" + quoted(busAddress_) +
                      " systemctl --user --no-pager " + arguments + " 2>&1");
}

std::unique_ptr<NotificationDaemon> NotificationDaemon::start(const TestEnv& env,
                                                              std::string* whyNot) {
    if (!g_getenv("DISPLAY")) {
        *whyNot = "dunst needs DISPLAY (run the tests through tools/test.sh)";
        return nullptr;
    }
    // Nothing expires by itself, so the test decides when a notification goes.
    std::string config = env.root() + "/dunstrc";
    writeFile(config,
              "[global]\nmouse_left_click = do_action, close_current\n"
              "[urgency_low]\ntimeout = 0\n[urgency_normal]\ntimeout = 0\n"
              "[urgency_critical]\ntimeout = 0\n");
    std::unique_ptr<NotificationDaemon> daemon(new NotificationDaemon);
    daemon->process_ = std::make_unique<Child>(std::vector<std::string>{"dunst", "-config", config},
                                               env.root() + "/dunst.log");
    int status = 0;
    runCommand("timeout 20 gdbus wait --session org.freedesktop.Notifications", &status);
    if (status != 0) {
        *whyNot = "dunst did not appear on the bus: " + readFile(env.root() + "/dunst.log");
        return nullptr;
    }
    return daemon;
}

NotificationDaemon::~NotificationDaemon() {
    if (process_) process_->stop();
}

int NotificationDaemon::displayed() const {
    return std::atoi(runCommand("dunstctl count displayed 2>/dev/null").c_str());
}

int NotificationDaemon::history() const {
    return std::atoi(runCommand("dunstctl count history 2>/dev/null").c_str());
}

std::string NotificationDaemon::historyJson() const {
    return runCommand("dunstctl history 2>/dev/null");
}

std::string lumoraBinary() {
    const char* binary = g_getenv("LUMORA_BINARY");
    return binary ? binary : "lumora";
}

}  // namespace lumora::test
