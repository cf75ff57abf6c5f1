// SPDX-License-Identifier: GPL-3.0-or-later
// Linked into the application only: the options of "orvomenu". Plain
// "orvomenu" starts the tray app; the options talk to the running instance or
// to the desktop and end the process.
#include "platform/Application.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/hotkeys/HotKeys.h"
#include "platform/linux/player/Playback.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace orvo::platform {
namespace {

// Exit statuses: 0 done, 1 it could not be done (no running instance, no
// bus, no GNOME), 2 the command line is wrong.
constexpr int done = 0;
constexpr int failed = 1;
constexpr int misused = 2;

constexpr const char* usage = "Usage: orvomenu [--hotkey N | --gnome-shortcuts on|off | --help]\n"
                              "\n"
                              "Without options, starts OrvoMenu in the system tray.\n"
                              "\n"
                              "  --hotkey N               do what Alt+N does in the running OrvoMenu (N = 1 to 5);\n"
                              "                           bind this to a key where the desktop runs commands\n"
                              "  --gnome-shortcuts on     add Alt+1 to Alt+5 to GNOME's custom shortcuts\n"
                              "  --gnome-shortcuts off    remove them again\n"
                              "  --help                   show this text\n"
                              "\n"
                              "Exit status: 0 done, 1 could not be done, 2 wrong usage.\n";

[[noreturn]] void finish(int status, const std::string& message = {})
{
    if (!message.empty()) {
        std::fprintf(stderr, "%s: %s\n", build::appId, message.c_str());
    }
    std::fflush(nullptr);
    std::exit(status);
}

[[noreturn]] void pressInRunningInstance(std::string_view digit)
{
    const int n = digit.size() == 1 ? digit[0] - '0' : -1;
    if (n < native::firstHotKeyDigit || n > native::lastHotKeyDigit) {
        finish(misused, "--hotkey takes a number from 1 to 5, not '" + std::string(digit) + "'");
    }
    std::string error;
    switch (native::activateInstanceAction("hotkey", n, &error)) {
    case native::InstanceReply::Done:
        finish(done);
    case native::InstanceReply::NotRunning:
        finish(failed, "OrvoMenu is not running in this session");
    case native::InstanceReply::Failed:
        break;
    }
    finish(failed, "the running OrvoMenu did not take the key: " + error);
}

[[noreturn]] void chooseGnomeShortcuts(std::string_view choice)
{
    if (choice != "on" && choice != "off") {
        finish(misused, "--gnome-shortcuts takes on or off, not '" + std::string(choice) + "'");
    }
    if (!native::gnomeShortcutsSupported()) {
        finish(failed, "GNOME's keyboard shortcut settings are not installed");
    }
    for (const auto& line : native::setGnomeShortcuts(choice == "on", native::runningExecutable())) {
        std::fprintf(stderr, "%s: %s\n", build::appId, line.c_str());
    }
    finish(done);
}

// What the running instance does when asked for "hotkey": the press of
// Alt+N, delivered like the key's own.
void pressFromOutside(int digit)
{
    native::pressHotKeyDigit(digit);
}

} // namespace

void Application::handleCommandLine(int argc, char** argv)
{
    if (argc <= 1) {
        native::addInstanceAction("hotkey", &pressFromOutside);
        return;
    }
    const std::string_view option = argv[1];
    if (option == "--help" || option == "-h") {
        std::fputs(usage, stdout);
        finish(done);
    }
    if ((option == "--hotkey" || option == "--gnome-shortcuts") && argc != 3) {
        finish(misused, std::string(option) + (argc < 3 ? " needs a value" : " takes one value"));
    }
    if (option == "--hotkey") {
        pressInRunningInstance(argv[2]);
    }
    // Not for users: the running app starts itself so when GStreamer's
    // registry cache needs rebuilding.
    if (option == native::registryRefreshOption && argc == 2) {
        native::rebuildPluginRegistry();
        finish(done);
    }
    if (option == "--gnome-shortcuts") {
        chooseGnomeShortcuts(argv[2]);
    }
    finish(misused, "unknown option '" + std::string(option) + "' (see orvomenu --help)");
}

} // namespace orvo::platform
