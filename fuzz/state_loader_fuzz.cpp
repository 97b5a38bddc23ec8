// The state file loader: LumoraStore::load on arbitrary file contents. What it accepts
// must be handed to the page unchanged, be a JSON object or array, and survive a save.
#include <glib.h>
#include <glib/gstdio.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.hpp"
#include "store/lumora_store.hpp"

namespace {

struct Directory {
    Directory() {
        // Memory-backed when possible: every input writes the file, and save fsyncs.
        std::string base = g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) ? "/dev/shm" : "/tmp";
        std::string templ = base + "/lumora-fuzz-store-XXXXXX";
        path = g_mkdtemp(templ.data());
    }
    ~Directory() {
        std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) { /* best effort */
        }
    }
    std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Directory dir;
    static const lumora::LumoraStore store(dir.path);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(g_file_set_contents(store.path().c_str(), bytes.data(),
                                   static_cast<gssize>(bytes.size()), nullptr));

    auto loaded = store.load();
    if (!loaded) return 0;
    FUZZ_CHECK(*loaded == bytes);
    FUZZ_CHECK(g_utf8_validate(loaded->data(), static_cast<gssize>(loaded->size()), nullptr));
    auto value = nlohmann::json::parse(*loaded, nullptr, false);
    FUZZ_CHECK(!value.is_discarded() && (value.is_object() || value.is_array()));

    // An accepted value saved again loads as its compact form, equal to the original.
    if (store.save(value)) {
        auto again = store.load();
        FUZZ_CHECK(again.has_value());
        FUZZ_CHECK(nlohmann::json::parse(*again) == value);
        FUZZ_CHECK(*again == value.dump());
    }
    return 0;
}
