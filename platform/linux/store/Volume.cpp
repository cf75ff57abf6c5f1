// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/store/Volume.h"

#include "platform/UserDefaults.h"

#include <algorithm>
#include <cmath>

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
    UserDefaults::standardUserDefaults().setObject(Value::number(level), key);
    // A listener may remove itself (a player released in its callback).
    const auto listeners = listeners_;
    for (const auto& [id, listener] : listeners) {
        listener();
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
