// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until the X11 key grabs land.
#include "platform/common/HotKeyBackend.h"

namespace orvo::platform {
namespace {
class NoHotKeys final : public HotKeyBackend {
public:
    OSStatus registerHotKey(UInt32, UInt32, EventHotKeyID) override { return eventHotKeyInvalidErr; }
};
} // namespace

HotKeyBackend& hotKeyBackend()
{
    static NoHotKeys backend;
    return backend;
}

} // namespace orvo::platform
