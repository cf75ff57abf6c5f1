// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until the media-controls service lands.
#include "platform/NowPlaying.h"

#include <vector>

namespace orvo::platform {
namespace {
class Command final : public RemoteCommand {
public:
    void addTargetWithHandler(RemoteCommandHandler handler) override { handlers_.push_back(std::move(handler)); }

private:
    std::vector<RemoteCommandHandler> handlers_;
};
class Commands final : public RemoteCommandCenter {
public:
    RemoteCommand& playCommand() override { return play_; }
    RemoteCommand& pauseCommand() override { return pause_; }
    RemoteCommand& togglePlayPauseCommand() override { return toggle_; }

private:
    Command play_, pause_, toggle_;
};
class Center final : public NowPlayingInfoCenter {
public:
    void setNowPlayingInfo(const NowPlayingInfo&) override {}
    void setPlaybackState(PlaybackState) override {}
};
} // namespace

NowPlayingInfoCenter& NowPlayingInfoCenter::defaultCenter()
{
    static Center center;
    return center;
}

RemoteCommandCenter& RemoteCommandCenter::sharedCommandCenter()
{
    static Commands commands;
    return commands;
}

} // namespace orvo::platform
