// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Ownership of GStreamer's reference-counted values, in the style of
// GLibPtr.h: GstObjects (elements, pads, buses) are GObjects and use GRef;
// mini objects get deleters here.

#include "platform/linux/core/GLibPtr.h"

#include <gst/gst.h>

namespace orvo::platform::glib {

template <> struct Deleter<GstCaps> {
    void operator()(GstCaps* caps) const
    {
        if (caps)
            gst_caps_unref(caps);
    }
};

} // namespace orvo::platform::glib
