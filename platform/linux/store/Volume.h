// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The playback volume, from silent (0) to full (1): one for the process, set
// by the tray's scroll wheel and the media controls, heard by every stream
// player, and kept with the settings under "volume" (missing, damaged or out
// of range, it reads as full volume). Main loop only.

#include <functional>
#include <map>

namespace orvo::platform::native {

class Volume {
public:
    static Volume& instance();

    double level();
    // Clamped to 0…1; anything but a number is ignored. The listeners are
    // told at once when the level changes; it is stored at most once a second
    // (a wheel or a slider sends many changes in a row), and at quit.
    void set(double level);
    // Steps of a twentieth, up (positive) or down.
    void step(long long steps);

    int onChange(std::function<void()> listener);
    void remove(int listener);

    // Stores a level not stored yet, now.
    void save();

private:
    Volume();

    double level_ = -1; // read from the settings on first use
    bool unsaved_ = false;
    unsigned saveSource_ = 0;
    std::map<int, std::function<void()>> listeners_;
    int next_ = 0;
};

} // namespace orvo::platform::native
