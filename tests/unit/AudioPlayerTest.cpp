// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/AudioPlayer.h"
#include "tests/unit/Fixture.h"

#include <cmath>

namespace orvo {
namespace {

using platform::PlaybackState;
using platform::RemoteCommandHandlerStatus;
namespace fake = platform::fake;
using test::channel;

class AudioPlayerTest : public test::UnitTest {
protected:
    void SetUp() override
    {
        UnitTest::SetUp();
        player = AudioPlayer::create();
        player->onStateChange = [this] {
            ++callbacks;
            fake::record(std::string("callback playing=") + (player->isPlaying() ? "1" : "0")
                + " current=" + (player->currentChannel() ? player->currentChannel()->id : "-"));
        };
        fake::clearEvents();
    }

    std::shared_ptr<AudioPlayer> player;
    int callbacks = 0;
};

TEST_F(AudioPlayerTest, PlayPausesOldStreamPublishesNotifiesThenStartsNewOne)
{
    player->play(channel("vessa180a"));
    fake::clearEvents();
    player->play(channel("kelmora80a"));

    const std::string url = channel("kelmora80a").streamURL().string();
    const std::vector<std::string> expected = {
        "player1.pause",
        "nowPlaying.info Kelmora",
        "nowPlaying.state 1",
        "callback playing=0 current=kelmora80a",
        "playerItem.create " + url,
        "player2.create " + url,
        "player1.release",
        "player2.play",
    };
    EXPECT_EQ(fake::events(), expected);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(callbacks, 2);
    EXPECT_EQ(fake::nowPlayingInfo(), (platform::NowPlayingInfo { true, "Kelmora", "Orvo" }));
}

TEST_F(AudioPlayerTest, FirstPlayLeavesTheIdleStateWithOneCallback)
{
    EXPECT_FALSE(player->currentChannel());
    EXPECT_FALSE(player->isPlaying());
    player->play(channel("vessa280a"));
    EXPECT_EQ(player->currentChannel()->id, "vessa280a");
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Playing);
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(fake::events()[2], "callback playing=0 current=vessa280a");
}

TEST_F(AudioPlayerTest, PauseAndResumeKeepTheSameStreamPlayerAndInformation)
{
    player->play(channel("vessa180a"));
    const auto* stream = player->streamPlayer();
    const auto item = stream->currentItem();
    fake::clearEvents();

    player->pause();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Paused);
    player->resume();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Playing);

    EXPECT_EQ(player->streamPlayer(), stream);
    EXPECT_EQ(player->streamPlayer()->currentItem(), item);
    EXPECT_EQ(fake::countEvents("nowPlaying.info"), 0);
    EXPECT_EQ(fake::countEvents("player1."), 2);
    EXPECT_EQ(player->currentChannel()->id, "vessa180a");
    EXPECT_EQ(callbacks, 3);
}

TEST_F(AudioPlayerTest, PlayingTheCurrentChannelAgainMakesANewStreamPlayer)
{
    player->play(channel("vessa180a"));
    player->pause();
    player->play(channel("vessa180a"));
    ASSERT_EQ(fake::players().size(), 2u);
    EXPECT_FALSE(fake::players()[0]->alive);
    EXPECT_TRUE(player->isPlaying());
}

TEST_F(AudioPlayerTest, PauseBeforeAnyChannelPublishesPausedAndNotifies)
{
    player->pause();
    EXPECT_TRUE(fake::players().empty());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Paused);
    EXPECT_FALSE(fake::nowPlayingInfo());
    EXPECT_EQ(callbacks, 1);
    EXPECT_FALSE(player->currentChannel());
}

TEST_F(AudioPlayerTest, UpdateNowPlayingWithoutChannelTouchesNothing)
{
    player->updateNowPlaying();
    EXPECT_TRUE(fake::events().empty());
}

TEST_F(AudioPlayerTest, IsPlayingFollowsTheRequestedRate)
{
    for (float rate : { 1.0f, 0.5f, 0.0f, -1.0f, std::nanf("") }) {
        fake::setPlayingRate(rate);
        player->play(channel("vessa180a"));
        EXPECT_EQ(player->isPlaying(), rate > 0) << rate;
    }
}

TEST_F(AudioPlayerTest, RemoteCommandsFollowTheHandlerTable)
{
    using Command = fake::Command;
    EXPECT_EQ(fake::remoteHandlerCount(Command::Play), 1);

    // Before any channel: play fails and changes nothing; toggle does nothing.
    EXPECT_EQ(fake::sendRemoteCommand(Command::Play), RemoteCommandHandlerStatus::CommandFailed);
    EXPECT_EQ(fake::sendRemoteCommand(Command::TogglePlayPause), RemoteCommandHandlerStatus::Success);
    EXPECT_TRUE(fake::events().empty());
    EXPECT_EQ(callbacks, 0);

    player->play(channel("vessa380a"));
    const auto* first = player->streamPlayer();
    // Toggle pauses, toggles back onto the same stream player.
    EXPECT_EQ(fake::sendRemoteCommand(Command::TogglePlayPause), RemoteCommandHandlerStatus::Success);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(fake::sendRemoteCommand(Command::TogglePlayPause), RemoteCommandHandlerStatus::Success);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(player->streamPlayer(), first);
    EXPECT_EQ(fake::nowPlayingInfo()->title, "Vessa 3");

    // Pause, then play restarts with a new stream player and republishes.
    EXPECT_EQ(fake::sendRemoteCommand(Command::Pause), RemoteCommandHandlerStatus::Success);
    EXPECT_EQ(fake::playbackState(), PlaybackState::Paused);
    fake::clearEvents();
    EXPECT_EQ(fake::sendRemoteCommand(Command::Play), RemoteCommandHandlerStatus::Success);
    EXPECT_EQ(fake::players().size(), 2u);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::countEvents("nowPlaying.info Vessa 3"), 1);
    EXPECT_EQ(fake::playbackState(), PlaybackState::Playing);
}

TEST_F(AudioPlayerTest, PauseCommandBeforeAnyChannelSucceedsAndNotifies)
{
    EXPECT_EQ(fake::sendRemoteCommand(fake::Command::Pause), RemoteCommandHandlerStatus::Success);
    EXPECT_EQ(fake::playbackState(), PlaybackState::Paused);
    EXPECT_EQ(callbacks, 1);
}

TEST_F(AudioPlayerTest, HandlersDoNotKeepAReleasedPlayerAlive)
{
    std::weak_ptr<AudioPlayer> weak = player;
    player.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(fake::sendRemoteCommand(fake::Command::Play), RemoteCommandHandlerStatus::CommandFailed);
    EXPECT_EQ(fake::sendRemoteCommand(fake::Command::Pause), RemoteCommandHandlerStatus::Success);
    EXPECT_EQ(fake::sendRemoteCommand(fake::Command::TogglePlayPause), RemoteCommandHandlerStatus::Success);
    EXPECT_FALSE(fake::playbackState());
}

} // namespace
} // namespace orvo
