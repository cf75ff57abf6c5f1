// SPDX-License-Identifier: GPL-3.0-or-later
// The retry logic of the stream player, driven through fake timers: every
// delay is read from what the controller asked the timer for.
#include "platform/linux/player/RetryController.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;
using orvo::platform::native::Failure;
using orvo::platform::native::RetryController;
using orvo::platform::native::Timer;
using State = RetryController::State;

namespace {

struct FakeTimer final : Timer {
    void start(std::chrono::milliseconds d, bool r, std::function<void()> f) override
    {
        delay = d;
        repeat = r;
        fire = std::move(f);
        running = true;
    }
    void stop() override { running = false; }
    bool active() const override { return running; }
    // What the main loop does when the delay has passed.
    void elapse()
    {
        ASSERT_TRUE(running) << "a stopped timer cannot fire";
        running = repeat;
        auto f = fire;
        f();
    }
    std::chrono::milliseconds delay { 0 };
    bool repeat = false;
    bool running = false;
    std::function<void()> fire;
};

class RetryControllerTest : public ::testing::Test {
protected:
    // Lets the watchdog see the stream advance by one period, `periods` times.
    void soundFor(int periods)
    {
        for (int i = 0; i < periods; ++i) {
            *position_ += 1'000'000'000;
            watchdog_->elapse();
        }
    }

    FakeTimer* retry_ = nullptr;
    FakeTimer* watchdog_ = nullptr;
    int restarts_ = 0;
    int halts_ = 0;
    std::optional<std::int64_t> position_ = 0;
    RetryController controller_ {
        [this]() -> std::unique_ptr<Timer> {
            // The controller makes its retry timer first, then its watchdog.
            auto timer = std::make_unique<FakeTimer>();
            (retry_ ? watchdog_ : retry_) = timer.get();
            return timer;
        },
        { .restart = [this] { ++restarts_; }, .halt = [this] { ++halts_; }, .position = [this] { return position_; } },
    };
};

TEST_F(RetryControllerTest, DelaysStartWithinASecondGrowToThirtySecondsAndStartAgainWhenSoundFlows)
{
    controller_.setWanted(true);
    std::vector<std::chrono::milliseconds> delays;
    for (int i = 0; i < 12; ++i) {
        controller_.failed(Failure::Transient);
        ASSERT_EQ(controller_.state(), State::Waiting);
        ASSERT_TRUE(retry_->active());
        delays.push_back(retry_->delay);
        retry_->elapse();
        EXPECT_EQ(controller_.state(), State::Starting);
    }
    EXPECT_LE(delays.front(), 1s);
    for (std::size_t i = 1; i < delays.size(); ++i) {
        EXPECT_GE(delays[i], delays[i - 1]);
        EXPECT_LE(delays[i], 30s);
        if (delays[i - 1] < 30s) {
            EXPECT_GT(delays[i], delays[i - 1]) << "delay " << i << " did not grow";
        }
    }
    EXPECT_EQ(delays.back(), 30s);
    EXPECT_EQ(restarts_, 12);
    EXPECT_EQ(halts_, 12) << "each failure stops the broken stream at once";

    soundFor(2);
    EXPECT_EQ(controller_.state(), State::Playing);
    EXPECT_EQ(controller_.attempts(), 0);
    controller_.failed(Failure::Transient);
    EXPECT_EQ(retry_->delay, delays.front());
}

TEST_F(RetryControllerTest, PermanentFailureGivesUpUntilAskedToPlayAgain)
{
    controller_.setWanted(true);
    controller_.failed(Failure::Permanent);
    EXPECT_EQ(controller_.state(), State::GaveUp);
    EXPECT_FALSE(retry_->active() || watchdog_->active()) << "no timer runs for a stream that was given up";
    EXPECT_EQ(halts_, 1);

    // Neither later failures, nor the network coming back, restart it.
    controller_.failed(Failure::Transient);
    controller_.retryNow();
    EXPECT_EQ(controller_.state(), State::GaveUp);
    EXPECT_EQ(restarts_, 0);

    controller_.setWanted(true);
    EXPECT_EQ(controller_.state(), State::Starting);
    EXPECT_TRUE(watchdog_->active());
}

TEST_F(RetryControllerTest, NetworkBackOrWakeRetriesAtOnceUnlessPaused)
{
    controller_.setWanted(true);
    for (int i = 0; i < 8; ++i) {
        controller_.failed(Failure::Transient);
        retry_->elapse();
    }
    controller_.failed(Failure::Transient);
    ASSERT_EQ(retry_->delay, 30s);

    controller_.retryNow();
    EXPECT_EQ(restarts_, 9);
    EXPECT_FALSE(retry_->active()) << "the pending long wait is dropped";
    EXPECT_EQ(controller_.state(), State::Starting);

    controller_.retryNow();
    EXPECT_EQ(restarts_, 9) << "a stream that is starting is not restarted again";

    controller_.setWanted(false);
    controller_.failed(Failure::Transient);
    controller_.retryNow();
    EXPECT_EQ(controller_.state(), State::Stopped);
    EXPECT_FALSE(retry_->active() || watchdog_->active()) << "a paused stream keeps no timer";
    EXPECT_EQ(restarts_, 9) << "a paused stream is not restarted";
}

class StallTest : public RetryControllerTest, public ::testing::WithParamInterface<bool> { };

// An unknown position (nothing decoded yet) does not count as progress either.
TEST_P(StallTest, AStreamThatStopsAdvancingCountsAsATransientFailure)
{
    const bool soundBefore = GetParam();
    controller_.setWanted(true);
    if (soundBefore) {
        soundFor(3);
    } else {
        position_ = std::nullopt;
    }
    const int checks = soundBefore ? RetryController::stallChecksPlaying : RetryController::stallChecksStarting;
    for (int i = 0; i < checks - 1; ++i) {
        watchdog_->elapse();
        ASSERT_NE(controller_.state(), State::Waiting) << "gave up waiting after " << i + 1 << " checks";
    }
    watchdog_->elapse();
    EXPECT_EQ(controller_.state(), State::Waiting);
    EXPECT_EQ(halts_, 1);
    EXPECT_FALSE(watchdog_->active());
    retry_->elapse();
    EXPECT_EQ(restarts_, 1);
    EXPECT_TRUE(watchdog_->active());
}

INSTANTIATE_TEST_SUITE_P(Stalls, StallTest, ::testing::Bool(),
    [](const auto& test) { return test.param ? "WhilePlaying" : "BeforeFirstSound"; });

} // namespace
