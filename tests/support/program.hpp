// The built lumora binary (LUMORA_BINARY) run as a child in the test's private
// environment, its standard error going to a log file.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.hpp"

namespace lumora::test {

inline const char* programBinary() {
    return std::getenv("LUMORA_BINARY");
}

class Program {
  public:
    Program(const std::string& logFile, std::vector<std::string> args) : log_(logFile) {
        pid_ = fork();
        if (pid_ == 0) {
            FILE* out = std::freopen(logFile.c_str(), "a", stderr);
            (void)out;
            std::vector<char*> argv{const_cast<char*>(programBinary())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(programBinary(), argv.data());
            _exit(127);
        }
    }
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const { return readFile(log_); }
    // Whether the log holds fragment at least count times within the given time.
    bool waitForLog(const std::string& fragment, int count = 1, double seconds = 20) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string text = log();
            int seen = 0;
            for (auto at = text.find(fragment); at != std::string::npos;
                 at = text.find(fragment, at + 1))
                ++seen;
            if (seen >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The exit status once the program has ended on its own, or -1 when it is still
    // running after the given time.
    int waitForExit(double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = status;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    // Ends it with SIGTERM, as the session does, and returns its wait status.
    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = status;
        return status;
    }

  private:
    std::string log_;
    pid_t pid_ = -1;
    int status_ = 0;
};

}  // namespace lumora::test
