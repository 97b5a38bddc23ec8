// Path resolution and confinement of the "lumora" scheme. The property that matters:
// no request, however it is encoded, resolves to or reads a file outside the web root.
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "container/scheme_handler.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using lumora::BundleSchemeHandler;

struct Tree {
    Tree() {
        char templ[] = "/tmp/lumora-fuzz-scheme-XXXXXX";
        base = g_mkdtemp(templ);
        root = base + "/web";
        g_mkdir_with_parents((root + "/assets/deep").c_str(), 0700);
        g_mkdir_with_parents((base + "/web2").c_str(), 0700);
        put(root + "/index.html", "<!doctype html>index");
        put(root + "/assets/app.js", "inside");
        put(root + "/assets/deep/a b.txt", "inside");
        put(root + "/a%41.txt", "inside");
        // Outside the root, including a sibling whose name starts with the root's.
        put(base + "/secret.txt", "SECRET");
        put(base + "/web2/secret.txt", "SECRET");
        put(base + "/web.txt", "SECRET");
        char* real = realpath(root.c_str(), nullptr);
        realRoot = real ? real : root;
        std::free(real);
    }
    ~Tree() {
        std::string command = "rm -rf '" + base + "'";
        if (std::system(command.c_str()) != 0) { /* best effort */
        }
    }
    static void put(const std::string& path, const char* text) {
        g_file_set_contents(path.c_str(), text, -1, nullptr);
    }
    std::string base, root, realRoot;
};

const Tree& tree() {
    static const Tree t;
    return t;
}

bool inside(const std::string& path, const std::string& root) {
    return path == root ||
           (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/');
}

void checkStandardised(const std::string& path) {
    FUZZ_CHECK(!path.empty() && path[0] == '/');
    FUZZ_CHECK(path.find('\0') == std::string::npos);
    std::size_t start = 1;
    while (start < path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        auto part = std::string_view(path).substr(start, end - start);
        FUZZ_CHECK(!part.empty() && part != "." && part != "..");
        start = end + 1;
    }
}

void checkUri(const BundleSchemeHandler& handler, const std::string& uri) {
    const std::string& root = handler.root();
    auto resolved = handler.resolve(uri);
    if (resolved) {
        FUZZ_CHECK(inside(*resolved, root));
        checkStandardised(*resolved);
    }
    auto response = handler.respond(uri);
    if (!response) return;
    FUZZ_CHECK(resolved.has_value());
    // What was read is a file below the real root, and never one of the planted secrets.
    char* real = realpath(resolved->c_str(), nullptr);
    FUZZ_CHECK(real != nullptr);
    std::string realPath = real;
    std::free(real);
    FUZZ_CHECK(inside(realPath, tree().realRoot));
    std::string_view body(response->data.get(), response->size);
    FUZZ_CHECK(body != "SECRET");
    FUZZ_CHECK(response->headers.size() == 4);
    FUZZ_CHECK(response->headers[1].second == std::to_string(response->size));
    FUZZ_CHECK(response->headers[0].second == response->mimeType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const BundleSchemeHandler handler(tree().root);
    const std::string input(reinterpret_cast<const char*>(data), size);

    for (const std::string& uri :
         {input, "lumora://app/" + input, "lumora://app" + input, "lumora:" + input})
        checkUri(handler, uri);

    // Percent-decoding never yields NUL or invalid UTF-8, and leaves plain text alone.
    if (auto decoded = lumora::percentDecode(input)) {
        FUZZ_CHECK(decoded->find('\0') == std::string::npos);
        FUZZ_CHECK(g_utf8_validate(decoded->data(), static_cast<gssize>(decoded->size()), nullptr));
        if (input.find('%') == std::string::npos) FUZZ_CHECK(*decoded == input);
    }

    // Standardisation agrees with GLib's, which knows nothing of our code.
    if (input.find('\0') == std::string::npos) {
        std::string absolute = tree().root + "/" + input;
        std::string ours = lumora::standardisePath(absolute);
        checkStandardised(ours);
        gchar* theirs = g_canonicalize_filename(absolute.c_str(), nullptr);
        FUZZ_CHECK(ours == theirs);
        g_free(theirs);
    }

    auto mime = BundleSchemeHandler::mimeTypeFor(input);
    FUZZ_CHECK(mime.find('/') != std::string_view::npos);
    return 0;
}
