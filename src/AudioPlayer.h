// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/StreamPlayer.h"
#include "src/Models.h"

#include <functional>
#include <memory>
#include <optional>

namespace orvo {

// Plays one channel's live stream at a time and keeps the desktop's media
// controls in step. States: Idle (no channel yet), Playing(c), Paused(c); there
// is no way back to Idle. Main loop only.
class AudioPlayer {
public:
    // Constructs the player and registers the play, pause and toggle remote
    // commands at once; the handlers hold the player weakly.
    static std::shared_ptr<AudioPlayer> create();

    // Starts the channel from scratch with a new stream player, also when it is
    // already the current one.
    void play(OrvoChannel channel);
    void pause();
    void resume();

    // True when a stream player exists and its requested rate is above 0.
    bool isPlaying() const;
    const std::optional<OrvoChannel>& currentChannel() const { return currentChannel_; }

    // Called after every change of channel or of playing/paused state.
    std::function<void()> onStateChange;

    // Publishes the current channel to the media controls as playing.
    void updateNowPlaying();

    // The stream player of the current channel, if any (for tests and the
    // remote commands).
    const platform::Player* streamPlayer() const { return player_.get(); }

private:
    AudioPlayer() = default;
    void setupRemoteCommands(const std::weak_ptr<AudioPlayer>& self);
    void notifyStateChange();

    std::unique_ptr<platform::Player> player_;
    std::optional<OrvoChannel> currentChannel_;
};

} // namespace orvo
