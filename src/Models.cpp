// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/Models.h"

#include "platform/BuildConfig.h"

namespace orvo {

platform::Url OrvoChannel::streamURL() const
{
    // Catalogue ids are lower-case letters and digits, and the build takes
    // only a host[:port] (cmake/StreamHost.cmake), so the address always parses.
    return platform::Url::parse(std::string("https://") + build::streamHost + "/liveradio/" + id + "/playlist.m3u8")
        .value();
}

const std::vector<OrvoChannel> OrvoChannel::allChannels = {
    { "vessa180a", "Vessa 1", ChannelCategory::national },
    { "vessa280a", "Vessa 2", ChannelCategory::national },
    { "vessa380a", "Vessa 3", ChannelCategory::national },
    { "vessa1orvel80a", "Vessa 1 Orvel", ChannelCategory::regional },
    { "vessa1quillo80a", "Vessa 1 Quillo", ChannelCategory::regional },
    { "vessa3quillo80a", "Vessa 3 Quillo", ChannelCategory::regional },
    { "zendotarv80a", "Zendo Tarvik", ChannelCategory::regional },
    { "zendomosi80a", "Zendo Mosi", ChannelCategory::regional },
    { "vessa1brio80a", "Vessa 1 Brio", ChannelCategory::thematic },
    { "kelmora80a", "Kelmora", ChannelCategory::thematic },
    { "vessa2tovin80a", "Vessa 2 Tovin'", ChannelCategory::thematic },
    { "vessa2arvo80a", "Vessa 2 Arvo", ChannelCategory::thematic },
    { "tiknuk80a", "Tik Nuk", ChannelCategory::thematic },
};

const std::vector<std::string> OrvoChannel::defaultHotkeyChannelIds = { "vessa180a", "vessa280a", "vessa380a" };

} // namespace orvo
