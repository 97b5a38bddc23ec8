#include "tests/support/private_mounts.hpp"

#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/test_env.hpp"

namespace lumora::test {

namespace {
constexpr const char* kInsideEnv = "LUMORA_PRIVATE_MOUNTS";
}  // namespace

bool reexecutedInPrivateMounts(const std::string& marker) {
    if (std::getenv(kInsideEnv)) return false;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    EXPECT_GT(n, 0);
    if (n <= 0) return true;
    self[n] = '\0';
    int status = 0;
    std::string output = runCommand(std::string(kInsideEnv) +
                                        "=1 unshare --mount --propagation "
                                        "private '" +
                                        self + "' --gtest_filter=" + filter + " 2>&1",
                                    &status);
    std::printf("%s", output.c_str());
    EXPECT_EQ(status, 0) << "the test failed inside its mount namespace";
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos);
    EXPECT_EQ(output.find("[  SKIPPED ]"), std::string::npos);
    EXPECT_EQ(readFile("/proc/self/mountinfo").find(marker), std::string::npos)
        << "a mount leaked out of the namespace";
    return true;
}

Mounts::~Mounts() {
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void Mounts::add(const std::string& path, int pages, const std::string& extra, bool readOnly) {
    makeDirectories(path);
    std::string options = "size=" + std::to_string(pages * 4096) + ",mode=0700" + extra;
    unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    ASSERT_EQ(mount("tmpfs", path.c_str(), "tmpfs", flags, options.c_str()), 0)
        << path << ": " << std::strerror(errno);
    paths_.push_back(path);
}

}  // namespace lumora::test
