// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/common/RemoteCommandHandlers.h"

namespace orvo::platform {

void RemoteCommandHandlers::addTargetWithHandler(RemoteCommandHandler handler)
{
    if (handler) {
        handlers_.push_back(std::move(handler));
    }
}

RemoteCommandHandlerStatus RemoteCommandHandlers::perform() const
{
    // A copy, so that a handler adding another cannot invalidate the loop.
    const std::vector<RemoteCommandHandler> handlers = handlers_;
    RemoteCommandHandlerStatus status = RemoteCommandHandlerStatus::Success;
    for (const auto& handler : handlers) {
        status = handler(RemoteCommandEvent {});
    }
    return status;
}

} // namespace orvo::platform
