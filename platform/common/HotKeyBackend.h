// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/EventManager.h"

namespace orvo::platform {

// The platform half of RegisterEventHotKey(): claims a key combination from
// the desktop. Provided once per platform (on Linux, X11 key grabs or the
// GlobalShortcuts portal, chosen by the session; or the fake).
//
// Contract: main loop only. registerHotKey() returns noErr once the
// combination is claimed, eventHotKeyExistsErr when another program holds it,
// eventHotKeyInvalidErr when it cannot be expressed or there is no keyboard to
// claim it from. A backend whose desktop answers later (a portal) returns
// noErr for a claim it has asked for, and tells the user itself when the
// answer is no. While claimed, each press calls deliverHotKeyPressed(id) on
// the main loop.
class HotKeyBackend {
public:
    virtual ~HotKeyBackend() = default;
    virtual OSStatus registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID id) = 0;
};

HotKeyBackend& hotKeyBackend();

// Sends a hot-key-pressed event carrying id to the application event target.
OSStatus deliverHotKeyPressed(EventHotKeyID id);

// How many handlers are installed on the application target, and removing
// them all: for the fake platform's reset between tests.
ItemCount applicationEventHandlerCount();
void removeAllApplicationEventHandlers();

} // namespace orvo::platform
