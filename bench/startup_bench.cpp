// Start-up: exec → page loaded, for lumora and for the bare WebKitGTK reference, run
// alternately in the same session. Prints medians and the ratio.
// Usage: startup_bench <lumora> <bare_webkit> <web-root> [runs]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Runs the program until a line containing marker appears on the chosen stream.
double secondsUntil(std::vector<std::string> args, const std::string& marker, bool onStderr) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], onStderr ? 2 : 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string seen;
    char buffer[4096];
    double elapsed = -1;
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        seen.append(buffer, static_cast<std::size_t>(n));
        if (seen.find(marker) != std::string::npos) {
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            break;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    return elapsed;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <lumora> <bare_webkit> <web-root> [runs]\n", argv[0]);
        return 2;
    }
    int runs = argc > 4 ? std::atoi(argv[4]) : 7;
    // A run that never reached its marker (-1) says nothing about start-up time.
    std::vector<double> lumora, bare;
    int lumoraFailed = 0, bareFailed = 0;
    for (int i = 0; i < runs; ++i) {
        double b = secondsUntil({argv[2], argv[3]}, "loaded", false);
        if (b < 0)
            ++bareFailed;
        else
            bare.push_back(b);
        double l = secondsUntil({argv[1], "--web-root", argv[3]}, "[Lumora] page loaded", true);
        if (l < 0)
            ++lumoraFailed;
        else
            lumora.push_back(l);
    }
    double l = median(lumora), b = median(bare);
    std::printf(
        "startup exec->page loaded (median of the successful runs of %d): lumora %.3f s "
        "(%zu ok, %d failed), bare WebKitGTK %.3f s (%zu ok, %d failed), "
        "ratio %.3f (goal <= 1.10)\n",
        runs, l, lumora.size(), lumoraFailed, b, bare.size(), bareFailed,
        b > 0 && l > 0 ? l / b : 0);
    if (lumora.empty() || bare.empty()) {
        std::fprintf(stderr, "no successful runs of %s\n",
                     lumora.empty() ? "lumora" : "bare WebKitGTK");
        return 1;
    }
    return 0;
}
