#include "app/lumora_resources.hpp"

#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "container/base/glib_ptr.hpp"

#ifndef LUMORA_SOURCE_WEB_ROOT
#define LUMORA_SOURCE_WEB_ROOT ""
#endif
#ifndef LUMORA_DATA_SUBDIR
#define LUMORA_DATA_SUBDIR "share/lumora"
#endif

namespace lumora::LumoraResources {

namespace {

bool isDirectory(const std::string& path) {
    return !path.empty() && g_file_test(path.c_str(), G_FILE_TEST_IS_DIR);
}

std::string executableDirectory() {
    std::unique_ptr<gchar, GFreeDeleter> exe(g_file_read_link("/proc/self/exe", nullptr));
    if (!exe) return {};
    std::unique_ptr<gchar, GFreeDeleter> dir(g_path_get_dirname(exe.get()));
    return dir.get();
}

std::string& webRootStorage() {
    static std::string root;
    return root;
}

}  // namespace

std::optional<std::string> webRoot(const std::optional<std::string>& commandLineRoot,
                                   std::string* tried) {
    std::string chosen;
    if (commandLineRoot) {
        chosen = *commandLineRoot;
    } else if (const char* env = g_getenv("LUMORA_WEB_ROOT"); env && *env) {
        chosen = env;
    } else {
        std::string exeDir = executableDirectory();
        std::string installed = exeDir + "/../" LUMORA_DATA_SUBDIR "/web";
        // Only a program in its CMake build tree may use the source page; an installed one
        // whose page is missing must say so rather than serve the checkout it was built from.
        bool buildTree = isDirectory(exeDir + "/CMakeFiles");
        chosen =
            isDirectory(installed) || !buildTree ? installed : std::string(LUMORA_SOURCE_WEB_ROOT);
    }
    if (tried) *tried = chosen;
    if (!isDirectory(chosen)) return std::nullopt;
    std::unique_ptr<gchar, GFreeDeleter> canonical(
        g_canonicalize_filename(chosen.c_str(), nullptr));
    return std::string(canonical.get());
}

void setWebRoot(std::string root) {
    webRootStorage() = std::move(root);
}
const std::string& currentWebRoot() {
    return webRootStorage();
}

std::string dataDirectory() {
    return std::string(g_get_user_data_dir()) + "/Lumora";
}
std::string configDirectory() {
    return std::string(g_get_user_config_dir()) + "/Lumora";
}

std::string temporaryDirectory() {
    std::string dir = std::string(g_get_user_cache_dir()) + "/Lumora/tmp";
    g_mkdir_with_parents(dir.c_str(), 0700);
    // An existing directory may have been created with looser rights.
    chmod(dir.c_str(), 0700);
    return dir;
}

}  // namespace lumora::LumoraResources
