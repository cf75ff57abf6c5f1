// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Localization.h"
#include "platform/Application.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/Catalogue.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <array>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

namespace orvo {
namespace {

using namespace platform;

// Sets the variables gettext reads, in this order; nullptr unsets one.
void setEnvironment(const std::array<const char*, 4>& values)
{
    const char* const names[] = { "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG" };
    for (int i = 0; i < 4; ++i) {
        if (values[i]) {
            g_setenv(names[i], values[i], TRUE);
        } else {
            g_unsetenv(names[i]);
        }
    }
}

// None of these depends on the machine having generated a locale: the
// catalogue is chosen from the environment alone.
TEST(Localization, ChoosesTheCatalogueFromTheEnvironment)
{
    const struct {
        std::array<const char*, 4> environment; // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
        const char* chosen; // "" for the built-in English
        const char* quit;
    } cases[] = {
        // LANGUAGE under C.UTF-8, which glibc since 2.39 ignores.
        { { "de", "C.UTF-8", nullptr, nullptr }, "de", "Beenden" },
        // A German desktop whose locale may not be generated here.
        { { nullptr, nullptr, nullptr, "de_DE.UTF-8" }, "de", "Beenden" },
        { { nullptr, nullptr, nullptr, "de_AT.UTF-8@euro" }, "de", "Beenden" },
        // LANGUAGE is a list, best first; unknown languages are skipped.
        { { "xx:fr_CA:de", nullptr, nullptr, "nl_NL.UTF-8" }, "fr", "Quitter" },
        { { "en:de", "C.UTF-8", nullptr, nullptr }, "en", "Quit" },
        // LC_ALL before LC_MESSAGES before LANG.
        { { nullptr, nullptr, "nl_NL.UTF-8", "de_DE.UTF-8" }, "nl", "Stoppen" },
        { { nullptr, "fr_FR.UTF-8", "nl_NL.UTF-8", "de_DE.UTF-8" }, "fr", "Quitter" },
        // Plain C asks for no translation, LANGUAGE or not.
        { { "de", "C", nullptr, "de_DE.UTF-8" }, "", "Quit" },
        { { "de", nullptr, nullptr, "POSIX" }, "", "Quit" },
        { { nullptr, nullptr, nullptr, nullptr }, "", "Quit" },
        { { "xx", "C.UTF-8", nullptr, nullptr }, "", "Quit" },
    };
    for (const auto& c : cases) {
        std::string trace;
        for (const char* value : c.environment) {
            trace += std::string(value ? value : "-") + " ";
        }
        SCOPED_TRACE(trace);
        setEnvironment(c.environment);
        const auto catalogue = native::findCatalogue(build::buildLocaleDir, build::appId, native::messageLanguages());
        EXPECT_EQ(catalogue.language, c.chosen);
        const auto quit = catalogue.texts.find("quit");
        EXPECT_EQ(quit != catalogue.texts.end() ? quit->second : "Quit", c.quit);
    }
}

std::uint32_t wordAt(const std::string& data, std::size_t offset)
{
    std::uint32_t value;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

void setWord(std::string& data, std::size_t offset, std::uint32_t value)
{
    std::memcpy(data.data() + offset, &value, sizeof value);
}

class Catalogue : public ::testing::Test {
protected:
    std::map<std::string, std::string> readBack(const std::string& data) const
    {
        test::writeFile(dir.path() / "orvomenu.mo", data);
        return native::readCatalogue(dir.path() / "orvomenu.mo");
    }

    test::TempDir dir;
    const std::string german
        = test::readFile(std::string(build::buildLocaleDir) + "/de/LC_MESSAGES/" + build::appId + ".mo");
};

TEST_F(Catalogue, ReadsEitherByteOrder)
{
    ASSERT_GT(german.size(), 28u);
    const auto texts = readBack(german);
    EXPECT_EQ(texts.size(), 23u);
    EXPECT_EQ(texts.at("keyboard_shortcuts"), "Tastaturkürzel");
    EXPECT_EQ(texts.count(""), 0u); // the header is no text

    // As written on a machine of the other byte order: the header words and
    // both string tables swapped.
    auto swapped = german;
    for (std::size_t offset = 0; offset < 28; offset += 4) {
        setWord(swapped, offset, __builtin_bswap32(wordAt(german, offset)));
    }
    for (std::size_t i = 0; i < 2 * wordAt(german, 8); ++i) {
        for (const auto table : { wordAt(german, 12), wordAt(german, 16) }) {
            setWord(swapped, table + 4 * i, __builtin_bswap32(wordAt(german, table + 4 * i)));
        }
    }
    EXPECT_EQ(readBack(swapped), texts);
}

TEST_F(Catalogue, DamagedReadsAsEmpty)
{
    ASSERT_GT(german.size(), 28u);
    // Cut anywhere, a catalogue loses a string's end or a table.
    for (std::size_t length = 0; length < german.size(); ++length) {
        EXPECT_TRUE(readBack(german.substr(0, length)).empty()) << "cut at " << length;
    }
    const struct {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
    } damage[] = {
        { "bad magic", 0, wordAt(german, 0) ^ 1 },
        { "future revision", 4, 2u << 16 },
        { "huge count", 8, 0xffffffffu },
        { "table outside", 16, 0xfffffff0u },
        { "second translation outside", wordAt(german, 16) + 12, 0xfffffff0u },
    };
    for (const auto& d : damage) {
        auto damaged = german;
        setWord(damaged, d.offset, d.value);
        EXPECT_TRUE(readBack(damaged).empty()) << d.name;
    }
    EXPECT_TRUE(native::readCatalogue(dir.path() / "missing.mo").empty());
    EXPECT_TRUE(native::findCatalogue(dir.path(), "orvomenu", { "de" }).language.empty());
}

// A locale no machine generates: text is still UTF-8, numbers read in the C
// form, and the menu is in the language asked for. (The environment is read
// once per process; each test is its own process.)
TEST(Localization, AnUngeneratedLocaleKeepsUtf8AndTheLanguage)
{
    test::PrivateBus bus;
    setEnvironment({ nullptr, nullptr, nullptr, "de_XX.UTF-8" });
    Application::sharedApplication();
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
    EXPECT_GT(MB_CUR_MAX, 1u);
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(localizedString("quit"), "Beenden");
    EXPECT_EQ(localizedString("keyboard_shortcuts"), "Tastaturkürzel");
    EXPECT_EQ(localizedString("no_such_key"), "no_such_key");
}

} // namespace
} // namespace orvo
