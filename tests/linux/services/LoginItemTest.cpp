// SPDX-License-Identifier: GPL-3.0-or-later
// Launch at login against real files: the entry is read back by GLib's own
// desktop-entry loader and launched by GLib's launcher, so a quoting mistake
// shows up as a wrong program started, not as a string mismatch.
#include "platform/LoginItem.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/services/Services.h"
#include "tests/support/TestSupport.h"

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace orvo::platform {
namespace {

namespace fs = std::filesystem;
using glib::GUnique;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), TRUE);
        entry_ = dir_.path() / "config" / "autostart" / "org.orvomenu.OrvoMenu.desktop";
        legacy_ = dir_.path() / "config" / "autostart" / "orvomenu.desktop";
        useExecutable((dir_.path() / "bin" / "orvomenu").string());
    }

    // An empty path: the app cannot tell where it is installed.
    void useExecutable(std::string path) { service_ = native::makeAutostartService({ std::move(path) }); }
    AppService& service() { return *service_; }

    std::unique_ptr<AppService> service_;
    test::TempDir dir_;
    fs::path entry_;
    fs::path legacy_;
};

TEST_F(LoginItemTest, EntryPathFollowsXdgConfigHome)
{
    EXPECT_EQ(native::autostartEntryPath(), entry_.string());
    // Unset or relative values fall back to ~/.config, as the base-directory rules say.
    g_setenv("XDG_CONFIG_HOME", "relative/config", TRUE);
    EXPECT_EQ(native::autostartEntryPath(),
        (fs::path(g_get_home_dir()) / ".config/autostart/org.orvomenu.OrvoMenu.desktop").string());
    g_unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(native::autostartEntryPath(),
        (fs::path(g_get_home_dir()) / ".config/autostart/org.orvomenu.OrvoMenu.desktop").string());
}

// Each name holds characters that the Exec quoting rules treat specially.
class ExecQuotingTest : public LoginItemTest, public ::testing::WithParamInterface<const char*> { };

TEST_P(ExecQuotingTest, GLibLaunchesTheRegisteredExecutable)
{
    const fs::path executable = dir_.path() / "bin" / GetParam() / "orvo menu";
    writeFile(executable, "#!/bin/sh\nprintf '%s' \"$0\" > \"$ORVO_MARKER\"\n");
    fs::permissions(executable, fs::perms::owner_all);
    useExecutable(executable.string());

    std::string error;
    ASSERT_TRUE(service().registerAndReturnError(&error)) << error;
    EXPECT_EQ(service().status(), AppServiceStatus::Enabled);

    // GLib's loader reads the entry; its command line, after the field-code
    // pass that turns %% into %, splits into exactly our path.
    auto info = glib::adopt(g_desktop_app_info_new_from_filename(entry_.c_str()));
    ASSERT_TRUE(info) << readFile(entry_);
    std::string commandLine = g_app_info_get_commandline(G_APP_INFO(info.get()));
    for (auto at = commandLine.find("%%"); at != std::string::npos; at = commandLine.find("%%", at + 1)) {
        commandLine.erase(at, 1);
    }
    GUnique<char*> argv;
    ASSERT_TRUE(g_shell_parse_argv(commandLine.c_str(), nullptr, glib::out(argv), nullptr)) << commandLine;
    // GLib checks a program's existence before expanding field codes, so a
    // path with '%' is handed to sh(1) as $0 instead of being argv[0].
    char** args = argv.get();
    if (args[0] && std::string(args[0]) == "/bin/sh") {
        EXPECT_NE(executable.string().find('%'), std::string::npos);
        ASSERT_STREQ(args[1], "-c");
        EXPECT_STREQ(args[2], "exec \"$0\"");
        args += 3;
    }
    ASSERT_TRUE(args[0]);
    EXPECT_EQ(std::string(args[0]), executable.string());
    EXPECT_EQ(args[1], nullptr);

    // And GLib's launcher starts that very file.
    const fs::path marker = dir_.path() / "started";
    g_setenv("ORVO_MARKER", marker.c_str(), TRUE);
    GUnique<GError> launchError;
    ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, glib::out(launchError)))
        << launchError->message;
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(marker) && !readFile(marker).empty(); }));
    EXPECT_EQ(readFile(marker), executable.string());

    GUnique<GKeyFile> keys(g_key_file_new());
    ASSERT_TRUE(g_key_file_load_from_file(keys.get(), entry_.c_str(), G_KEY_FILE_NONE, nullptr));
    GUnique<char> name(g_key_file_get_string(keys.get(), "Desktop Entry", "Name", nullptr));
    EXPECT_STREQ(name.get(), "OrvoMenu");
}

INSTANTIATE_TEST_SUITE_P(Paths, ExecQuotingTest,
    ::testing::Values("plain", "with space", "double\"quote", "single'quote", "dollar$HOME", "percent%u%%",
        "percent%and=equals", "back\\slash\\\\", "back`tick`", "semi;colon&pipe|", "all \"'$%\\` of them"));

struct StatusCase {
    const char* name;
    const char* content; // nullptr: no entry
    AppServiceStatus expected;
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

class EntryStatusTest : public LoginItemTest, public ::testing::WithParamInterface<StatusCase> { };

TEST_P(EntryStatusTest, ReadsTheEntryAsTheUserLeftIt)
{
    if (GetParam().content) {
        writeFile(entry_, GetParam().content);
    }
    EXPECT_EQ(service().status(), GetParam().expected);
    // Without its own path the app cannot start itself, whatever the entry says.
    useExecutable("");
    EXPECT_EQ(service().status(), AppServiceStatus::NotFound);
}

const char* const validEntry = "[Desktop Entry]\nType=Application\nName=OrvoMenu\nExec=/usr/bin/orvomenu\n";

INSTANTIATE_TEST_SUITE_P(Entries, EntryStatusTest,
    ::testing::Values(StatusCase { "Missing", nullptr, AppServiceStatus::NotRegistered },
        StatusCase { "Valid", validEntry, AppServiceStatus::Enabled },
        StatusCase { "HiddenTrue", "[Desktop Entry]\nType=Application\nExec=orvomenu\nHidden=true\n",
            AppServiceStatus::NotRegistered },
        StatusCase { "HiddenFalse", "[Desktop Entry]\nType=Application\nExec=orvomenu\nHidden=false\n",
            AppServiceStatus::Enabled },
        StatusCase { "GnomeDisabled",
            "[Desktop Entry]\nType=Application\nExec=orvomenu\nX-GNOME-Autostart-enabled=false\n",
            AppServiceStatus::NotRegistered },
        StatusCase { "GnomeEnabled",
            "[Desktop Entry]\nType=Application\nExec=orvomenu\nX-GNOME-Autostart-enabled=true\n",
            AppServiceStatus::Enabled },
        StatusCase { "NotAnApplication", "[Desktop Entry]\nType=Link\nURL=https://example.org\nExec=orvomenu\n",
            AppServiceStatus::NotRegistered },
        StatusCase { "NoExec", "[Desktop Entry]\nType=Application\nName=OrvoMenu\n", AppServiceStatus::NotRegistered },
        StatusCase { "EmptyExec", "[Desktop Entry]\nType=Application\nExec=\n", AppServiceStatus::NotRegistered },
        StatusCase {
            "OtherGroup", "[Desktop Action x]\nType=Application\nExec=orvomenu\n", AppServiceStatus::NotRegistered },
        StatusCase { "Garbage", "\x7f\xff\xfe not a key file\n[[[", AppServiceStatus::NotRegistered }),
    [](const auto& test) { return std::string(test.param.name); });

const char* const hiddenEntry = "[Desktop Entry]\nType=Application\nExec=orvomenu --mine\nHidden=true\n";
const char* const gnomeDisabledEntry
    = "[Desktop Entry]\nType=Application\nExec=orvomenu\nX-GNOME-Autostart-enabled=false\n";

// What switching on or off does to the entry and to the one earlier versions
// named orvomenu.desktop. Only an entry that would start the app is replaced
// or removed; one the user hid or switched off stays as they left it.
struct ChangeCase {
    const char* name;
    bool enable;
    const char* entry; // before: nullptr for none
    const char* legacy;
    enum After { None, Ours, Unchanged };
    After entryAfter = None;
    After legacyAfter = None;
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class ChangeTest : public LoginItemTest, public ::testing::WithParamInterface<ChangeCase> { };

TEST_P(ChangeTest, LeavesTheEntriesAsExpected)
{
    const auto& c = GetParam();
    for (const auto& [path, content] : { std::pair { entry_, c.entry }, std::pair { legacy_, c.legacy } }) {
        if (content) {
            writeFile(path, content);
        }
    }
    // Either name starts the app when it is a usable, enabled entry.
    const bool enabledBefore = c.entry == validEntry || c.legacy == validEntry;
    EXPECT_EQ(service().status(), enabledBefore ? AppServiceStatus::Enabled : AppServiceStatus::NotRegistered);
    std::string error;
    ASSERT_TRUE(c.enable ? service().registerAndReturnError(&error) : service().unregisterAndReturnError(&error))
        << error;
    EXPECT_EQ(service().status(), c.enable ? AppServiceStatus::Enabled : AppServiceStatus::NotRegistered);

    std::size_t expectedFiles = 0;
    for (const auto& [path, before, after] :
        { std::tuple { entry_, c.entry, c.entryAfter }, std::tuple { legacy_, c.legacy, c.legacyAfter } }) {
        SCOPED_TRACE(path.filename().string());
        EXPECT_EQ(fs::exists(path), after != ChangeCase::None);
        if (after == ChangeCase::Unchanged) {
            EXPECT_EQ(readFile(path), before);
        } else if (after == ChangeCase::Ours) {
            EXPECT_NE(readFile(path).find("Exec="), std::string::npos);
            EXPECT_EQ(readFile(path).find("Hidden"), std::string::npos);
        }
        expectedFiles += after != ChangeCase::None;
    }
    // Written in one step: no temporary file is left beside the entry.
    if (fs::exists(entry_.parent_path())) {
        EXPECT_EQ(std::distance(fs::directory_iterator(entry_.parent_path()), fs::directory_iterator()),
            static_cast<std::ptrdiff_t>(expectedFiles));
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangeTest,
    ::testing::Values(ChangeCase { "RegisterCreatesTheFolder", true, nullptr, nullptr, ChangeCase::Ours },
        ChangeCase { "RegisterReplacesDamaged", true, "\xff\xfe garbage [[[", nullptr, ChangeCase::Ours },
        ChangeCase { "RegisterReplacesHidden", true, hiddenEntry, nullptr, ChangeCase::Ours },
        ChangeCase { "RegisterReplacesSwitchedOff", true, gnomeDisabledEntry, nullptr, ChangeCase::Ours },
        ChangeCase { "RegisterMovesTheEarlierEntry", true, nullptr, validEntry, ChangeCase::Ours },
        ChangeCase {
            "RegisterKeepsAHiddenEarlierEntry", true, nullptr, hiddenEntry, ChangeCase::Ours, ChangeCase::Unchanged },
        ChangeCase { "UnregisterRemoves", false, validEntry, nullptr },
        ChangeCase { "UnregisterRemovesBoth", false, validEntry, validEntry },
        ChangeCase { "UnregisterNothingIsNoFailure", false, nullptr, nullptr },
        ChangeCase { "UnregisterKeepsHidden", false, hiddenEntry, nullptr, ChangeCase::Unchanged },
        ChangeCase { "UnregisterKeepsSwitchedOff", false, gnomeDisabledEntry, nullptr, ChangeCase::Unchanged }),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(LoginItemTest, FailuresAreReportedNotThrown)
{
    // Without its own path there is nothing to register.
    useExecutable("");
    std::string error;
    EXPECT_FALSE(service().registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_FALSE(service().registerAndReturnError(nullptr));

    // An entry path taken by a folder can be neither read nor replaced.
    useExecutable((dir_.path() / "bin" / "orvomenu").string());
    fs::create_directories(entry_ / "inside");
    error.clear();
    EXPECT_EQ(service().status(), AppServiceStatus::NotRegistered);
    EXPECT_FALSE(service().registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(entry_));
}

} // namespace
} // namespace orvo::platform
