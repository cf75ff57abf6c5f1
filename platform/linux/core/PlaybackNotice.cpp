// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/core/PlaybackNotice.h"

namespace orvo::platform::native {

PlaybackNotice& PlaybackNotice::instance()
{
    static PlaybackNotice notice;
    return notice;
}

void PlaybackNotice::set(const void* owner, const std::string& text)
{
    owner_ = owner;
    if (text != text_) {
        text_ = text;
        if (listener_) {
            listener_();
        }
    }
}

void PlaybackNotice::release(const void* owner)
{
    if (owner == owner_) {
        set(nullptr, "");
    }
}

} // namespace orvo::platform::native
