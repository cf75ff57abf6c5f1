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

namespace orvo::platform {
namespace {

namespace fs = std::filesystem;
using glib::GUnique;
using test::readFile;
using test::writeFile;

const std::string head = "[Desktop Entry]\nType=Application\n";
const std::string validEntry = head + "Name=OrvoMenu\nExec=/usr/bin/orvomenu\n";
const std::string hiddenEntry = head + "Exec=orvomenu --mine\nHidden=true\n";
const std::string switchedOffEntry = head + "Exec=orvomenu\nX-GNOME-Autostart-enabled=false\n";

class LoginItemTest : public ::testing::Test {
protected:
    // The entry's place follows XDG_CONFIG_HOME.
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), TRUE);
        ASSERT_EQ(native::autostartEntryPath(), entry_.string());
    }

    // An empty path: the app cannot tell where it is installed.
    AppService& service(std::string executable = "/opt/orvo/orvomenu")
    {
        service_ = native::makeAutostartService({ std::move(executable) });
        return *service_;
    }

    std::unique_ptr<AppService> service_;
    test::TempDir dir_;
    fs::path entry_ = dir_.path() / "config/autostart/org.orvomenu.OrvoMenu.desktop";
    fs::path legacy_ = dir_.path() / "config/autostart/orvomenu.desktop"; // earlier versions' name
};

// Each name holds characters that the Exec quoting rules treat specially.
TEST_F(LoginItemTest, GLibLaunchesTheRegisteredExecutable)
{
    const fs::path marker = dir_.path() / "started";
    g_setenv("ORVO_MARKER", marker.c_str(), TRUE);
    for (const char* folder : { "plain", "with space", "double\"quote", "single'quote", "dollar$HOME", "percent%u%%",
             "percent%and=equals", "back\\slash\\\\", "back`tick`", "semi;colon&pipe|", "all \"'$%\\` of them" }) {
        SCOPED_TRACE(folder);
        const fs::path executable = dir_.path() / "bin" / folder / "orvo menu";
        writeFile(executable, "#!/bin/sh\nprintf '%s' \"$0\" > \"$ORVO_MARKER\"\n");
        fs::permissions(executable, fs::perms::owner_all);
        std::string error;
        ASSERT_TRUE(service(executable.string()).registerAndReturnError(&error)) << error;
        EXPECT_EQ(service_->status(), AppServiceStatus::Enabled);

        // GLib's loader reads the entry; its command line, after the
        // field-code pass that turns %% into %, splits into exactly our path.
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
        fs::remove(marker);
        GUnique<GError> launchError;
        ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, glib::out(launchError)))
            << launchError->message;
        ASSERT_TRUE(test::waitFor([&] { return !readFile(marker).empty(); }));
        EXPECT_EQ(readFile(marker), executable.string());
    }
}

// What switching on or off does to the entry and to the legacy one. Only an
// entry that would start the app is replaced or removed; one the user hid or
// switched off stays as they left it.
TEST_F(LoginItemTest, SwitchingLeavesTheEntriesAsExpected)
{
    enum After { None, Ours, Unchanged };
    const std::string damaged = "\xff\xfe garbage [[[";
    const struct {
        const char* name;
        bool enable;
        std::optional<std::string> entry, legacy;
        After entryAfter = None, legacyAfter = None;
    } cases[] = {
        { "register creates the folder", true, {}, {}, Ours },
        { "register replaces damaged", true, damaged, {}, Ours },
        { "register moves the earlier entry", true, {}, validEntry, Ours },
        { "register keeps a hidden earlier entry", true, {}, hiddenEntry, Ours, Unchanged },
        { "unregister removes both", false, validEntry, validEntry },
        { "unregister keeps hidden", false, hiddenEntry, {}, Unchanged },
        { "unregister keeps switched off", false, switchedOffEntry, {}, Unchanged },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(entry_.parent_path());
        for (const auto& [path, content] : { std::pair { entry_, c.entry }, std::pair { legacy_, c.legacy } }) {
            if (content) {
                writeFile(path, *content);
            }
        }
        // Either name starts the app when it is a usable, enabled entry.
        const bool enabledBefore = c.entry == validEntry || c.legacy == validEntry;
        EXPECT_EQ(service().status(), enabledBefore ? AppServiceStatus::Enabled : AppServiceStatus::NotRegistered);
        std::string error;
        ASSERT_TRUE(c.enable ? service_->registerAndReturnError(&error) : service_->unregisterAndReturnError(&error))
            << error;
        EXPECT_EQ(service_->status(), c.enable ? AppServiceStatus::Enabled : AppServiceStatus::NotRegistered);

        std::ptrdiff_t files = 0;
        for (const auto& [path, before, after] :
            { std::tuple { entry_, c.entry, c.entryAfter }, std::tuple { legacy_, c.legacy, c.legacyAfter } }) {
            SCOPED_TRACE(path.filename().string());
            EXPECT_EQ(fs::exists(path), after != None);
            if (after == Unchanged) {
                EXPECT_EQ(readFile(path), before);
            } else if (after == Ours) {
                EXPECT_NE(readFile(path).find("Exec="), std::string::npos);
                EXPECT_EQ(readFile(path).find("Hidden"), std::string::npos);
            }
            files += after != None;
        }
        // Written in one step: no temporary file is left beside the entry.
        if (fs::exists(entry_.parent_path())) {
            EXPECT_EQ(std::distance(fs::directory_iterator(entry_.parent_path()), {}), files);
        }
    }
}

TEST_F(LoginItemTest, FailuresAreReportedNotThrown)
{
    // Without its own path there is nothing to register.
    EXPECT_EQ(service("").status(), AppServiceStatus::NotFound);
    std::string error;
    EXPECT_FALSE(service("").registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_FALSE(service_->registerAndReturnError(nullptr));

    // An entry path taken by a folder can be neither read nor replaced.
    fs::create_directories(entry_ / "inside");
    error.clear();
    EXPECT_EQ(service().status(), AppServiceStatus::NotRegistered);
    EXPECT_FALSE(service_->registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(entry_));
}

} // namespace
} // namespace orvo::platform
