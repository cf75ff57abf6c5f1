// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/fake/FakePlatform.h"
#include "src/HotkeyManager.h"
#include "src/Models.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace orvo::test {

// Every unit test starts from a fresh fake platform and no hotkey manager.
class UnitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::fake::reset();
        hotkeyManagerInstance.reset();
    }
    void TearDown() override { hotkeyManagerInstance.reset(); }
};

inline const OrvoChannel& channel(const std::string& id)
{
    for (const auto& c : OrvoChannel::allChannels) {
        if (c.id == id) {
            return c;
        }
    }
    throw std::runtime_error("no channel " + id);
}

} // namespace orvo::test
