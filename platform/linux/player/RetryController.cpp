// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/RetryController.h"

#include "platform/linux/core/GLibPtr.h"

#include <algorithm>
#include <utility>

namespace orvo::platform::native {

namespace {

class MainLoopTimer final : public Timer {
public:
    void start(std::chrono::milliseconds delay, bool repeat, std::function<void()> fire) override
    {
        source_.reset();
        fire_ = std::move(fire);
        repeat_ = repeat;
        source_ = glib::SourceHandle(g_timeout_add(static_cast<guint>(delay.count()), &MainLoopTimer::onFire, this));
    }
    void stop() override { source_.reset(); }
    bool active() const override { return static_cast<bool>(source_); }

private:
    static gboolean onFire(gpointer data)
    {
        auto* self = static_cast<MainLoopTimer*>(data);
        if (!self->repeat_) {
            self->source_.forget();
        }
        // Copy: the callback may restart or destroy this timer's owner state.
        const bool repeat = self->repeat_;
        auto fire = self->fire_;
        fire();
        return repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }

    glib::SourceHandle source_;
    std::function<void()> fire_;
    bool repeat_ = false;
};

} // namespace

std::unique_ptr<Timer> makeMainLoopTimer()
{
    return std::make_unique<MainLoopTimer>();
}

std::chrono::milliseconds RetryController::delayFor(int attempt)
{
    constexpr std::chrono::milliseconds first { 500 };
    constexpr std::chrono::milliseconds cap { 30000 };
    const int doublings = std::clamp(attempt, 0, 16);
    return std::min<std::chrono::milliseconds>(cap, first * (std::int64_t { 1 } << doublings));
}

RetryController::RetryController(const TimerFactory& timers, Callbacks callbacks)
    : callbacks_(std::move(callbacks))
    , retryTimer_(timers())
    , watchdogTimer_(timers())
{
}

void RetryController::setWanted(bool wanted)
{
    if (!wanted) {
        enter(State::Stopped);
        retryTimer_->stop();
        watchdogTimer_->stop();
        return;
    }
    if (state_ != State::Stopped && state_ != State::GaveUp) {
        return;
    }
    enter(State::Starting);
    attempts_ = 0;
    stalledChecks_ = 0;
    lastPosition_.reset();
    watchdogTimer_->start(watchdogPeriod, true, [this] { watchdog(); });
}

void RetryController::failed(Failure failure)
{
    if (state_ == State::Stopped || state_ == State::GaveUp) {
        return;
    }
    // A failure found permanent while a retry waits (a slower diagnosis)
    // still cancels the retry; a second transient one changes nothing.
    if (state_ == State::Waiting && failure == Failure::Transient) {
        return;
    }
    retryTimer_->stop();
    watchdogTimer_->stop();
    callbacks_.halt();
    if (failure == Failure::Permanent) {
        enter(State::GaveUp);
        return;
    }
    enter(State::Waiting);
    retryTimer_->start(delayFor(attempts_), false, [this] { retryNow(); });
}

void RetryController::retryNow()
{
    if (state_ != State::Waiting) {
        return;
    }
    retryTimer_->stop();
    ++attempts_;
    enter(State::Starting);
    stalledChecks_ = 0;
    lastPosition_.reset();
    watchdogTimer_->start(watchdogPeriod, true, [this] { watchdog(); });
    callbacks_.restart();
}

void RetryController::soundFlows()
{
    if (state_ == State::Starting || state_ == State::Playing) {
        enter(State::Playing);
        attempts_ = 0;
    }
}

void RetryController::watchdog()
{
    const auto position = callbacks_.position();
    const bool advanced = position && lastPosition_ && *position > *lastPosition_;
    if (position) {
        lastPosition_ = position;
    }
    if (advanced) {
        stalledChecks_ = 0;
        soundFlows();
        return;
    }
    ++stalledChecks_;
    const int limit = state_ == State::Playing ? stallChecksPlaying : stallChecksStarting;
    if (stalledChecks_ >= limit) {
        failed(Failure::Transient);
    }
}

void RetryController::enter(State state)
{
    if (std::exchange(state_, state) != state && callbacks_.changed) {
        callbacks_.changed();
    }
}

} // namespace orvo::platform::native
