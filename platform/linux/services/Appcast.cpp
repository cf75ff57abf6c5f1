// SPDX-License-Identifier: GPL-3.0-or-later
// Reading an appcast: RSS 2.0 whose items carry versioned enclosures.
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/services/Services.h"

#include <algorithm>

namespace orvo::platform::native {
namespace {

std::string_view localName(std::string_view name)
{
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Only https links with a host are handed to the desktop: a feed must not be
// able to start an arbitrary URI handler, nor send the user to a download
// that anyone on the way can replace.
bool isHttps(const std::string& link)
{
    glib::GUnique<GUri> uri(g_uri_parse(link.c_str(), G_URI_FLAGS_NONE, nullptr));
    const char* host = uri ? g_uri_get_host(uri.get()) : nullptr;
    return host && *host && g_ascii_strcasecmp(g_uri_get_scheme(uri.get()), "https") == 0;
}

std::string trimmed(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && g_ascii_isspace(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// Reads what matters of each <item> and ignores the rest: unknown elements,
// attributes and namespaces are skipped, items without a version are passed
// over. Nesting is bounded so that a hostile feed cannot grow the state.
struct AppcastReader {
    static constexpr int maxDepth = 64;
    static constexpr std::size_t maxText = 4096;

    int depth = 0;
    int itemDepth = 0; // depth of the open <item>, 0 outside one
    std::string text;
    std::string elementVersion, elementShortVersion, enclosureVersion, enclosureShortVersion, enclosureUrl, link;
    std::optional<AppcastItem> newest;

    void beginItem()
    {
        itemDepth = depth;
        elementVersion.clear();
        elementShortVersion.clear();
        enclosureVersion.clear();
        enclosureShortVersion.clear();
        enclosureUrl.clear();
        link.clear();
    }

    void endItem()
    {
        itemDepth = 0;
        AppcastItem item;
        // The short version string is the one people read and the one our own
        // version resembles; a bare version may be a build number.
        for (const std::string* candidate :
            { &enclosureShortVersion, &elementShortVersion, &enclosureVersion, &elementVersion }) {
            if (!candidate->empty()) {
                item.version = *candidate;
                break;
            }
        }
        const std::string_view v = item.version;
        const bool usable = !v.empty()
            && (g_ascii_isdigit(v[0]) || (v.size() > 1 && (v[0] == 'v' || v[0] == 'V') && g_ascii_isdigit(v[1])));
        if (!usable) {
            return;
        }
        item.displayVersion = item.version;
        item.link = !enclosureUrl.empty() ? enclosureUrl : link;
        if (!isHttps(item.link)) {
            item.link.clear();
        }
        if (!newest || compareVersions(item.version, newest->version) > 0) {
            newest = std::move(item);
        }
    }

    static void onStart(GMarkupParseContext*, const char* name, const char** attributeNames,
        const char** attributeValues, gpointer data, GError** error)
    {
        auto* self = static_cast<AppcastReader*>(data);
        if (++self->depth > maxDepth) {
            g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "nested too deeply");
            return;
        }
        self->text.clear();
        const std::string_view local = localName(name);
        if (local == "item" && !self->itemDepth) {
            self->beginItem();
            return;
        }
        if (!self->itemDepth || local != "enclosure") {
            return;
        }
        for (int i = 0; attributeNames[i]; ++i) {
            const std::string_view attribute = attributeNames[i];
            const std::string_view attributeLocal = localName(attribute);
            if (attribute == "url") {
                self->enclosureUrl = trimmed(attributeValues[i]);
            } else if (attributeLocal == "shortVersionString" && attribute != attributeLocal) {
                self->enclosureShortVersion = trimmed(attributeValues[i]);
            } else if (attributeLocal == "version" && attribute != attributeLocal) {
                self->enclosureVersion = trimmed(attributeValues[i]);
            }
        }
    }

    static void onEnd(GMarkupParseContext*, const char* name, gpointer data, GError**)
    {
        auto* self = static_cast<AppcastReader*>(data);
        const std::string_view local = localName(name);
        if (self->itemDepth && self->depth == self->itemDepth) {
            self->endItem();
        } else if (self->itemDepth && self->depth == self->itemDepth + 1) {
            if (local == "version") {
                self->elementVersion = trimmed(self->text);
            } else if (local == "shortVersionString") {
                self->elementShortVersion = trimmed(self->text);
            } else if (local == "link") {
                self->link = trimmed(self->text);
            }
        }
        self->text.clear();
        --self->depth;
    }

    static void onText(GMarkupParseContext*, const char* text, gsize length, gpointer data, GError**)
    {
        auto* self = static_cast<AppcastReader*>(data);
        if (self->itemDepth && self->text.size() < maxText) {
            self->text.append(text, std::min<gsize>(length, maxText - self->text.size()));
        }
    }
};

} // namespace

std::optional<AppcastItem> newestAppcastItem(std::string_view xml)
{
    static const GMarkupParser parser
        = { &AppcastReader::onStart, &AppcastReader::onEnd, &AppcastReader::onText, nullptr, nullptr };
    AppcastReader reader;
    glib::GUnique<GMarkupParseContext> context(
        g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &reader, nullptr));
    if (!g_markup_parse_context_parse(context.get(), xml.data(), static_cast<gssize>(xml.size()), nullptr)
        || !g_markup_parse_context_end_parse(context.get(), nullptr)) {
        return std::nullopt;
    }
    return reader.newest;
}

} // namespace orvo::platform::native
