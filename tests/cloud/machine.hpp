#pragma once
#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace lumora::test {

// One "machine" running the real program: its own HOME and XDG directories, its own
// D-Bus session bus and its own copy of a small test page, all under root. The page is
// driven through command files it polls for, and reports what __lmCloud gives it as
// "cloud <JSON>" log lines on the program's stderr.
class Machine {
  public:
    Machine(std::string root, const std::string& syncFolder, bool cloudSync = true);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void start();
    void stop();

    // Asks the page to post {type:'save', data: state, sync: true}.
    void save(const nlohmann::json& state);
    // Asks the page to post a message of this type ("cloudPull", "cloudForget").
    void post(const std::string& type);

    std::string log() const;
    // What __lmCloud delivered so far, in order.
    std::vector<nlohmann::json> cloudCalls() const;
    // Waits until the fragment occurs count times in the log.
    bool waitForLog(const std::string& fragment, int count = 1, double seconds = 30) const;
    // Waits until more than `after` cloud calls arrived; returns the newest one.
    std::optional<nlohmann::json> waitForCloudCall(std::size_t after, double seconds = 30) const;
    std::size_t count(const std::string& fragment) const;

    std::string localDatabase() const { return root_ + "/data/Lumora/lumora.json"; }
    const std::string& root() const { return root_; }

  private:
    void command(const nlohmann::json& command);
    std::string root_;
    std::string webRoot_;
    int commands_ = 0;
    pid_t bus_ = -1;
    pid_t program_ = -1;
    std::string busAddress_;
};

}  // namespace lumora::test
