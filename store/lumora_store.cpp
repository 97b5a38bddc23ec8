#include "store/lumora_store.hpp"

#include <glib.h>
#include <glib/gstdio.h>

#include <memory>

#include "container/base/file_io.hpp"
#include "container/base/glib_ptr.hpp"
#include "container/base/message.hpp"

namespace lumora {

LumoraStore::LumoraStore(const std::string& directory) {
    g_mkdir_with_parents(directory.c_str(), 0700);
    path_ = directory + "/lumora.json";
    // Our temporaries are only ever held by a live save; a killed one leaves its own.
    removeStaleTemporaries(directory, "lumora.json");
}

std::optional<std::string> LumoraStore::load() const {
    gchar* raw = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path_.c_str(), &raw, &length, nullptr)) return std::nullopt;
    std::unique_ptr<gchar, GFreeDeleter> owned(raw);
    std::string text(raw, length);
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::nullopt;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return std::nullopt;
    return text;
}

bool LumoraStore::save(const nlohmann::json& value) const {
    if (!isJsonDocument(value)) return false;
    auto text = compactJson(value);
    if (!text) return false;
    return saveCompact(*text) == 0;
}

int LumoraStore::saveCompact(const std::string& document) const {
    return writeFileAtomically(path_, document);
}

}  // namespace lumora
