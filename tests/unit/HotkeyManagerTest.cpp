// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/HotkeyManager.h"
#include "tests/unit/Fixture.h"

namespace orvo {
namespace {

namespace fake = platform::fake;
using platform::Value;
using Strings = std::vector<std::string>;

constexpr const char* key = "hotkeyChannels";

// Stores value under the key, or removes the key for nullopt.
void store(const std::optional<Value>& value)
{
    fake::defaults().clear();
    if (value) {
        fake::defaults()[key] = *value;
    }
}

class HotkeySlots : public test::UnitTest {
protected:
    void SetUp() override
    {
        UnitTest::SetUp();
        manager = HotkeyManager::create();
        fake::clearEvents();
    }
    std::shared_ptr<HotkeyManager> manager;
};

TEST_F(HotkeySlots, ReadsPadToFiveAndNeverWrite)
{
    const auto none = std::nullopt;
    const std::vector<std::pair<std::optional<Value>, std::vector<std::optional<std::string>>>> rows = {
        { none, { none, none, none, none, none } },
        { Value::stringArray({ "vessa180a" }), { "vessa180a", none, none, none, none } },
        // One foreign element voids the whole list.
        { Value::array({ Value::string("vessa180a"), Value::number(2) }), { none, none, none, none, none } },
        { Value::string("vessa180a"), { none, none, none, none, none } },
        { Value::stringArray({ "", "kelmora80a", "", "", "", "x", "y" }),
            { none, "kelmora80a", none, none, none, "x", "y" } },
    };
    for (const auto& [value, expected] : rows) {
        store(value);
        for (int slot = 0; slot < static_cast<int>(expected.size()); ++slot) {
            EXPECT_EQ(manager->channelId(slot), expected[slot]) << "slot " << slot;
        }
        EXPECT_EQ(manager->channelId(static_cast<int>(expected.size())), std::nullopt);
        EXPECT_EQ(manager->channelId(-1), std::nullopt);
        EXPECT_EQ(manager->slot("vessa380a"), std::nullopt);
    }
    EXPECT_TRUE(fake::defaultsWrites().empty());
}

// Every change writes the whole list, longer ones included; a slot outside the
// list writes nothing.
TEST_F(HotkeySlots, SetChannelWritesTheWholeList)
{
    struct Row {
        std::optional<Value> before;
        std::optional<std::string> id;
        int slot;
        std::optional<Value> after; // nullopt: nothing written
    };
    const Row rows[] = {
        { std::nullopt, "vessa280a", 3, Value::stringArray({ "", "", "", "vessa280a", "" }) },
        { Value::stringArray({ "", "", "", "vessa280a", "" }), "vessa280a", 3,
            Value::stringArray({ "", "", "", "vessa280a", "" }) },
        { Value::stringArray({ "", "", "", "vessa280a", "" }), std::nullopt, 3, Value::stringArray(Strings(5, "")) },
        { Value::stringArray({ "a", "b", "c", "d", "e", "f", "g" }), "kelmora80a", 1,
            Value::stringArray({ "a", "kelmora80a", "c", "d", "e", "f", "g" }) },
        { std::nullopt, "kelmora80a", 5, std::nullopt },
        { std::nullopt, "kelmora80a", -1, std::nullopt },
    };
    for (const auto& row : rows) {
        store(row.before);
        const auto writes = fake::defaultsWrites().size();
        manager->setChannel(row.id, row.slot);
        EXPECT_EQ(fake::defaultsWrites().size(), writes + (row.after ? 1 : 0)) << row.slot;
        if (row.after) {
            EXPECT_EQ(fake::defaults().at(key), *row.after);
        }
    }
}

TEST_F(HotkeySlots, DefaultsApplyOnlyWhenEverySlotIsEmpty)
{
    const Strings national = { "vessa180a", "vessa280a", "vessa380a" };
    struct Row {
        std::optional<Value> before;
        Strings defaults;
        Value after;
    };
    const Row rows[] = {
        { std::nullopt, national, Value::stringArray({ "vessa180a", "vessa280a", "vessa380a", "", "" }) },
        { Value::stringArray({ "", "", "", "", "kelmora80a" }), national,
            Value::stringArray({ "", "", "", "", "kelmora80a" }) },
        { Value::stringArray(Strings(7, "")), national,
            Value::stringArray({ "vessa180a", "vessa280a", "vessa380a", "", "", "", "" }) },
        // A damaged value reads as empty slots, so the defaults replace it.
        { Value::array({ Value::number(1) }), national,
            Value::stringArray({ "vessa180a", "vessa280a", "vessa380a", "", "" }) },
        { std::nullopt, { "a", "b", "c", "d", "e", "f", "g" }, Value::stringArray({ "a", "b", "c", "d", "e" }) },
    };
    for (const auto& row : rows) {
        store(row.before);
        manager->setDefaults(row.defaults);
        EXPECT_EQ(fake::defaults().at(key), row.after);
    }
}

// ---- Registration and dispatch.

class HotkeyDispatch : public test::UnitTest { };

TEST_F(HotkeyDispatch, ConstructionInstallsOneHandlerThenRegistersFiveAltDigits)
{
    auto manager = HotkeyManager::create();
    EXPECT_EQ(hotkeyManagerInstance, manager);
    EXPECT_EQ(fake::installedEventHandlerCount(), 1);
    const auto& registrations = fake::hotKeyRegistrations();
    ASSERT_EQ(registrations.size(), 5u);
    // The number row's virtual key codes: the 5 key is 23 (22 is the 6 key).
    const platform::UInt32 codes[] = { 18, 19, 20, 21, 23 };
    for (platform::UInt32 i = 0; i < 5; ++i) {
        EXPECT_EQ(registrations[i].keyCode, codes[i]);
        EXPECT_EQ(registrations[i].modifiers, platform::optionKey);
        EXPECT_EQ(registrations[i].id.signature, platform::fourCharCode("ORVM"));
        EXPECT_EQ(registrations[i].id.id, i);
        EXPECT_NE(manager->hotKeyRefs()[i], nullptr);
    }
}

TEST_F(HotkeyDispatch, AFailedRegistrationLeavesTheOthersWorking)
{
    fake::failHotKeyRegistration(20);
    auto manager = HotkeyManager::create();
    std::vector<int> slots;
    manager->onHotkeyPressed = [&](int slot) { slots.push_back(slot); };
    EXPECT_EQ(manager->hotKeyRefs()[2], nullptr);
    for (platform::UInt32 code : { 18u, 19u, 20u, 21u, 23u }) {
        fake::pressHotKey(code, platform::optionKey);
    }
    EXPECT_EQ(slots, (std::vector<int> { 0, 1, 3, 4 }));
}

TEST_F(HotkeyDispatch, HandlerStatuses)
{
    auto manager = HotkeyManager::create();
    int calls = 0;

    // A null event is not handled.
    EXPECT_EQ(hotkeyEventHandler(nullptr, nullptr, nullptr), platform::eventNotHandledErr);

    // Without a callback the press is consumed.
    platform::EventHotKeyID id { platform::fourCharCode("ORVM"), 2 };
    platform::EventRef event = platform::CreateEvent(platform::kEventClassKeyboard, platform::kEventHotKeyPressed);
    platform::SetEventParameter(event, platform::kEventParamDirectObject, platform::typeEventHotKeyID, sizeof id, &id);
    EXPECT_EQ(hotkeyEventHandler(nullptr, event, nullptr), platform::noErr);

    manager->onHotkeyPressed = [&](int slot) {
        ++calls;
        EXPECT_EQ(slot, 2);
    };
    EXPECT_EQ(hotkeyEventHandler(nullptr, event, nullptr), platform::noErr);
    EXPECT_EQ(calls, 1);

    // An event without a hot-key identity, or one of another type, returns the
    // parameter read's status and calls nothing.
    platform::EventRef bare = platform::CreateEvent(platform::kEventClassKeyboard, platform::kEventHotKeyPressed);
    EXPECT_EQ(hotkeyEventHandler(nullptr, bare, nullptr), platform::eventParameterNotFoundErr);
    platform::SetEventParameter(bare, platform::kEventParamDirectObject, platform::fourCharCode("long"), 4, &calls);
    EXPECT_EQ(hotkeyEventHandler(nullptr, bare, nullptr), platform::eventParameterNotFoundErr);
    EXPECT_EQ(calls, 1);

    // With no manager the press is consumed.
    hotkeyManagerInstance.reset();
    EXPECT_EQ(hotkeyEventHandler(nullptr, event, nullptr), platform::noErr);
    EXPECT_EQ(calls, 1);

    platform::ReleaseEvent(event);
    platform::ReleaseEvent(bare);
}

} // namespace
} // namespace orvo
