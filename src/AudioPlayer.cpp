// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/AudioPlayer.h"

#include "platform/NowPlaying.h"

namespace orvo {

using platform::RemoteCommandHandlerStatus;

std::shared_ptr<AudioPlayer> AudioPlayer::create()
{
    std::shared_ptr<AudioPlayer> player(new AudioPlayer());
    player->setupRemoteCommands(player);
    return player;
}

void AudioPlayer::play(OrvoChannel channel)
{
    // The old stream falls silent before anything else happens, so two
    // streams are never heard together.
    if (player_) {
        player_->pause();
    }
    currentChannel_ = std::move(channel);
    updateNowPlaying();
    // The listener sees the new channel with the old, paused stream player.
    notifyStateChange();
    auto item = platform::PlayerItem::create(currentChannel_->streamURL());
    player_ = platform::Player::create(std::move(item));
    player_->play();
}

void AudioPlayer::pause()
{
    if (player_) {
        player_->pause();
    }
    platform::NowPlayingInfoCenter::defaultCenter().setPlaybackState(platform::PlaybackState::Paused);
    notifyStateChange();
}

void AudioPlayer::resume()
{
    if (player_) {
        player_->play();
    }
    platform::NowPlayingInfoCenter::defaultCenter().setPlaybackState(platform::PlaybackState::Playing);
    notifyStateChange();
}

bool AudioPlayer::isPlaying() const
{
    // A NaN rate compares false, so it counts as not playing.
    return player_ && player_->rate() > 0;
}

void AudioPlayer::updateNowPlaying()
{
    if (!currentChannel_) {
        return;
    }
    auto& center = platform::NowPlayingInfoCenter::defaultCenter();
    center.setNowPlayingInfo({ .isLiveStream = true, .title = currentChannel_->name, .artist = "Orvo" });
    center.setPlaybackState(platform::PlaybackState::Playing);
}

void AudioPlayer::notifyStateChange()
{
    // A copy, so a listener that replaces the callback does not destroy the
    // function that is running.
    if (auto callback = onStateChange) {
        callback();
    }
}

void AudioPlayer::setupRemoteCommands(const std::weak_ptr<AudioPlayer>& self)
{
    auto& commands = platform::RemoteCommandCenter::sharedCommandCenter();

    commands.playCommand().addTargetWithHandler([self](const platform::RemoteCommandEvent&) {
        auto player = self.lock();
        if (!player || !player->currentChannel_) {
            return RemoteCommandHandlerStatus::CommandFailed;
        }
        // Restart from scratch: a live stream resumed after a long pause would
        // be far behind.
        player->play(*player->currentChannel_);
        return RemoteCommandHandlerStatus::Success;
    });

    commands.pauseCommand().addTargetWithHandler([self](const platform::RemoteCommandEvent&) {
        if (auto player = self.lock()) {
            player->pause();
        }
        return RemoteCommandHandlerStatus::Success;
    });

    commands.togglePlayPauseCommand().addTargetWithHandler([self](const platform::RemoteCommandEvent&) {
        auto player = self.lock();
        if (!player) {
            return RemoteCommandHandlerStatus::Success;
        }
        if (player->isPlaying()) {
            player->pause();
        } else if (player->player_) {
            player->resume();
        }
        return RemoteCommandHandlerStatus::Success;
    });
}

} // namespace orvo
