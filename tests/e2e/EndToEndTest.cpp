// SPDX-License-Identifier: GPL-3.0-or-later
// The installed app on a desktop of its own: private session bus, Xvfb, a tray
// watcher and host, playerctl, and the local HTTPS radio at the address the
// app was built with. The audio sink writes what the app plays to a file, so
// "sound" means decoded samples arriving there.
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"
#include "tests/support/XvfbDisplay.h"
#include "tests/support/hls/HlsServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace orvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What the app has played: 16-bit mono samples at 8 kHz in a file.
class Recording {
public:
    explicit Recording(fs::path file)
        : file_(std::move(file))
    {
    }

    std::string sinkDescription() const
    {
        return "audioconvert ! audioresample ! audio/x-raw,format=S16LE,channels=1,rate=8000 ! filesink sync=true "
               "location="
            + file_.string();
    }
    std::uintmax_t size() const
    {
        std::error_code error;
        const auto n = fs::file_size(file_, error);
        return error ? 0 : n;
    }
    // Samples keep arriving and the newest half second is not silence.
    bool flowing()
    {
        const auto start = size();
        if (!waitFor([&] { return size() >= start + 8000; }, 15s)) {
            return false;
        }
        const std::string data = readFile(file_);
        const std::size_t tail = std::min<std::size_t>(data.size() & ~std::size_t(1), 8000);
        double sum = 0;
        for (std::size_t i = data.size() - tail; i + 1 < data.size(); i += 2) {
            const auto sample = static_cast<std::int16_t>(
                static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8));
            sum += double(sample) * sample;
        }
        return std::sqrt(sum / (tail / 2.0)) > 500;
    }
    // Nothing arrives for a while. Absence needs an observation window; it
    // bounds the test, it measures nothing.
    bool silent()
    {
        waitFor([] { return false; }, 300ms); // let samples already on their way land
        const auto start = size();
        waitFor([] { return false; }, 1500ms);
        return size() == start;
    }

private:
    fs::path file_;
};

// The installed app under test: the build's install, or ORVO_E2E_BINARY
// (the app installed from its package).
std::string binary()
{
    const char* installed = g_getenv("ORVO_E2E_BINARY");
    return installed && *installed ? installed : ORVO_E2E_BINARY;
}

// One user's desktop: X, a session bus, a tray, the radio and a home folder.
class Desktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (home_.path() / "config").c_str(), TRUE);
        g_unsetenv("XDG_CURRENT_DESKTOP");
        g_unsetenv("WAYLAND_DISPLAY");
        g_setenv("XDG_SESSION_TYPE", "x11", TRUE);
        // The road clicks English labels, whatever language the tester uses.
        g_setenv("LC_ALL", "C.UTF-8", TRUE);
        g_unsetenv("LANGUAGE");
        g_setenv("ORVO_AUDIO_SINK", recording_.sinkDescription().c_str(), TRUE);
        watcher_.emplace();
    }

    fs::path config() const { return home_.path() / "config"; }
    fs::path settingsFile() const { return config() / "orvomenu" / "defaults.json"; }

    // Starts the app and waits for its tray item.
    void start()
    {
        const auto before = watcher_->registrations().size();
        app_.emplace(std::vector<std::string> { binary() });
        ASSERT_TRUE(waitFor([&] { return watcher_->registrations().size() > before; })) << "the item never registered";
        host_.emplace(watcher_->registrations().back());
        ASSERT_TRUE(waitFor([&] { return static_cast<bool>(host_->layout()); }));
    }

    GUnique<GVariant> item(const std::vector<std::string>& path) { return host_->item(path); }
    void click(const std::vector<std::string>& path)
    {
        const auto reply = host_->click(path);
        ASSERT_FALSE(reply.error) << reply.error->message;
    }
    // -1 for no such item.
    int checked(const std::vector<std::string>& path)
    {
        auto node = item(path);
        auto state = node ? nodeProperty(node.get(), "toggle-state") : nullptr;
        return !node ? -1 : state ? g_variant_get_int32(state.get()) : 0;
    }
    std::string label()
    {
        auto value = host_->property("XAyatanaLabel");
        return value ? g_variant_get_string(value.get(), nullptr) : "";
    }
    bool labelBecomes(const std::string& text)
    {
        return waitFor([&] { return label() == text; });
    }
    CommandResult playerctl(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), { "playerctl", "-p", "orvomenu" });
        return runCommand(arguments);
    }

    TempDir home_;
    Recording recording_ { home_.path() / "played.raw" };
    PrivateBus bus_;
    XvfbDisplay display_;
    HlsServer radio_ { ORVO_E2E_PORT, ORVO_E2E_CA_DIR };
    std::optional<TestWatcher> watcher_;
    std::optional<TestHost> host_;
    std::optional<ChildProcess> app_;
};

TEST_F(Desktop, TheWholeRoadAUserTakes)
{
    start();
    auto pixmaps = host_->property("IconPixmap");
    ASSERT_TRUE(pixmaps);
    EXPECT_GE(g_variant_n_children(pixmaps.get()), 1u) << "the item shows its picture";
    EXPECT_EQ(label(), "");

    // Choose a channel: sound, check mark, label.
    click({ "Vessa 1" });
    EXPECT_TRUE(labelBecomes("Vessa 1"));
    EXPECT_TRUE(recording_.flowing());
    EXPECT_EQ(checked({ "Vessa 1" }), 1);

    // Choose it again: silence, still checked, label kept.
    click({ "Vessa 1" });
    EXPECT_TRUE(waitFor([&] { return playerctl({ "status" }).output == "Paused\n"; }));
    EXPECT_TRUE(recording_.silent());
    EXPECT_EQ(checked({ "Vessa 1" }), 1);
    EXPECT_EQ(label(), "Vessa 1");

    // Alt+2 plays the second slot's channel.
    EXPECT_TRUE(display_.press("alt+2"));
    EXPECT_TRUE(labelBecomes("Vessa 2"));
    EXPECT_TRUE(recording_.flowing());
    EXPECT_EQ(checked({ "Vessa 2" }), 1);
    EXPECT_EQ(checked({ "Vessa 1" }), 0);

    // The media keys toggle it.
    EXPECT_EQ(playerctl({ "play-pause" }).status, 0);
    EXPECT_TRUE(waitFor([&] { return playerctl({ "status" }).output == "Paused\n"; }));
    EXPECT_TRUE(recording_.silent());
    EXPECT_EQ(playerctl({ "play-pause" }).status, 0);
    EXPECT_TRUE(recording_.flowing());
    EXPECT_EQ(playerctl({ "metadata", "title" }).output, "Vessa 2\n");

    // Assign Kelmora to slot 4, then Alt+4 plays it.
    click({ "Keyboard Shortcuts", "Alt+4: None", "Kelmora" });
    EXPECT_TRUE(waitFor([&] { return static_cast<bool>(item({ "Keyboard Shortcuts", "Alt+4: Kelmora" })); }));
    EXPECT_TRUE(display_.press("alt+4"));
    EXPECT_TRUE(labelBecomes("Kelmora"));

    // Launch at login follows the switch.
    const fs::path autostart = config() / "autostart" / "org.orvomenu.OrvoMenu.desktop";
    click({ "Launch at Login" });
    EXPECT_TRUE(waitFor([&] { return fs::exists(autostart) && checked({ "Launch at Login" }) == 1; }));
    click({ "Launch at Login" });
    EXPECT_TRUE(waitFor([&] { return !fs::exists(autostart) && checked({ "Launch at Login" }) == 0; }));

    // Quit: status 0, settings intact, with the volume set just before.
    EXPECT_EQ(playerctl({ "volume", "0.4" }).status, 0);
    click({ "Quit" });
    EXPECT_EQ(app_->wait(), 0);
    const std::string settings = readFile(settingsFile());
    EXPECT_NE(settings.find("\"kelmora80a\""), std::string::npos);
    EXPECT_NE(settings.find("\"volume\": 0.4"), std::string::npos);

    // Start again: the assignment is still there.
    start();
    EXPECT_TRUE(item({ "Keyboard Shortcuts", "Alt+4: Kelmora" }));
    EXPECT_TRUE(item({ "Keyboard Shortcuts", "Alt+1: Vessa 1" }));
}

// A second launch adds nothing; desktops that bind keys to commands reach
// the first instance with "orvomenu --hotkey N".
TEST_F(Desktop, ASecondLaunchAddsNothing)
{
    EXPECT_EQ(runCommand({ binary(), "--hotkey", "2" }).status, 1) << "no running instance";
    start();
    ChildProcess second({ binary() });
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(watcher_->registrations().size(), 1u);
    // The first instance still owns its keys and its command.
    EXPECT_TRUE(display_.press("alt+1"));
    EXPECT_TRUE(labelBecomes("Vessa 1"));
    EXPECT_EQ(runCommand({ binary(), "--hotkey", "2" }).status, 0);
    EXPECT_TRUE(labelBecomes("Vessa 2"));
    EXPECT_EQ(runCommand({ binary(), "--hotkey", "6" }).status, 2);
}

} // namespace
} // namespace orvo::test
