// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What playback has to tell the user beside the tray item's title: that the
// stream is connecting, being tried again, or cannot be played, and why. It
// goes from the stream player to the status item without the units (which
// keep a chosen channel chosen whatever the network does). Main loop only.

#include <functional>
#include <string>

namespace orvo::platform::native {

class PlaybackNotice {
public:
    static PlaybackNotice& instance();

    // The notice of the stream player `owner`, "" while it plays or is
    // paused. The last player to speak holds the notice.
    void set(const void* owner, const std::string& text);
    // A player going away takes its notice with it.
    void release(const void* owner);
    const std::string& text() const { return text_; }
    // Called after every change of text() (the status item's one listener).
    void onChange(std::function<void()> listener) { listener_ = std::move(listener); }

private:
    const void* owner_ = nullptr;
    std::string text_;
    std::function<void()> listener_;
};

} // namespace orvo::platform::native
