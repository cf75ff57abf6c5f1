// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Object.h"

#include <memory>

namespace orvo::platform {

// The software-update controller.
//
// Contract: main loop only. create() with startingUpdater true starts the
// updater at once (automatic checks follow the user's settings). As an Object
// it answers the menu action "checkForUpdates:", a check the user asked for,
// whose result is told to the user; a second check while one runs is ignored.
class UpdaterController : public Object {
public:
    static std::shared_ptr<UpdaterController> create(bool startingUpdater);
};

} // namespace orvo::platform
