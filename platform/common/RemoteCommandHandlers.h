// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/NowPlaying.h"

#include <cstddef>
#include <vector>

namespace orvo::platform {

// The handlers of one remote command and how a command runs them, the same on
// every platform. Main loop only.
class RemoteCommandHandlers final : public RemoteCommand {
public:
    void addTargetWithHandler(RemoteCommandHandler handler) override;
    // Runs every handler in the order added; the last one's status answers.
    // With no handler there is nothing to do, which is not a failure.
    RemoteCommandHandlerStatus perform() const;
    std::size_t count() const { return handlers_.size(); }

private:
    std::vector<RemoteCommandHandler> handlers_;
};

} // namespace orvo::platform
