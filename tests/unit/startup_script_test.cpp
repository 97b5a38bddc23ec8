#include <gtest/gtest.h>

#include <cmath>

#include "container/base/page_call.hpp"
#include "container/startup_script.hpp"

namespace lumora {
namespace {

const std::string kHooks =
    "window.addEventListener('error', function (e) { try { "
    "window.webkit.messageHandlers.lumora.postMessage({ type: 'log', message: String(e.message) "
    "+ ' @ ' + e.filename + ':' + e.lineno }); } catch (x) {} });"
    "window.addEventListener('unhandledrejection', function (e) { try { "
    "window.webkit.messageHandlers.lumora.postMessage({ type: 'log', message: 'promise: ' + "
    "String(e.reason) }); } catch (x) {} });";

StartupValues standalone() {
    StartupValues v;
    v.hostName = "standalone";
    v.topInset = 30;
    v.extraScript = "window.__LUMORA_DIRECT__ = true;";
    return v;
}

TEST(StartupScript, StandaloneWithoutStateIsExact) {
    EXPECT_EQ(buildStartupScript(standalone()),
              "window.__LUMORA_STATE__ = null; window.__LUMORA_NATIVE__ = true;"
              "window.__LUMORA_PLATFORM__ = 'linux'; window.__LUMORA_HOST__ = 'standalone';"
              "window.__LUMORA_INSET_TOP__ = 30;window.__LUMORA_DIRECT__ = true;" +
                  kHooks);
}

TEST(StartupScript, StateTextIsInsertedUnchangedAndResumeWritten) {
    auto v = standalone();
    v.stateText = "{\"a\":[1,2]}\n";
    v.screen = "journal";
    auto s = buildStartupScript(v);
    EXPECT_TRUE(
        s.starts_with("window.__LUMORA_STATE__ = {\"a\":[1,2]}\n; window.__LUMORA_NATIVE__"));
    EXPECT_NE(s.find("window.__LUMORA_INSET_TOP__ = 30;window.__LUMORA_RESUME__ = 'journal';"
                     "window.__LUMORA_DIRECT__ = true;"),
              std::string::npos);
}

TEST(StartupScript, InsetIsTruncatedAndOmittedWhenNotPositiveOrNotFinite) {
    auto v = standalone();
    v.topInset = 30.9;
    EXPECT_NE(buildStartupScript(v).find("window.__LUMORA_INSET_TOP__ = 30;"), std::string::npos);
    for (double inset : {0.0, -4.0, std::nan(""), 1e300, -1e300}) {
        v.topInset = inset;
        EXPECT_EQ(buildStartupScript(v).find("__LUMORA_INSET_TOP__"), std::string::npos) << inset;
    }
}

TEST(StartupScript, HostAndScreenAreFilteredForSingleQuotes) {
    auto v = standalone();
    v.hostName = "My Host!";
    v.screen = "it's-2_x";
    auto s = buildStartupScript(v);
    EXPECT_NE(s.find("window.__LUMORA_HOST__ = 'MyHost';"), std::string::npos);
    EXPECT_NE(s.find("window.__LUMORA_RESUME__ = 'its-2_x';"), std::string::npos);
}

TEST(ScriptSafe, KeepsLettersNumbersDashUnderscoreOnly) {
    EXPECT_EQ(scriptSafe("a-b_c 1'\"\\\n;()é٣"), "a-b_c1é٣");
    EXPECT_EQ(scriptSafe("e\xCC\x81t\xC3\xA9"), "e\xCC\x81t\xC3\xA9");  // combining accent stays
    EXPECT_EQ(scriptSafe("\xE2\x80\xA8</script>"), "script");           // line separator dropped
    EXPECT_EQ(scriptSafe("\xFF\xFEok"), "ok");                          // not UTF-8
    EXPECT_EQ(scriptSafe(""), "");
}

TEST(PageCall, FormAndTextArgumentsCannotBreakTheScript) {
    EXPECT_EQ(pageCall("__lmNote", "1"), "window.__lmNote && window.__lmNote(1)");
    auto arg = textArgument("it's \"q\" \\ \n end");
    ASSERT_TRUE(arg);
    EXPECT_EQ(*arg, "[\"it's \\\"q\\\" \\\\ \\n end\"][0]");
    EXPECT_FALSE(textArgument("\xC3"));
    EXPECT_EQ(utf8Prefix("ééé", 2), "éé");
    EXPECT_EQ(utf8Prefix("abc", 80), "abc");
}

}  // namespace
}  // namespace lumora
