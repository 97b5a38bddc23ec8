// Compiled once per layer with only the include roots that layer links: each must see
// itself and the layers below it, and nothing above or beside it.
#define SEES(header) __has_include(header)

#if !SEES("container/base/log.hpp")
#error "every layer stands on the base"
#endif

#if defined(LUMORA_PROBE_BASE)
#define LUMORA_SELF "container/base/log.hpp"
#define LUMORA_SEES_CONTAINER 0
#else
#define LUMORA_SEES_CONTAINER 1
#endif

#if SEES("container/controller.hpp") != LUMORA_SEES_CONTAINER
#error "the web container is visible where it must not be, or missing where it must be"
#endif

#define LUMORA_ABOVE_CONTAINER                                          \
    (SEES("store/lumora_store.hpp") + SEES("audio/session_audio.hpp") + \
     SEES("docs/pdf_layout.hpp") + SEES("notify/gift_inbox.hpp") +      \
     SEES("app/standalone_host.hpp"))

#if defined(LUMORA_PROBE_BASE) || defined(LUMORA_PROBE_CONTAINER)
#if LUMORA_ABOVE_CONTAINER != 0
#error "a layer above the web container is visible from below it"
#endif
#elif defined(LUMORA_PROBE_STORE) || defined(LUMORA_PROBE_AUDIO) || defined(LUMORA_PROBE_DOCS) || \
    defined(LUMORA_PROBE_NOTIFY)
// A subsystem sees itself and none of the others, nor the application.
#if LUMORA_ABOVE_CONTAINER != 1
#error "a subsystem sees another subsystem or the application"
#endif
#elif defined(LUMORA_PROBE_APP)
#if LUMORA_ABOVE_CONTAINER != 5
#error "the application does not see every subsystem"
#endif
#else
#error "no layer named"
#endif

int lumoraLayerProbe() {
    return 0;
}
