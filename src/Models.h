// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/StreamPlayer.h"

#include <string>
#include <vector>

namespace orvo {

// One live radio channel of the broadcaster. A value: copied, never shared.
// Channels are told apart by id alone, compared as whole strings.
struct OrvoChannel {
    enum class ChannelCategory { national, regional, thematic };

    std::string id; // ASCII lower-case letters and digits; the stream path and the stored hotkey value
    std::string name; // shown in the menu, the tray title and the media controls
    ChannelCategory category;

    // "https://" + streaming host + "/liveradio/" + id + "/playlist.m3u8".
    platform::Url streamURL() const;

    // The built-in catalogue: 13 channels; a channel's position is its index in menu tags.
    static const std::vector<OrvoChannel> allChannels;
    // The channels the first three hotkey slots get on a first run, in slot order.
    static const std::vector<std::string> defaultHotkeyChannelIds;
};

using ChannelCategory = OrvoChannel::ChannelCategory;

} // namespace orvo
