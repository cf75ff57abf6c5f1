// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/EventManager.h"
#include "platform/common/HotKeyBackend.h"

#include <cstring>
#include <memory>
#include <vector>

namespace orvo::platform {

struct OpaqueEventRef {
    struct Parameter {
        EventParamName name;
        EventParamType type;
        std::vector<unsigned char> bytes;
    };
    OSType eventClass;
    UInt32 eventKind;
    std::vector<Parameter> parameters;
};

struct OpaqueEventHandlerRef {
    EventHandlerUPP handler;
    std::vector<EventTypeSpec> types;
    void* userData;
};

struct OpaqueEventTargetRef {
    std::vector<std::unique_ptr<OpaqueEventHandlerRef>> handlers;
};

EventTargetRef GetApplicationEventTarget()
{
    static OpaqueEventTargetRef target;
    return &target;
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
    const EventTypeSpec* list, void* userData, EventHandlerRef* outRef)
{
    if (!target || !handler || (numTypes > 0 && !list)) {
        return paramErr;
    }
    auto ref = std::make_unique<OpaqueEventHandlerRef>();
    ref->handler = handler;
    ref->types.assign(list, list + numTypes);
    ref->userData = userData;
    if (outRef) {
        *outRef = ref.get();
    }
    target->handlers.push_back(std::move(ref));
    return noErr;
}

OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
    EventParamType* outActualType, ByteCount bufferSize, ByteCount* outActualSize, void* outData)
{
    if (!event) {
        return paramErr;
    }
    for (const auto& parameter : event->parameters) {
        if (parameter.name != name) {
            continue;
        }
        if (parameter.type != desiredType || parameter.bytes.size() > bufferSize || !outData) {
            return eventParameterNotFoundErr;
        }
        std::memcpy(outData, parameter.bytes.data(), parameter.bytes.size());
        if (outActualType) {
            *outActualType = parameter.type;
        }
        if (outActualSize) {
            *outActualSize = parameter.bytes.size();
        }
        return noErr;
    }
    return eventParameterNotFoundErr;
}

EventRef CreateEvent(OSType eventClass, UInt32 eventKind)
{
    return new OpaqueEventRef { eventClass, eventKind, {} };
}

OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size, const void* data)
{
    if (!event || (size > 0 && !data)) {
        return paramErr;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (auto& parameter : event->parameters) {
        if (parameter.name == name) {
            parameter.type = type;
            parameter.bytes.assign(bytes, bytes + size);
            return noErr;
        }
    }
    event->parameters.push_back({ name, type, std::vector<unsigned char>(bytes, bytes + size) });
    return noErr;
}

void ReleaseEvent(EventRef event)
{
    delete event;
}

OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target)
{
    if (!target) {
        return paramErr;
    }
    const OSType eventClass = event ? event->eventClass : 0;
    const UInt32 eventKind = event ? event->eventKind : 0;
    // Newest handler first, like a handler stack. Indexes, not iterators: a
    // handler may install another handler.
    for (std::size_t i = target->handlers.size(); i-- > 0;) {
        const auto& ref = *target->handlers[i];
        bool wanted = !event; // a null event goes to every handler, which must cope
        for (const auto& type : ref.types) {
            wanted = wanted || (type.eventClass == eventClass && type.eventKind == eventKind);
        }
        if (!wanted) {
            continue;
        }
        const OSStatus status = ref.handler(nullptr, event, ref.userData);
        if (status != eventNotHandledErr) {
            return status;
        }
    }
    return eventNotHandledErr;
}

ItemCount applicationEventHandlerCount()
{
    return GetApplicationEventTarget()->handlers.size();
}

void removeAllApplicationEventHandlers()
{
    GetApplicationEventTarget()->handlers.clear();
}

OSStatus deliverHotKeyPressed(EventHotKeyID id)
{
    EventRef event = CreateEvent(kEventClassKeyboard, kEventHotKeyPressed);
    SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof id, &id);
    const OSStatus status = SendEventToEventTarget(event, GetApplicationEventTarget());
    ReleaseEvent(event);
    return status;
}

} // namespace orvo::platform
