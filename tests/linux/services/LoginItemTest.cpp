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
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoginItemTest, RegisterCreatesTheFolderAndUnregisterRemovesTheEntry)
{
    ASSERT_FALSE(fs::exists(entry_.parent_path()));
    std::string error;
    ASSERT_TRUE(service().registerAndReturnError(&error)) << error;
    EXPECT_EQ(service().status(), AppServiceStatus::Enabled);
    // Written in one step: no temporary file is left beside the entry.
    EXPECT_EQ(std::distance(fs::directory_iterator(entry_.parent_path()), fs::directory_iterator()), 1);

    ASSERT_TRUE(service().unregisterAndReturnError(&error)) << error;
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_EQ(service().status(), AppServiceStatus::NotRegistered);
    // Nothing left to remove is no failure.
    EXPECT_TRUE(service().unregisterAndReturnError(&error));
}

TEST_F(LoginItemTest, UnregisterLeavesAHiddenEntryAlone)
{
    const std::string hidden = "[Desktop Entry]\nType=Application\nExec=orvomenu --mine\nHidden=true\n";
    writeFile(entry_, hidden);
    std::string error;
    EXPECT_TRUE(service().unregisterAndReturnError(&error)) << error;
    EXPECT_EQ(readFile(entry_), hidden);
}

TEST_F(LoginItemTest, RegisterReplacesADamagedOrHiddenEntry)
{
    for (const char* before : { "\xff\xfe garbage [[[", "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n" }) {
        writeFile(entry_, before);
        std::string error;
        ASSERT_TRUE(service().registerAndReturnError(&error)) << error;
        EXPECT_EQ(service().status(), AppServiceStatus::Enabled);
        EXPECT_EQ(readFile(entry_).find("Hidden"), std::string::npos);
    }
}

// Earlier versions named the entry orvomenu.desktop. It keeps starting the
// app, so it shows as enabled; switching on moves it to the app id's name
// (one entry, not two starts), switching off removes whichever there is.
TEST_F(LoginItemTest, TheEntryOfEarlierVersionsCountsAndIsReplaced)
{
    writeFile(legacy_, validEntry);
    EXPECT_EQ(service().status(), AppServiceStatus::Enabled);
    std::string error;
    ASSERT_TRUE(service().registerAndReturnError(&error)) << error;
    EXPECT_TRUE(fs::exists(entry_));
    EXPECT_FALSE(fs::exists(legacy_));

    writeFile(legacy_, validEntry);
    ASSERT_TRUE(service().unregisterAndReturnError(&error)) << error;
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_FALSE(fs::exists(legacy_));
    EXPECT_EQ(service().status(), AppServiceStatus::NotRegistered);

    // One the user hid stays as they left it.
    const std::string hidden = "[Desktop Entry]\nType=Application\nExec=orvomenu\nHidden=true\n";
    writeFile(legacy_, hidden);
    ASSERT_TRUE(service().registerAndReturnError(&error)) << error;
    EXPECT_EQ(readFile(legacy_), hidden);
}

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
