// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/store/Volume.h"

#include "platform/UserDefaults.h"
#include "platform/linux/core/Quitting.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvo::platform::native {

namespace {
constexpr const char* key = "volume";
constexpr double stepSize = 0.05;
} // namespace

Volume& Volume::instance()
{
    static Volume volume;
    return volume;
}

Volume::Volume()
{
    whenQuitting([] { instance().save(); });
}

double Volume::level()
{
    if (level_ < 0) {
        const auto stored = UserDefaults::standardUserDefaults().objectForKey(key);
        const bool usable
            = stored && stored->kind() == Value::Kind::Number && stored->asNumber() >= 0 && stored->asNumber() <= 1;
        level_ = usable ? stored->asNumber() : 1.0;
    }
    return level_;
}

void Volume::set(double level)
{
    if (std::isnan(level)) {
        return;
    }
    level = std::clamp(level, 0.0, 1.0);
    if (level == this->level()) {
        return;
    }
    level_ = level;
    // Each write of the settings reaches the disk: one for a run of changes.
    unsaved_ = true;
    if (saveSource_ == 0) {
        saveSource_ = g_timeout_add_seconds(
            1,
            [](gpointer) {
                instance().saveSource_ = 0;
                instance().save();
                return G_SOURCE_REMOVE;
            },
            nullptr);
    }
    // A listener may remove itself (a player released in its callback).
    const auto listeners = listeners_;
    for (const auto& [id, listener] : listeners) {
        listener();
    }
}

void Volume::save()
{
    if (saveSource_ != 0) {
        g_source_remove(std::exchange(saveSource_, 0));
    }
    if (std::exchange(unsaved_, false)) {
        UserDefaults::standardUserDefaults().setObject(Value::number(level_), key);
    }
}

void Volume::step(long long steps)
{
    // Rounded to whole steps, so that up and down again lands where it began.
    const double current = std::round(level() / stepSize);
    set((current + static_cast<double>(std::clamp(steps, -20LL, 20LL))) * stepSize);
}

int Volume::onChange(std::function<void()> listener)
{
    listeners_.emplace(++next_, std::move(listener));
    return next_;
}

void Volume::remove(int listener)
{
    listeners_.erase(listener);
}

} // namespace orvo::platform::native
