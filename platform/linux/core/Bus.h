// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/BuildConfig.h"

#include <gio/gio.h>

#include <string>

namespace orvo::platform::native {

// The session bus connection shared by the tray item, its menu, the media
// controls and notifications. Connected on first use; the application cannot
// work without it, so a failure prints one line on stderr and exits with
// status 1.
GDBusConnection* sessionBus();

// The name that marks the one running instance in a session. Other processes
// reach it there: org.gtk.Actions at instanceObjectPath.
inline constexpr const char* instanceBusName = build::desktopId;
inline constexpr const char* instanceObjectPath = "/org/orvomenu/OrvoMenu";

// An action that other processes may ask the running instance for over the
// session bus (org.gtk.Actions on the instance's name), taking one 32-bit
// integer. Add it before Application::sharedApplication() is first called;
// the handler runs on the main loop.
void addInstanceAction(const char* name, void (*handler)(int parameter));

// Asks the running instance to perform one of its actions (see
// addInstanceAction), from another process. Blocks until the instance has
// answered. Never starts an instance.
enum class InstanceReply { Done, NotRunning, Failed };
InstanceReply activateInstanceAction(const char* action, int parameter, std::string* error);

// A gdbus-codegen method handler that answers with no values and does
// nothing, for calls that a peer may make but that have no effect here.
template <typename... Arguments> gboolean acknowledge(gpointer, GDBusMethodInvocation* invocation, Arguments...)
{
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return TRUE;
}

} // namespace orvo::platform::native
