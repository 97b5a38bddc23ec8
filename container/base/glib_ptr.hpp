#pragma once
#include <gio/gio.h>

#include <utility>

namespace lumora {

// How to take and drop a reference for one GLib type. GObject-derived types use the
// primary template; boxed and fundamental types specialise it.
template <typename T>
struct GRefTraits {
    static T* ref(T* p) { return static_cast<T*>(g_object_ref(p)); }
    static void unref(T* p) { g_object_unref(p); }
};
template <>
struct GRefTraits<GBytes> {
    static GBytes* ref(GBytes* p) { return g_bytes_ref(p); }
    static void unref(GBytes* p) { g_bytes_unref(p); }
};
template <>
struct GRefTraits<GVariant> {
    static GVariant* ref(GVariant* p) { return g_variant_ref_sink(p); }
    static void unref(GVariant* p) { g_variant_unref(p); }
};
template <>
struct GRefTraits<GKeyFile> {
    static GKeyFile* ref(GKeyFile* p) { return g_key_file_ref(p); }
    static void unref(GKeyFile* p) { g_key_file_unref(p); }
};
template <>
struct GRefTraits<GUri> {
    static GUri* ref(GUri* p) { return g_uri_ref(p); }
    static void unref(GUri* p) { g_uri_unref(p); }
};
template <>
struct GRefTraits<GMainLoop> {
    static GMainLoop* ref(GMainLoop* p) { return g_main_loop_ref(p); }
    static void unref(GMainLoop* p) { g_main_loop_unref(p); }
};
template <>
struct GRefTraits<GError> {
    static GError* ref(GError* p) { return g_error_copy(p); }
    static void unref(GError* p) { g_error_free(p); }
};

// Move-only owner of one reference. adopt() takes over a reference the caller owns
// (a "transfer full" return); ref() adds a new one (a "transfer none" value).
template <typename T>
class GPtr {
  public:
    GPtr() = default;
    static GPtr adopt(T* p) { return GPtr(p); }
    static GPtr ref(T* p) { return GPtr(p ? GRefTraits<T>::ref(p) : nullptr); }
    GPtr(GPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    GPtr& operator=(GPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    GPtr(const GPtr&) = delete;
    GPtr& operator=(const GPtr&) = delete;
    ~GPtr() { reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* release() { return std::exchange(p_, nullptr); }
    void reset(T* p = nullptr) {
        if (p_) GRefTraits<T>::unref(p_);
        p_ = p;
    }
    // For out-parameters such as GError**.
    T** out() {
        reset();
        return &p_;
    }

  private:
    explicit GPtr(T* p) : p_(p) {}
    T* p_ = nullptr;
};

// g_free for strings and buffers GLib hands over.
struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};

}  // namespace lumora
