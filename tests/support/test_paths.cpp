// Compiled into every test binary: tells tests where the program and the sources are,
// unless the environment already says so.
#include <cstdlib>

namespace {
struct TestPaths {
    TestPaths() {
        setenv("LUMORA_BINARY", LUMORA_TEST_BINARY, 0);
        setenv("LUMORA_SOURCE_DIR", LUMORA_TEST_SOURCE_DIR, 0);
    }
} const testPaths;
}  // namespace
