// SPDX-License-Identifier: GPL-3.0-or-later
// What KDE Plasma made of the portal's shortcuts, asked of its global
// shortcut service (org.kde.kglobalaccel), where the portal's KDE backend
// files them.
//
// Read in xdg-desktop-portal-kde 5.27 and 6.3, kglobalaccel 5.103 and
// kglobalacceld 6.3, and seen on Plasma 5.27:
// - The backend files a session's shortcuts in a group ("component") named
//   app id + session token up to 6.2, the app id alone from 6.3 on (without
//   an id: the token, or "token_" + token). It gives the group that same
//   name to show, except 6.3's BindShortcuts, which uses the desktop entry's
//   Name. System Settings lists a group under Applications, with the entry's
//   icon, when the group's name is a desktop entry id or the shown name is an
//   entry's Name; otherwise under System Services as the bare name.
// - For a shortcut new to the group, the backend answers with the preferred
//   key whether or not kglobalaccel gave it: kglobalaccel gives no key that
//   another group holds, an older group of ours (another app id or token)
//   included, whose keys then reach nobody. Only kglobalaccel can tell.
//   An older group no longer in use is inactive; the session's is active.
// - System Settings' changes reach a running session's group at once
//   (setForeignShortcutKeys), as ours do.
#include "platform/BuildConfig.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace orvo::platform::native {
namespace {

constexpr const char* serviceName = "org.kde.kglobalaccel";
constexpr const char* servicePath = "/kglobalaccel";
constexpr const char* serviceInterface = "org.kde.KGlobalAccel";
constexpr const char* componentInterface = "org.kde.kglobalaccel.Component";

// A portal trigger such as "ALT+3" as Qt's key code (modifier bits | key),
// which kglobalaccel speaks; 0 when it is not a number-row combination.
int qtKey(std::string_view trigger)
{
    static constexpr std::pair<std::string_view, int> modifiers[]
        = { { "SHIFT+", 0x02000000 }, { "CTRL+", 0x04000000 }, { "ALT+", 0x08000000 }, { "LOGO+", 0x10000000 } };
    int key = 0;
    for (bool found = true; found;) {
        found = false;
        for (const auto& [name, bit] : modifiers) {
            if (trigger.starts_with(name)) {
                trigger.remove_prefix(name.size());
                key |= bit;
                found = true;
            }
        }
    }
    return trigger.size() == 1 && trigger[0] >= '0' && trigger[0] <= '9' ? key | trigger[0] : 0;
}

// A key sequence as kglobalaccel takes it over the bus: four key codes.
GVariant* sequence(int key)
{
    const gint32 codes[] = { key, 0, 0, 0 };
    GVariant* array = g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, codes, 4, sizeof(gint32));
    return g_variant_new_tuple(&array, 1);
}

// One run of the check: a chain of calls, each answered on the main loop;
// deletes itself when it has told the result.
class Check {
public:
    Check(std::vector<std::string> groups, std::vector<PortalShortcut> shortcuts,
        std::function<void(std::vector<KdeKeyless>)> done)
        : groups_(std::move(groups))
        , shortcuts_(std::move(shortcuts))
        , done_(std::move(done))
    {
    }

    // Asks for the next group the portal may have made, until the active one.
    void probe()
    {
        if (next_ == groups_.size()) {
            finish();
            return;
        }
        call(servicePath, serviceInterface, "getComponent", g_variant_new("(s)", groups_[next_++].c_str()), "(o)",
            &Check::onComponent);
    }

private:
    using Answer = void (Check::*)(GVariant* reply, GError* error);
    struct Keyless {
        KdeKeyless found;
        int key; // the preferred one
    };

    void call(const char* path, const char* interface, const char* method, GVariant* parameters, const char* type,
        Answer answer)
    {
        answer_ = answer;
        g_dbus_connection_call(sessionBus(), serviceName, path, interface, method, parameters, G_VARIANT_TYPE(type),
            G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, &Check::onReply, this);
    }

    static void onReply(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto* self = static_cast<Check*>(data);
        glib::GUnique<GError> error;
        const glib::GUnique<GVariant> reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        (self->*self->answer_)(reply.get(), error.get());
    }

    void onComponent(GVariant* reply, GError* error)
    {
        if (!reply) {
            // No such group, or no KDE here at all.
            const bool noService = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)
                || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
            noService ? finish() : probe();
            return;
        }
        const char* path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        component_ = path;
        call(component_.c_str(), componentInterface, "isActive", nullptr, "(b)", &Check::onActive);
    }

    void onActive(GVariant* reply, GError*)
    {
        gboolean active = FALSE;
        if (reply) {
            g_variant_get(reply, "(b)", &active);
        }
        if (!active) {
            probe();
            return;
        }
        call(component_.c_str(), componentInterface, "allShortcutInfos", nullptr, "(a(ssssssaiai))",
            &Check::onShortcuts);
    }

    void onShortcuts(GVariant* reply, GError*)
    {
        if (!reply) {
            finish();
            return;
        }
        GVariantIter* infos = nullptr;
        g_variant_get(reply, "(a(ssssssaiai))", &infos);
        const char *action = nullptr, *actionName = nullptr, *group = nullptr, *groupName = nullptr;
        GVariantIter* keys = nullptr;
        bool renamed = false;
        while (g_variant_iter_next(
            infos, "(&s&s&s&s&s&sai@ai)", &action, &actionName, &group, &groupName, nullptr, nullptr, &keys, nullptr)) {
            bool keyed = false;
            for (gint32 key = 0; g_variant_iter_next(keys, "i", &key);) {
                keyed = keyed || key != 0;
            }
            g_variant_iter_free(keys);
            group_ = group;
            const auto shortcut = std::ranges::find(shortcuts_, std::string_view(action), &PortalShortcut::id);
            if (shortcut != shortcuts_.end() && !keyed) {
                keyless_.push_back({ { action, {}, false }, qtKey(shortcut->preferredTrigger) });
            }
            if (!renamed && groupName != std::string_view(build::appName)) {
                renamed = true;
                // kglobalaccel names a group as its last registration did,
                // and registering a known shortcut changes nothing else. So
                // System Settings finds the desktop entry by its Name and
                // shows the app, with its icon, under Applications (seen on
                // Plasma 5.27, whose backend registers under the bare id at
                // every session).
                const char* const id[] = { group, action, build::appName, actionName };
                g_dbus_connection_call(sessionBus(), serviceName, servicePath, serviceInterface, "doRegister",
                    g_variant_new("(@as)", g_variant_new_strv(id, 4)), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
                    nullptr, nullptr, nullptr);
            }
        }
        g_variant_iter_free(infos);
        askHolder();
    }

    // Who holds the preferred key of each keyless shortcut, one at a time.
    void askHolder()
    {
        if (asked_ == keyless_.size()) {
            finish();
            return;
        }
        call(servicePath, serviceInterface, "actionList", g_variant_new("(@(ai))", sequence(keyless_[asked_].key)),
            "(as)", &Check::onHolder);
    }

    void onHolder(GVariant* reply, GError*)
    {
        const char** action = nullptr;
        if (reply) {
            g_variant_get(reply, "(^a&s)", &action);
        }
        // componentUnique, actionUnique, componentFriendly, actionFriendly
        if (action && g_strv_length(const_cast<char**>(action)) >= 3) {
            Keyless& shortcut = keyless_[asked_];
            shortcut.found.holder = action[2];
            if (std::ranges::find(groups_, action[0]) != groups_.end() && action[0] != group_
                && shortcut.found.id == action[1]) {
                moveKey(action[0], shortcut);
            }
        }
        g_free(action);
        ++asked_;
        askHolder();
    }

    // The key is held by the same shortcut in an older group of ours (made
    // under an earlier id or naming), which nothing listens to any more: it
    // moves over to the group in use, and works at once (seen on 5.27).
    void moveKey(const char* from, Keyless& shortcut)
    {
        const auto set = [](const char* group, const std::string& id, GVariant* keys) {
            const char* const action[] = { group, id.c_str(), "", "" };
            g_dbus_connection_call(sessionBus(), serviceName, servicePath, serviceInterface, "setForeignShortcutKeys",
                g_variant_new("(@as@a(ai))", g_variant_new_strv(action, 4), keys), nullptr,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
        };
        set(from, shortcut.found.id, g_variant_new_array(G_VARIANT_TYPE("(ai)"), nullptr, 0));
        GVariant* key = sequence(shortcut.key);
        set(group_.c_str(), shortcut.found.id, g_variant_new_array(nullptr, &key, 1));
        shortcut.found.moved = true;
    }

    void finish()
    {
        std::vector<KdeKeyless> found;
        for (const auto& shortcut : keyless_) {
            found.push_back(shortcut.found);
        }
        done_(std::move(found));
        delete this;
    }

    std::vector<std::string> groups_;
    std::vector<PortalShortcut> shortcuts_;
    std::function<void(std::vector<KdeKeyless>)> done_;
    std::size_t next_ = 0;
    std::string component_;
    Answer answer_ = nullptr;
    std::string group_;
    std::vector<Keyless> keyless_;
    std::size_t asked_ = 0;
};

} // namespace

void checkKdeShortcuts(std::vector<std::string> groups, std::vector<PortalShortcut> shortcuts,
    std::function<void(std::vector<KdeKeyless>)> done)
{
    (new Check(std::move(groups), std::move(shortcuts), std::move(done)))->probe();
}

} // namespace orvo::platform::native
