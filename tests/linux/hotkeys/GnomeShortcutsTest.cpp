// SPDX-License-Identifier: GPL-3.0-or-later
// GNOME custom shortcuts against GNOME's real schemas (gnome-settings-daemon-
// common, gsettings-desktop-schemas) on GSettings' memory backend. (The
// notification that asks for them is answered in the GNOME 43 host check.)
#include "platform/linux/hotkeys/Backends.h"
#include "platform/linux/hotkeys/HotKeys.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace orvo::platform;
using orvo::test::waitFor;

namespace {

constexpr const char* customSchema = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const std::string base = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";

class GnomeShortcuts : public ::testing::Test {
protected:
    GnomeShortcuts()
    {
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        g_setenv("XDG_CONFIG_HOME", (home_.path() / "config").c_str(), TRUE);
        g_setenv("LANGUAGE", "C", TRUE);
    }
    void SetUp() override
    {
        ASSERT_TRUE(native::gnomeShortcutsSupported()) << "needs gnome-settings-daemon-common";
        mediaKeys_ = glib::adopt(g_settings_new("org.gnome.settings-daemon.plugins.media-keys"));
    }

    std::vector<std::string> list() const
    {
        glib::GUnique<char*> paths(g_settings_get_strv(mediaKeys_.get(), "custom-keybindings"));
        return std::vector<std::string>(paths.get(), paths.get() + g_strv_length(paths.get()));
    }
    void setList(const std::vector<std::string>& paths) const
    {
        std::vector<const char*> strings;
        for (const auto& path : paths) {
            strings.push_back(path.c_str());
        }
        strings.push_back(nullptr);
        g_settings_set_strv(mediaKeys_.get(), "custom-keybindings", strings.data());
    }
    // name, command, binding of the entry at path.
    std::vector<std::string> entry(const std::string& path) const
    {
        auto settings = glib::adopt(g_settings_new_with_path(customSchema, path.c_str()));
        std::vector<std::string> values;
        for (const char* key : { "name", "command", "binding" }) {
            glib::GUnique<char> value(g_settings_get_string(settings.get(), key));
            values.emplace_back(value.get());
        }
        return values;
    }
    void setEntry(const std::string& path, const std::vector<std::string>& values) const
    {
        auto settings = glib::adopt(g_settings_new_with_path(customSchema, path.c_str()));
        g_settings_set_string(settings.get(), "name", values[0].c_str());
        g_settings_set_string(settings.get(), "command", values[1].c_str());
        g_settings_set_string(settings.get(), "binding", values[2].c_str());
    }
    std::string settingsDocument() const
    {
        glib::GUnique<char> text;
        g_file_get_contents(
            (home_.path() / "config/orvomenu/defaults.json").c_str(), glib::out(text), nullptr, nullptr);
        return text ? text.get() : "";
    }

    orvo::test::TempDir home_;
    glib::GRef<GSettings> mediaKeys_;
};

TEST_F(GnomeShortcuts, OursAreAddedBesideTheUsersAndRemovedAlone)
{
    // The user's own: Alt+3 runs a terminal, and GNOME switches to
    // workspace 4 on Alt+4 (written as GTK does, with Mod1).
    const std::vector<std::string> terminal = { "Terminal", "kgx", "<Alt>3" };
    const std::vector<std::string> notes = { "Notes", "gnote", "<Super>n" };
    setEntry(base + "custom0/", terminal);
    setEntry(base + "custom1/", notes);
    setList({ base + "custom0/", base + "custom1/", "not a path" });
    auto wm = glib::adopt(g_settings_new("org.gnome.desktop.wm.keybindings"));
    const char* const workspace4[] = { "<Mod1>4", nullptr };
    g_settings_set_strv(wm.get(), "switch-to-workspace-4", workspace4);

    const auto leftAlone = native::setGnomeShortcuts(true, "/opt/orvo menu/orvomenu");
    EXPECT_EQ(leftAlone,
        (std::vector<std::string> { "Alt+3 is not available: GNOME uses it for the custom shortcut \"Terminal\"",
            "Alt+4 is not available: GNOME uses it for GNOME's shortcut \"Switch to workspace 4\"" }));
    const std::vector<std::string> withOurs = { base + "custom0/", base + "custom1/", "not a path",
        base + "orvomenu-alt-1/", base + "orvomenu-alt-2/", base + "orvomenu-alt-5/" };
    EXPECT_EQ(list(), withOurs);
    EXPECT_EQ(entry(base + "orvomenu-alt-1/"),
        (std::vector<std::string> {
            "OrvoMenu: play the channel on Alt+1", "'/opt/orvo menu/orvomenu' --hotkey 1", "<Alt>1" }));
    EXPECT_EQ(entry(base + "orvomenu-alt-5/")[2], "<Alt>5");
    EXPECT_EQ(entry(base + "orvomenu-alt-3/")[2], "") << "a taken key gets no entry of ours";
    EXPECT_EQ(entry(base + "custom0/"), terminal);

    // Again: nothing doubles.
    native::setGnomeShortcuts(true, "/usr/bin/orvomenu");
    EXPECT_EQ(list(), withOurs);
    EXPECT_EQ(entry(base + "orvomenu-alt-2/")[1], "/usr/bin/orvomenu --hotkey 2");

    // The user adds one after ours; switching off takes exactly ours away.
    setEntry(base + "custom2/", { "Mail", "mail", "<Alt>9" });
    auto grown = list();
    grown.push_back(base + "custom2/");
    setList(grown);
    native::setGnomeShortcuts(false, "/usr/bin/orvomenu");
    EXPECT_EQ(
        list(), (std::vector<std::string> { base + "custom0/", base + "custom1/", "not a path", base + "custom2/" }));
    EXPECT_EQ(entry(base + "orvomenu-alt-1/"), (std::vector<std::string> { "", "", "" }));
    EXPECT_EQ(entry(base + "custom0/"), terminal);
    EXPECT_EQ(entry(base + "custom1/"), notes);
    // A choice made is remembered, so the app does not ask again.
    EXPECT_NE(settingsDocument().find("\"gnomeShortcutsOffered\": true"), std::string::npos);
}

} // namespace
