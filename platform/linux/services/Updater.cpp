// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder until update checks land.
#include "platform/Updater.h"

namespace orvo::platform {
namespace {
class IdleUpdater final : public UpdaterController {
public:
    bool respondsToSelector(const Selector& selector) const override { return selector == "checkForUpdates:"; }
    void performSelector(const Selector&, MenuItem*) override {}
};
} // namespace

std::shared_ptr<UpdaterController> UpdaterController::create(bool)
{
    return std::make_shared<IdleUpdater>();
}

} // namespace orvo::platform
