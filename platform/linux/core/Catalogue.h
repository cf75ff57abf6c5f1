// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace orvo::platform::native {

// The languages to look for a catalogue in, best first, read afresh from the
// environment the way gettext reads it: LANGUAGE (a colon-separated list)
// unless the messages locale is plain C or POSIX, else the first of LC_ALL,
// LC_MESSAGES, LANG. Each name is followed by its shorter variants
// (de_DE.UTF-8 → de_DE, de.UTF-8, de). C.UTF-8 means "no language, but
// UTF-8", so it keeps LANGUAGE. Whether the machine has generated a locale
// does not matter: the menu's texts do not depend on libc's locale data.
std::vector<std::string> messageLanguages();

// One language's texts: key → text.
struct Catalogue {
    std::string language; // empty when no catalogue was found
    std::map<std::string, std::string> texts;
};

// The catalogue of the first language in `languages` that has one under
// `directory` (<directory>/<language>/LC_MESSAGES/<domain>.mo). A damaged
// file counts as missing.
Catalogue findCatalogue(
    const std::filesystem::path& directory, const std::string& domain, const std::vector<std::string>& languages);

// The text of key in the user's language with each {name} in it replaced by
// its value.
std::string filledText(const std::string& key, const std::vector<std::pair<std::string, std::string>>& values);

// The texts of one compiled gettext catalogue (.mo), either byte order.
// Empty when the file is missing, larger than a catalogue can sensibly be, or
// damaged in any way (bad magic, tables or strings outside the file).
std::map<std::string, std::string> readCatalogue(const std::filesystem::path& file);

} // namespace orvo::platform::native
