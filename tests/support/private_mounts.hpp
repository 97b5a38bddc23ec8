#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace lumora::test {

// Outside: runs the current test again inside a private mount namespace (as root), so its
// mounts can never outlive it or show anywhere else, and checks that nothing mounted on a
// path holding marker is visible here afterwards. Inside: returns false and the test goes on.
bool reexecutedInPrivateMounts(const std::string& marker);

#define RUN_WITH_PRIVATE_MOUNTS(marker)                                                  \
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root (CI runs as root)"; \
    if (::lumora::test::reexecutedInPrivateMounts(marker)) return

// Tiny tmpfs mounts in this namespace, unmounted before the test's directories go.
class Mounts {
  public:
    ~Mounts();
    // A tmpfs of the given size in pages at path (created).
    void add(const std::string& path, int pages, const std::string& extra = "",
             bool readOnly = false);

  private:
    std::vector<std::string> paths_;
};

}  // namespace lumora::test
