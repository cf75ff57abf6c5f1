// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// When and how a stream player tries again. Free of GStreamer and of real
// time: the player feeds it what happened, and it asks the player to restart
// through a callback after a delay measured by an injected timer, so tests can
// drive every path without a network or a clock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvo::platform::native {

// One-shot or repeating timer on the main loop. start() replaces any pending
// run; stop() cancels it. The callback never runs after stop() or destruction.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void start(std::chrono::milliseconds delay, bool repeat, std::function<void()> fire) = 0;
    virtual void stop() = 0;
    virtual bool active() const = 0;
};

using TimerFactory = std::function<std::unique_ptr<Timer>()>;

// A timer on the GLib default main context.
std::unique_ptr<Timer> makeMainLoopTimer();

// How a failure of the stream should be met.
enum class Failure {
    Transient, // network trouble, server errors, broken data: try again later
    Permanent, // missing or forbidden stream, untrusted certificate: give up
};

// Why a stream failed, in the few words the user is told.
enum class Reason { Network, Status, Certificate, Insecure, Unreadable, Decoder, Ended };

struct Trouble {
    Failure failure = Failure::Transient;
    Reason reason = Reason::Network;
    unsigned status = 0; // the HTTP status, for Reason::Status
    std::string detail; // for the log
};

class RetryController {
public:
    enum class State {
        Stopped, // not asked to play
        Starting, // asked to play, no sound yet
        Playing, // sound has flowed since the last (re)start
        Waiting, // a retry is scheduled
        GaveUp, // a permanent failure; only a new play request tries again
    };

    struct Callbacks {
        // Tear down and start the stream afresh (at the live edge).
        std::function<void()> restart;
        // Stop the stream now (a failure was seen; wait for the retry).
        std::function<void()> halt;
        // Playback position in nanoseconds, if the stream knows one.
        std::function<std::optional<std::int64_t>()> position;
        // state() changed (optional).
        std::function<void()> changed;
    };

    // Delay before retry number `attempt` (0-based): 0.5 s, then doubling, at most 30 s.
    static std::chrono::milliseconds delayFor(int attempt);
    // How often progress is checked while asked to play.
    static constexpr std::chrono::milliseconds watchdogPeriod { 1000 };
    // Checks without progress before a stall counts as a failure: longer
    // before the first sound, since connecting may be slow.
    static constexpr int stallChecksPlaying = 6;
    static constexpr int stallChecksStarting = 12;

    RetryController(const TimerFactory& timers, Callbacks callbacks);

    // The user asked to play (true) or paused / released the player (false).
    void setWanted(bool wanted);
    // The stream failed; the player already stopped listening to it.
    void failed(Failure failure);
    // Sound flows again: the next failure starts the delays from the beginning.
    void soundFlows();
    // The network came back or the machine woke up: retry now if waiting.
    void retryNow();

    State state() const { return state_; }
    int attempts() const { return attempts_; }

private:
    void watchdog();
    void enter(State state);

    Callbacks callbacks_;
    std::unique_ptr<Timer> retryTimer_;
    std::unique_ptr<Timer> watchdogTimer_;
    State state_ = State::Stopped;
    int attempts_ = 0;
    int stalledChecks_ = 0;
    std::optional<std::int64_t> lastPosition_;
};

} // namespace orvo::platform::native
