#include "tests/audio/pulse_rig.hpp"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/test_env.hpp"

namespace lumora::test {

pid_t spawnProcess(const std::vector<std::string>& argv, const std::string& out,
                   const std::string& err) {
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (o >= 0) dup2(o, 1);
        if (e >= 0) dup2(e, 2);
        if (in >= 0) dup2(in, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        g_usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

PulseRig::PulseRig(const std::string& runtimeDir) : dir_(runtimeDir) {
    std::string socket = dir_ + "/pulse.sock";
    g_setenv("XDG_RUNTIME_DIR", dir_.c_str(), TRUE);
    g_setenv("PULSE_SERVER", ("unix:" + socket).c_str(), TRUE);
    daemon_ =
        spawnProcess({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                      "--disallow-exit", "--use-pid-file=no", "--log-target=stderr", "-L",
                      "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                      "module-null-sink sink_name=test rate=48000 format=float32le channels=2"},
                     "/dev/null", dir_ + "/pulseaudio.log");
    for (int i = 0; i < 600 && !ready_; ++i) {  // a busy machine starts it slowly
        int status = 1;
        pactl("info", &status);
        ready_ = status == 0;
        if (!ready_) g_usleep(50000);
    }
    if (!ready_) return;
    keepAlive_ = spawnProcess({"pacat", "--raw", "--format=float32le", "--rate=48000",
                               "--channels=2", "--latency-msec=50", "-d", "test", "/dev/zero"},
                              "/dev/null", dir_ + "/pacat.log");
}

PulseRig::~PulseRig() {
    stopProcess(capture_);
    stopProcess(keepAlive_);
    stopProcess(daemon_);
}

std::string PulseRig::pactl(const std::string& arguments, int* status) const {
    return runCommand("pactl " + arguments + " 2>/dev/null", status);
}

void PulseRig::addSink(const std::string& name) const {
    pactl("load-module module-null-sink sink_name=" + name +
          " rate=48000 format=float32le channels=2");
}

void PulseRig::startCapture(const std::string& source) {
    captureFile_ = dir_ + "/capture-" + std::to_string(g_get_monotonic_time()) + ".raw";
    capture_ = spawnProcess({"parec", "--latency-msec=20", "-d", source, "--format=float32le",
                             "--rate=48000", "--channels=2", "--raw"},
                            captureFile_, dir_ + "/parec.log");
    // The null sink renders its first block of up to two seconds before the monitor
    // delivers anything; the capture is ready once data flows.
    for (int i = 0; i < 500; ++i) {
        if (readFile(captureFile_).size() > 0) break;
        g_usleep(10000);
    }
}

std::vector<float> PulseRig::stopCapture() {
    g_usleep(100000);  // the last fragment
    stopProcess(capture_);
    capture_ = -1;
    std::string bytes = readFile(captureFile_);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

}  // namespace lumora::test
