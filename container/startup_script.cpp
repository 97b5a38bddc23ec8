#include "container/startup_script.hpp"

#include <cmath>
#include <cstdint>

#include "container/base/page_call.hpp"

namespace lumora {

std::string buildStartupScript(const StartupValues& v) {
    std::string s;
    s.reserve(1024 + (v.stateText ? v.stateText->size() : 0));
    s += "window.__LUMORA_STATE__ = ";
    s += v.stateText ? *v.stateText : "null";
    s += "; window.__LUMORA_NATIVE__ = true;";
    s += "window.__LUMORA_PLATFORM__ = '";
    s += v.platform;
    s += "'; window.__LUMORA_HOST__ = '";
    s += scriptSafe(v.hostName);
    s += "';";
    // Only a finite inset inside the int64 range can be truncated meaningfully.
    if (std::isfinite(v.topInset) && v.topInset > 0 && v.topInset < 9223372036854775808.0) {
        s += "window.__LUMORA_INSET_TOP__ = ";
        s += std::to_string(static_cast<std::int64_t>(v.topInset));
        s += ";";
    }
    if (v.screen != "intro") {
        s += "window.__LUMORA_RESUME__ = '";
        s += scriptSafe(v.screen);
        s += "';";
    }
    s += v.extraScript;
    s += "window.addEventListener('error', function (e) { try { "
         "window.webkit.messageHandlers.lumora.postMessage({ type: 'log', message: "
         "String(e.message) + ' @ ' + e.filename + ':' + e.lineno }); } catch (x) {} });";
    s += "window.addEventListener('unhandledrejection', function (e) { try { "
         "window.webkit.messageHandlers.lumora.postMessage({ type: 'log', message: 'promise: ' "
         "+ String(e.reason) }); } catch (x) {} });";
    return s;
}

}  // namespace lumora
