// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace orvo::platform {

// An absolute address. Only https addresses with a host are accepted.
class Url {
public:
    static std::optional<Url> parse(const std::string& text);
    const std::string& string() const { return text_; }
    bool operator==(const Url& other) const { return text_ == other.text_; }

private:
    explicit Url(std::string text)
        : text_(std::move(text))
    {
    }
    std::string text_;
};

// A playable live stream (an HTTP Live Streaming playlist), not yet playing.
//
// Contract: creating one never fails and starts no network activity.
class PlayerItem {
public:
    virtual ~PlayerItem() = default;
    static std::shared_ptr<PlayerItem> create(const Url& url); // initWithURL:
    virtual const Url& url() const = 0;
};

// Plays one item. One stream player holds one pipeline, released with it.
//
// Contract (main loop only):
// - play() starts or continues playback; loading happens in the background.
//   From then on rate() is 1.
// - pause() silences the stream at once; from then on rate() is 0.
// - rate() is the requested rate: what the caller last asked for, whatever the
//   network does. Transient failures are retried inside the player while it is
//   asked to play; they never change rate().
// - Destroying a stream player stops its sound and any retry at once.
class Player {
public:
    virtual ~Player() = default;
    static std::unique_ptr<Player> create(std::shared_ptr<PlayerItem> item); // initWithPlayerItem:
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual float rate() const = 0;
    virtual const std::shared_ptr<PlayerItem>& currentItem() const = 0;
};

} // namespace orvo::platform
