// SPDX-License-Identifier: GPL-3.0-or-later
// RegisterEventHotKey() on top of the platform's HotKeyBackend. Compiled into
// each platform's library (not the common one), so that the common code never
// depends on a platform symbol and static linking needs no cycles.
#include "platform/EventManager.h"
#include "platform/common/HotKeyBackend.h"

#include <memory>
#include <vector>

namespace orvo::platform {

struct OpaqueEventHotKeyRef {
    UInt32 keyCode;
    UInt32 modifiers;
    EventHotKeyID id;
};

OSStatus RegisterEventHotKey(
    UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID, EventTargetRef target, OptionBits, EventHotKeyRef* outRef)
{
    // Hot keys live until the process ends; their references stay valid.
    static std::vector<std::unique_ptr<OpaqueEventHotKeyRef>> refs;
    if (!target || target != GetApplicationEventTarget()) {
        return paramErr;
    }
    const OSStatus status = hotKeyBackend().registerHotKey(keyCode, modifiers, hotKeyID);
    if (status != noErr) {
        return status;
    }
    refs.push_back(std::make_unique<OpaqueEventHotKeyRef>(OpaqueEventHotKeyRef { keyCode, modifiers, hotKeyID }));
    if (outRef) {
        *outRef = refs.back().get();
    }
    return noErr;
}

} // namespace orvo::platform
