// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/AudioPlayer.h"
#include "tests/unit/Fixture.h"

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

TEST_F(AudioPlayerTest, PauseAndResumeKeepTheStreamPlayerAndInformation)
{
    player->play(channel("vessa180a"));
    const auto* stream = player->streamPlayer();
    fake::clearEvents();

    player->pause();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Paused);
    player->resume();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(fake::playbackState(), PlaybackState::Playing);

    EXPECT_EQ(player->streamPlayer(), stream);
    EXPECT_EQ(fake::countEvents("nowPlaying.info"), 0);
    EXPECT_EQ(fake::countEvents("player1."), 2);
    EXPECT_EQ(callbacks, 3);

    // Playing the current channel again starts from scratch.
    player->play(channel("vessa180a"));
    ASSERT_EQ(fake::players().size(), 2u);
    EXPECT_FALSE(fake::players()[0]->alive);
}

// The desktop's play, pause and toggle commands in every state of the player;
// "released" is a player that is gone while its handlers stay registered.
TEST_F(AudioPlayerTest, RemoteCommands)
{
    enum class From { Idle, Playing, Paused, Released };
    using Command = fake::Command;
    constexpr auto Failed = RemoteCommandHandlerStatus::CommandFailed;
    constexpr auto Success = RemoteCommandHandlerStatus::Success;
    struct Row {
        From from;
        Command command;
        RemoteCommandHandlerStatus status;
        bool playing;
        std::size_t streamPlayers; // made in all
        std::optional<PlaybackState> published; // the last state published
        int callbacks;
    };
    const Row rows[] = {
        { From::Idle, Command::Play, Failed, false, 0, std::nullopt, 0 },
        { From::Idle, Command::Pause, Success, false, 0, PlaybackState::Paused, 1 },
        { From::Idle, Command::TogglePlayPause, Success, false, 0, std::nullopt, 0 },
        // Play restarts: a live stream resumed after a pause would lag behind.
        { From::Playing, Command::Play, Success, true, 2, PlaybackState::Playing, 1 },
        { From::Playing, Command::Pause, Success, false, 1, PlaybackState::Paused, 1 },
        { From::Playing, Command::TogglePlayPause, Success, false, 1, PlaybackState::Paused, 1 },
        { From::Paused, Command::Play, Success, true, 2, PlaybackState::Playing, 1 },
        { From::Paused, Command::Pause, Success, false, 1, PlaybackState::Paused, 1 },
        { From::Paused, Command::TogglePlayPause, Success, true, 1, PlaybackState::Playing, 1 },
        { From::Released, Command::Play, Failed, false, 0, std::nullopt, 0 },
        { From::Released, Command::Pause, Success, false, 0, std::nullopt, 0 },
        { From::Released, Command::TogglePlayPause, Success, false, 0, std::nullopt, 0 },
    };
    for (const auto& row : rows) {
        const char* const states[] = { "idle", "playing", "paused", "released" };
        const char* const commands[] = { "play", "pause", "toggle" };
        SCOPED_TRACE(std::string(commands[int(row.command)]) + " when " + states[int(row.from)]);
        SetUp();
        if (row.from == From::Playing || row.from == From::Paused) {
            player->play(channel("vessa380a"));
            if (row.from == From::Paused) {
                player->pause();
            }
        }
        if (row.from == From::Released) {
            std::weak_ptr<AudioPlayer> weak = player;
            player.reset();
            EXPECT_TRUE(weak.expired()) << "the handlers hold the player weakly";
        }
        callbacks = 0;
        fake::clearEvents();
        EXPECT_EQ(fake::sendRemoteCommand(row.command), row.status);
        EXPECT_EQ(player && player->isPlaying(), row.playing);
        EXPECT_EQ(fake::players().size(), row.streamPlayers);
        EXPECT_EQ(fake::playbackState(), row.published);
        EXPECT_EQ(callbacks, row.callbacks);
        // A restart publishes the channel again.
        EXPECT_EQ(fake::countEvents("nowPlaying.info Vessa 3"), row.streamPlayers == 2 ? 1 : 0);
    }
}

} // namespace
} // namespace orvo
