// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Ownership of GLib, GObject and GVariant values (and the few other C
// libraries' handles the platform holds) in one place, so that no free or
// unref call is paired by hand.

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <utility>

#include <unistd.h>

// Xlib's display connection, declared without Xlib's macros (None, Bool, …),
// which clash with other headers' names.
struct _XDisplay;
extern "C" int XCloseDisplay(_XDisplay*);

namespace orvo::platform::glib {

template <typename T> struct Deleter;

#define ORVO_GLIB_DELETER(Type, free_fn)                                                                               \
    template <> struct Deleter<Type> {                                                                                 \
        void operator()(Type* p) const                                                                                 \
        {                                                                                                              \
            if (p)                                                                                                     \
                free_fn(p);                                                                                            \
        }                                                                                                              \
    };

ORVO_GLIB_DELETER(GError, g_error_free)
ORVO_GLIB_DELETER(GVariant, g_variant_unref)
ORVO_GLIB_DELETER(GVariantBuilder, g_variant_builder_unref)
ORVO_GLIB_DELETER(GKeyFile, g_key_file_unref)
ORVO_GLIB_DELETER(GMainLoop, g_main_loop_unref)
ORVO_GLIB_DELETER(GMainContext, g_main_context_unref)
ORVO_GLIB_DELETER(GBytes, g_bytes_unref)
ORVO_GLIB_DELETER(char, g_free)
ORVO_GLIB_DELETER(char*, g_strfreev)
ORVO_GLIB_DELETER(GDBusNodeInfo, g_dbus_node_info_unref)
ORVO_GLIB_DELETER(GUri, g_uri_unref)
ORVO_GLIB_DELETER(GSettingsSchema, g_settings_schema_unref)
ORVO_GLIB_DELETER(GSettingsSchemaKey, g_settings_schema_key_unref)
ORVO_GLIB_DELETER(_XDisplay, XCloseDisplay)
ORVO_GLIB_DELETER(GMarkupParseContext, g_markup_parse_context_free)
ORVO_GLIB_DELETER(GDir, g_dir_close)
#undef ORVO_GLIB_DELETER

// GStreamer's objects (elements, pads, buses) are GObjects: GRef below. Its
// mini objects get their deleter here, declared without GStreamer's headers
// so the table stays in one place; only code that uses them links GStreamer.
} // namespace orvo::platform::glib
typedef struct _GstMiniObject GstMiniObject;
typedef struct _GstCaps GstCaps;
extern "C" void gst_mini_object_unref(GstMiniObject* object);
namespace orvo::platform::glib {
template <> struct Deleter<GstCaps> {
    void operator()(GstCaps* caps) const
    {
        if (caps)
            gst_mini_object_unref(reinterpret_cast<GstMiniObject*>(caps)); // gst_caps_unref()
    }
};

// A uniquely owned GLib value: GUnique<GError>, GUnique<char> for g_free'd text.
template <typename T> using GUnique = std::unique_ptr<T, Deleter<T>>;

// Hands &raw to a C function that fills an out-parameter (GError**, char**),
// then takes ownership of what it put there.
template <typename T> class OutPtr {
public:
    explicit OutPtr(GUnique<T>& owner)
        : owner_(owner)
    {
    }
    ~OutPtr() { owner_.reset(raw_); }
    OutPtr(const OutPtr&) = delete;
    OutPtr& operator=(const OutPtr&) = delete;
    operator T**() { return &raw_; }

private:
    GUnique<T>& owner_;
    T* raw_ = nullptr;
};
template <typename T> OutPtr<T> out(GUnique<T>& owner)
{
    return OutPtr<T>(owner);
}

// A strong reference to a GObject.
struct ObjectUnref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using GRef = std::unique_ptr<T, ObjectUnref>;

// Adopts a floating or full reference without adding one.
template <typename T> GRef<T> adopt(T* object)
{
    return GRef<T>(object);
}

// Takes an additional reference.
template <typename T> GRef<T> retain(T* object)
{
    return GRef<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

// A GVariant that sinks floating references.
inline GUnique<GVariant> sink(GVariant* variant)
{
    return GUnique<GVariant>(variant ? g_variant_ref_sink(variant) : nullptr);
}

// A main-loop source that is removed when the handle goes away.
class SourceHandle {
public:
    SourceHandle() = default;
    explicit SourceHandle(guint id)
        : id_(id)
    {
    }
    SourceHandle(SourceHandle&& other) noexcept
        : id_(std::exchange(other.id_, 0))
    {
    }
    SourceHandle& operator=(SourceHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~SourceHandle() { reset(); }
    void reset()
    {
        if (id_)
            g_source_remove(std::exchange(id_, 0));
    }
    // For sources that removed themselves (callback returned G_SOURCE_REMOVE).
    void forget() { id_ = 0; }
    explicit operator bool() const { return id_ != 0; }

private:
    guint id_ = 0;
};

// A D-Bus signal subscription that is dropped when the handle goes away.
class SubscriptionHandle {
public:
    SubscriptionHandle() = default;
    SubscriptionHandle(GDBusConnection* connection, guint id)
        : connection_(connection)
        , id_(id)
    {
    }
    SubscriptionHandle(SubscriptionHandle&& other) noexcept
        : connection_(std::exchange(other.connection_, nullptr))
        , id_(std::exchange(other.id_, 0))
    {
    }
    SubscriptionHandle& operator=(SubscriptionHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            connection_ = std::exchange(other.connection_, nullptr);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~SubscriptionHandle() { reset(); }
    void reset()
    {
        if (id_)
            g_dbus_connection_signal_unsubscribe(connection_, std::exchange(id_, 0));
    }
    explicit operator bool() const { return id_ != 0; }

private:
    GDBusConnection* connection_ = nullptr; // the shared session bus, which outlives every handle
    guint id_ = 0;
};

// A file descriptor, closed when its holder goes away.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

} // namespace orvo::platform::glib
