// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A small event-target layer for system-wide hot keys: an application event
// target, handlers installed on it for event types, hot keys registered with an
// identity, and events whose parameters a handler reads back.
//
// Contract: main loop only. Handlers run synchronously on the main loop when an
// event is sent to their target. The target, handlers and hot keys live until
// the process ends.

#include <cstddef>
#include <cstdint>

namespace orvo::platform {

using OSStatus = std::int32_t;
using OSType = std::uint32_t;
using UInt32 = std::uint32_t;
using ItemCount = std::size_t;
using ByteCount = std::size_t;
using OptionBits = std::uint32_t;
using EventParamName = OSType;
using EventParamType = OSType;

constexpr OSType fourCharCode(const char (&code)[5])
{
    return (OSType(std::uint8_t(code[0])) << 24) | (OSType(std::uint8_t(code[1])) << 16)
        | (OSType(std::uint8_t(code[2])) << 8) | OSType(std::uint8_t(code[3]));
}

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus eventParameterNotFoundErr = -9870;
inline constexpr OSStatus eventNotHandledErr = -9874;
inline constexpr OSStatus eventHotKeyExistsErr = -9878;
inline constexpr OSStatus eventHotKeyInvalidErr = -9879;
inline constexpr OSStatus eventInternalErr = -9868;

inline constexpr OSType kEventClassKeyboard = fourCharCode("keyb");
inline constexpr UInt32 kEventHotKeyPressed = 5;
inline constexpr EventParamName kEventParamDirectObject = fourCharCode("----");
inline constexpr EventParamType typeEventHotKeyID = fourCharCode("hkid");

// Modifier masks of hot keys.
inline constexpr UInt32 cmdKey = 256;
inline constexpr UInt32 shiftKey = 512;
inline constexpr UInt32 optionKey = 2048;
inline constexpr UInt32 controlKey = 4096;

// Virtual key codes of the number row: the code names a physical key.
inline constexpr UInt32 kVK_ANSI_1 = 18, kVK_ANSI_2 = 19, kVK_ANSI_3 = 20, kVK_ANSI_4 = 21, kVK_ANSI_6 = 22,
                        kVK_ANSI_5 = 23, kVK_ANSI_9 = 25, kVK_ANSI_7 = 26, kVK_ANSI_8 = 28, kVK_ANSI_0 = 29;

struct EventHotKeyID {
    OSType signature = 0;
    UInt32 id = 0;
};
static_assert(sizeof(EventHotKeyID) == 8);

struct EventTypeSpec {
    OSType eventClass = 0;
    UInt32 eventKind = 0;
};

struct OpaqueEventRef;
struct OpaqueEventTargetRef;
struct OpaqueEventHandlerCallRef;
struct OpaqueEventHandlerRef;
struct OpaqueEventHotKeyRef;
using EventRef = OpaqueEventRef*;
using EventTargetRef = OpaqueEventTargetRef*;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
using EventHandlerRef = OpaqueEventHandlerRef*;
using EventHotKeyRef = OpaqueEventHotKeyRef*;
using EventHandlerUPP = OSStatus (*)(EventHandlerCallRef, EventRef, void*);

// The application's event target; the same for the whole run.
EventTargetRef GetApplicationEventTarget();

// Installs handler for the given event types on target. userData is passed to
// every call. outRef may be null. paramErr for a null target, handler or list.
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
    const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);

// Registers a system-wide key combination. From then on pressing it sends a
// hot-key-pressed event carrying hotKeyID (as kEventParamDirectObject of type
// typeEventHotKeyID) to target. Fails with eventHotKeyExistsErr when another
// program holds the combination, eventHotKeyInvalidErr when it cannot be
// expressed or no keyboard is reachable. *outRef is set on success only.
OSStatus RegisterEventHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID, EventTargetRef target,
    OptionBits options, EventHotKeyRef* outRef);

// Copies a parameter of event into outData. eventParameterNotFoundErr when the
// event has no such parameter, or it has another type or does not fit.
OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
    EventParamType* outActualType, ByteCount bufferSize, ByteCount* outActualSize, void* outData);

// Events made and sent by the platform (and by tests).
EventRef CreateEvent(OSType eventClass, UInt32 eventKind);
OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size, const void* data);
void ReleaseEvent(EventRef event);
// Calls the handlers installed on target for the event's type, newest first,
// until one returns something other than eventNotHandledErr; returns that.
OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target);

} // namespace orvo::platform
