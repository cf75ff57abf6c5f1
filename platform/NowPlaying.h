// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>

namespace orvo::platform {

// What the desktop's media controls show about the current stream.
struct NowPlayingInfo {
    bool isLiveStream = false;
    std::string title;
    std::string artist;
    bool operator==(const NowPlayingInfo&) const = default;
};

enum class PlaybackState { Playing = 1, Paused = 2 };

// The desktop's Now Playing display.
//
// Contract: defaultCenter() is one object for the whole run; main loop only;
// publishing cannot fail. Nothing is published until the first set call.
class NowPlayingInfoCenter {
public:
    virtual ~NowPlayingInfoCenter() = default;
    static NowPlayingInfoCenter& defaultCenter();
    // Replaces the whole published information.
    virtual void setNowPlayingInfo(const NowPlayingInfo& info) = 0;
    virtual void setPlaybackState(PlaybackState state) = 0;
};

enum class RemoteCommandHandlerStatus { Success = 0, CommandFailed = 200 };

// A command event; it carries nothing the application reads.
struct RemoteCommandEvent { };

using RemoteCommandHandler = std::function<RemoteCommandHandlerStatus(const RemoteCommandEvent&)>;

// One remote command (play, pause or toggle).
//
// Contract: handlers run on the main loop, in the order they were added, each
// time the desktop (media keys, a media applet) sends the command; the status
// of the last handler answers the sender.
class RemoteCommand {
public:
    virtual ~RemoteCommand() = default;
    virtual void addTargetWithHandler(RemoteCommandHandler handler) = 0;
};

// Contract: sharedCommandCenter() is one object for the whole run; the first
// call makes the application reachable by the desktop's media controls.
class RemoteCommandCenter {
public:
    virtual ~RemoteCommandCenter() = default;
    static RemoteCommandCenter& sharedCommandCenter();
    virtual RemoteCommand& playCommand() = 0;
    virtual RemoteCommand& pauseCommand() = 0;
    virtual RemoteCommand& togglePlayPauseCommand() = 0;
};

} // namespace orvo::platform
