// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Localization.h"
#include "platform/Application.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/Catalogue.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace orvo {
namespace {

using namespace platform;

const char* const kVariables[] = { "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG" };

// Sets the four variables gettext reads; nullptr unsets one.
void setEnvironment(const char* language, const char* all, const char* messages, const char* lang)
{
    const char* values[] = { language, all, messages, lang };
    for (int i = 0; i < 4; ++i) {
        if (values[i]) {
            g_setenv(kVariables[i], values[i], TRUE);
        } else {
            g_unsetenv(kVariables[i]);
        }
    }
}

native::Catalogue catalogueForEnvironment()
{
    return native::findCatalogue(build::buildLocaleDir, build::appId, native::messageLanguages());
}

// None of these depends on the machine having generated a locale: the
// catalogue is chosen from the environment alone.
TEST(Localization, ChoosesTheCatalogueFromTheEnvironment)
{
    struct Case {
        const char* language;
        const char* all;
        const char* messages;
        const char* lang;
        const char* chosen; // "" for the built-in English
        const char* quit;
    };
    const Case cases[] = {
        // LANGUAGE under C.UTF-8, which glibc since 2.39 ignores.
        { "de", "C.UTF-8", nullptr, nullptr, "de", "Beenden" },
        // A German desktop whose locale may not be generated here.
        { nullptr, nullptr, nullptr, "de_DE.UTF-8", "de", "Beenden" },
        { nullptr, nullptr, nullptr, "de_AT.UTF-8@euro", "de", "Beenden" },
        // LANGUAGE is a list, best first; unknown languages are skipped.
        { "xx:fr_CA:de", nullptr, nullptr, "nl_NL.UTF-8", "fr", "Quitter" },
        { "en:de", "C.UTF-8", nullptr, nullptr, "en", "Quit" },
        // LC_ALL before LC_MESSAGES before LANG.
        { nullptr, nullptr, "nl_NL.UTF-8", "de_DE.UTF-8", "nl", "Stoppen" },
        { nullptr, "fr_FR.UTF-8", "nl_NL.UTF-8", "de_DE.UTF-8", "fr", "Quitter" },
        // Plain C asks for no translation, LANGUAGE or not.
        { "de", "C", nullptr, "de_DE.UTF-8", "", "Quit" },
        { "de", nullptr, nullptr, "POSIX", "", "Quit" },
        { nullptr, nullptr, nullptr, nullptr, "", "Quit" },
        { "xx", "C.UTF-8", nullptr, nullptr, "", "Quit" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("LANGUAGE=") + (c.language ? c.language : "-") + " LC_ALL=" + (c.all ? c.all : "-")
            + " LC_MESSAGES=" + (c.messages ? c.messages : "-") + " LANG=" + (c.lang ? c.lang : "-"));
        setEnvironment(c.language, c.all, c.messages, c.lang);
        const auto catalogue = catalogueForEnvironment();
        EXPECT_EQ(catalogue.language, c.chosen);
        const auto quit = catalogue.texts.find("quit");
        EXPECT_EQ(quit != catalogue.texts.end() ? quit->second : "Quit", c.quit);
    }
}

std::string germanCatalogue()
{
    std::ifstream in(std::string(build::buildLocaleDir) + "/de/LC_MESSAGES/" + build::appId + ".mo", std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
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

std::map<std::string, std::string> readBack(const test::TempDir& dir, const std::string& data)
{
    const auto file = dir.path() / "orvomenu.mo";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << data;
    return native::readCatalogue(file);
}

TEST(Localization, ReadsCataloguesOfEitherByteOrder)
{
    const auto native = germanCatalogue();
    ASSERT_GT(native.size(), 28u);
    test::TempDir dir;
    const auto texts = readBack(dir, native);
    EXPECT_EQ(texts.size(), 19u);
    EXPECT_EQ(texts.at("keyboard_shortcuts"), "Tastaturkürzel");
    EXPECT_EQ(texts.count(""), 0u); // the header is no text

    // The same catalogue written on a machine of the other byte order: the
    // header words and both string tables swapped.
    auto swapped = native;
    const auto count = wordAt(native, 8);
    const auto originals = wordAt(native, 12);
    const auto translations = wordAt(native, 16);
    for (std::size_t offset = 0; offset < 28; offset += 4) {
        setWord(swapped, offset, __builtin_bswap32(wordAt(native, offset)));
    }
    for (std::size_t i = 0; i < 2 * count; ++i) {
        for (auto table : { originals, translations }) {
            setWord(swapped, table + 4 * i, __builtin_bswap32(wordAt(native, table + 4 * i)));
        }
    }
    EXPECT_EQ(readBack(dir, swapped), texts);
}

TEST(Localization, DamagedCataloguesReadAsEmpty)
{
    const auto good = germanCatalogue();
    ASSERT_GT(good.size(), 28u);
    test::TempDir dir;
    // Cut anywhere, a catalogue loses a string's end or a table.
    for (std::size_t length = 0; length < good.size(); ++length) {
        EXPECT_TRUE(readBack(dir, good.substr(0, length)).empty()) << "cut at " << length;
    }
    auto badMagic = good;
    badMagic[0] ^= 0x01;
    EXPECT_TRUE(readBack(dir, badMagic).empty());
    auto futureRevision = good;
    setWord(futureRevision, 4, 2u << 16);
    EXPECT_TRUE(readBack(dir, futureRevision).empty());
    auto hugeCount = good;
    setWord(hugeCount, 8, 0xffffffffu);
    EXPECT_TRUE(readBack(dir, hugeCount).empty());
    auto tableOutside = good;
    setWord(tableOutside, 16, 0xfffffff0u);
    EXPECT_TRUE(readBack(dir, tableOutside).empty());
    auto stringOutside = good;
    setWord(stringOutside, wordAt(good, 16) + 12, 0xfffffff0u); // second translation's offset
    EXPECT_TRUE(readBack(dir, stringOutside).empty());

    EXPECT_TRUE(native::readCatalogue(dir.path() / "missing.mo").empty());
    EXPECT_TRUE(native::findCatalogue(dir.path(), "orvomenu", { "de" }).language.empty());
}

// localizedString reads the environment once per process, so each language is
// its own test (each test is its own process).
TEST(Localization, TranslatesFromTheCatalogue)
{
    setEnvironment("de", "C.UTF-8", nullptr, nullptr);
    EXPECT_EQ(localizedString("quit"), "Beenden");
    EXPECT_EQ(localizedString("keyboard_shortcuts"), "Tastaturkürzel");
    EXPECT_EQ(localizedString("no_such_key"), "no_such_key");
}

// A locale no machine generates: the application still handles text as
// UTF-8 and reads numbers in the C form, and the menu is in the language asked for.
TEST(Localization, AnUngeneratedLocaleKeepsUtf8AndTheLanguage)
{
    test::PrivateBus bus;
    setEnvironment(nullptr, nullptr, nullptr, "de_XX.UTF-8");
    Application::sharedApplication();
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
    EXPECT_GT(MB_CUR_MAX, 1u);
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(localizedString("quit"), "Beenden");
}

} // namespace
} // namespace orvo
