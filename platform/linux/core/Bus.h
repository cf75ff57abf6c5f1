// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gio/gio.h>

namespace orvo::platform::native {

// The session bus connection shared by the tray item, its menu, the media
// controls and notifications. Connected on first use; the application cannot
// work without it, so a failure prints one line on stderr and exits with
// status 1.
GDBusConnection* sessionBus();

// The name that marks the one running instance in a session.
inline constexpr const char* instanceBusName = "org.orvomenu.OrvoMenu";

} // namespace orvo::platform::native
