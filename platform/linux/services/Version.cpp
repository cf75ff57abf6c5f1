// SPDX-License-Identifier: GPL-3.0-or-later
// Ordering version texts, as feeds and releases write them.
#include "platform/linux/services/Services.h"

#include <glib.h>

#include <algorithm>
#include <vector>

namespace orvo::platform::native {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct ParsedVersion {
    std::vector<std::string_view> release; // runs of digits: 1.10.2 → 1, 10, 2
    std::vector<std::string_view> tag; // pre-release runs: -beta.2 → beta, 2
};

ParsedVersion parseVersion(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.front())) {
        text.remove_prefix(1);
    }
    if (text.size() > 1 && (text[0] == 'v' || text[0] == 'V') && isDigit(text[1])) {
        text.remove_prefix(1);
    }
    // Build metadata after '+' does not order versions.
    text = text.substr(0, text.find('+'));

    ParsedVersion version;
    std::size_t i = 0;
    while (i < text.size() && isDigit(text[i])) {
        const std::size_t start = i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        version.release.push_back(text.substr(start, i - start));
        if (i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    while (i < text.size()) {
        const std::size_t start = i;
        if (isDigit(text[i])) {
            while (i < text.size() && isDigit(text[i])) {
                ++i;
            }
        } else if (isAlpha(text[i])) {
            while (i < text.size() && isAlpha(text[i])) {
                ++i;
            }
        } else {
            ++i; // a separator: '-', '.', '_', '~', …
            continue;
        }
        version.tag.push_back(text.substr(start, i - start));
    }
    return version;
}

// Digit runs of any length, without overflow.
int compareNumbers(std::string_view a, std::string_view b)
{
    while (a.size() > 1 && a.front() == '0') {
        a.remove_prefix(1);
    }
    while (b.size() > 1 && b.front() == '0') {
        b.remove_prefix(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    const int c = a.compare(b);
    return (c > 0) - (c < 0);
}

int compareWords(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // Words hold ASCII letters only; compared as bytes all the same.
        const int x = static_cast<unsigned char>(g_ascii_tolower(a[i]));
        const int y = static_cast<unsigned char>(g_ascii_tolower(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

int compareVersions(std::string_view a, std::string_view b)
{
    const ParsedVersion x = parseVersion(a);
    const ParsedVersion y = parseVersion(b);
    const std::size_t parts = std::max(x.release.size(), y.release.size());
    for (std::size_t i = 0; i < parts; ++i) {
        const std::string_view p = i < x.release.size() ? x.release[i] : "0";
        const std::string_view q = i < y.release.size() ? y.release[i] : "0";
        if (const int c = compareNumbers(p, q)) {
            return c;
        }
    }
    // A release ranks above any of its pre-releases.
    if (x.tag.empty() || y.tag.empty()) {
        return x.tag.empty() == y.tag.empty() ? 0 : (x.tag.empty() ? 1 : -1);
    }
    const std::size_t tokens = std::min(x.tag.size(), y.tag.size());
    for (std::size_t i = 0; i < tokens; ++i) {
        const bool pn = isDigit(x.tag[i].front());
        const bool qn = isDigit(y.tag[i].front());
        int c = 0;
        if (pn && qn) {
            c = compareNumbers(x.tag[i], y.tag[i]);
        } else if (!pn && !qn) {
            c = compareWords(x.tag[i], y.tag[i]); // alpha < beta < rc
        } else {
            c = pn ? -1 : 1;
        }
        if (c) {
            return c;
        }
    }
    return x.tag.size() == y.tag.size() ? 0 : (x.tag.size() < y.tag.size() ? -1 : 1);
}

} // namespace orvo::platform::native
