// Serving a 50 MB asset through the "lumora" scheme into the page, beside reading the
// same file directly. Prints MB/s for both and the ratio.
#include <glib.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

int main() {
    lumora::test::TestEnv env;
    std::string root = env.root() + "/web";
    lumora::test::makeDirectories(root);
    lumora::test::writeFile(root + "/index.html", "<!doctype html><p>bench</p>");
    const std::size_t size = 50u * 1024 * 1024;
    std::string big(size, '\0');
    for (std::size_t i = 0; i < size; ++i) big[i] = static_cast<char>((i * 2654435761u) >> 24);
    lumora::test::writeFile(root + "/big.bin", big);
    big.clear();

    lumora::test::WebStack::Options options;
    options.webRoot = root;
    options.dataDirectory = env.dataHome() + "/Lumora";
    lumora::test::WebStack stack(options);
    if (!stack.waitForLoads(1)) return 1;

    const int rounds = 5;
    double schemeSeconds = 1e9, fileSeconds = 1e9;
    for (int i = 0; i < rounds; ++i) {
        stack.eval(R"(window.benchDone = null; (async () => {
            const t0 = performance.now();
            const r = await fetch('lumora://app/big.bin?' + Math.random());
            const b = await r.arrayBuffer();
            window.benchDone = [b.byteLength, performance.now() - t0]; })(); true)");
        lumora::test::spinUntil([&] { return stack.eval("window.benchDone !== null") == "true"; },
                                60);
        auto done = stack.eval("window.benchDone[1]");
        auto bytes = stack.eval("window.benchDone[0]");
        if (!done || !bytes || std::stoull(*bytes) != size) return 1;
        schemeSeconds = std::min(schemeSeconds, std::stod(*done) / 1000.0);

        auto t0 = std::chrono::steady_clock::now();
        gchar* data = nullptr;
        gsize length = 0;
        g_file_get_contents((root + "/big.bin").c_str(), &data, &length, nullptr);
        g_free(data);
        fileSeconds =
            std::min(fileSeconds,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf(
        "scheme handler, 50 MB asset (best of %d): through lumora: %.0f MB/s, "
        "reading the file: %.0f MB/s, ratio %.2f\n",
        rounds, mb / schemeSeconds, mb / fileSeconds, fileSeconds / schemeSeconds);
    return 0;
}
