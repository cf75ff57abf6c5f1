// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/tray/MenuExporter.h"

#include "platform/linux/core/WarmUp.h"

#include <libdbusmenu-glib/client.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace orvo::platform::native {

namespace {

// Menus nest two or three levels; a submenu that contains itself must not
// recurse forever.
constexpr int kMaxDepth = 16;

// Key names as tray hosts parse them (GDK key names) for the few key
// equivalents that are not a printable character.
std::string keyName(const std::string& key)
{
    if (key == " ")
        return "space";
    if (key == "\r" || key == "\n")
        return "Return";
    if (key == "\t")
        return "Tab";
    if (key == "\x1b")
        return "Escape";
    if (key == "\x7f" || key == "\b")
        return "BackSpace";
    return key;
}

int toggleState(int state)
{
    switch (state) {
    case 0:
        return DBUSMENU_MENUITEM_TOGGLE_STATE_UNCHECKED;
    case 1:
        return DBUSMENU_MENUITEM_TOGGLE_STATE_CHECKED;
    default:
        return DBUSMENU_MENUITEM_TOGGLE_STATE_UNKNOWN;
    }
}

} // namespace

std::string dbusmenuLabel(const std::string& title)
{
    // Modifier glyphs in titles ("⌥1: Vessa 1") are named as Linux desktops
    // name the keys, as in the shortcuts beside the items ("Alt+1").
    static const std::pair<std::string_view, std::string_view> glyphs[]
        = { { "\u2325", "Alt+" }, { "\u2318", "Ctrl+" }, { "\u2303", "Ctrl+" }, { "\u21E7", "Shift+" } };
    std::string label;
    label.reserve(title.size());
    for (std::size_t i = 0; i < title.size(); ++i) {
        const auto glyph = std::ranges::find_if(
            glyphs, [&](const auto& g) { return title.compare(i, g.first.size(), g.first) == 0; });
        if (glyph != std::end(glyphs)) {
            label += glyph->second;
            i += glyph->first.size() - 1;
            continue;
        }
        label += title[i];
        if (title[i] == '_') {
            label += '_';
        }
    }
    return label;
}

std::vector<std::string> dbusmenuShortcut(const std::string& keyEquivalent, std::uint64_t modifierMask)
{
    if (keyEquivalent.empty()) {
        return {};
    }
    std::string key = keyName(keyEquivalent);
    bool shift = (modifierMask & ModifierFlag::Shift) != 0;
    // An upper-case letter as key equivalent means Shift with that letter.
    if (key.size() == 1 && std::isupper(static_cast<unsigned char>(key[0]))) {
        shift = true;
        key[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(key[0])));
    }
    std::vector<std::string> combination;
    // Linux desktops have no Command key; Control plays its part.
    if (modifierMask & (ModifierFlag::Control | ModifierFlag::Command)) {
        combination.emplace_back(DBUSMENU_MENUITEM_SHORTCUT_CONTROL);
    }
    if (modifierMask & ModifierFlag::Option) {
        combination.emplace_back(DBUSMENU_MENUITEM_SHORTCUT_ALT);
    }
    if (shift) {
        combination.emplace_back(DBUSMENU_MENUITEM_SHORTCUT_SHIFT);
    }
    combination.push_back(std::move(key));
    return combination;
}

MenuExporter::MenuExporter(std::string objectPath)
    : objectPath_(std::move(objectPath))
    , server_(dbusmenu_server_new(objectPath_.c_str()))
{
    // One root for the whole run, so hosts that ask before the first menu
    // arrives get a valid empty menu, and the root's properties never change.
    // A new root would make the server announce every property of the old
    // one as removed, and GTK hosts warn about a menu whose children-display
    // vanished; so each new menu replaces the root's children instead.
    root_ = glib::adopt(dbusmenu_menuitem_new_with_id(0));
    dbusmenu_menuitem_property_set(
        root_.get(), DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY, DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
    // Needs no exporter, so it stays connected when the tree's handlers go.
    g_signal_connect(
        root_.get(), DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW, G_CALLBACK(&MenuExporter::aboutToShow), nullptr);
    dbusmenu_server_set_root(server_.get(), root_.get());
}

MenuExporter::~MenuExporter()
{
    // Old items can outlive us in the server's queued events; they must not
    // call back into a dead exporter.
    disconnectTree();
}

void MenuExporter::publish(std::shared_ptr<Menu> menu)
{
    // The previous menu is released now: a click that reaches its items from
    // here on performs nothing.
    disconnectTree();
    items_.clear();
    pending_ = menu ? std::move(menu) : std::make_shared<Menu>();
    if (!publishIdle_) {
        publishIdle_ = glib::SourceHandle(g_idle_add(&MenuExporter::publishPending, this));
    }
}

gboolean MenuExporter::publishPending(gpointer self)
{
    auto* exporter = static_cast<MenuExporter*>(self);
    exporter->publishIdle_.forget();
    std::shared_ptr<Menu> menu = std::move(exporter->pending_);
    if (!menu) {
        return G_SOURCE_REMOVE;
    }
    // The old children go before the new ones come: an item that persists
    // takes its old id again, and no two items may hold it at once. The
    // server bumps its revision at each change and announces the last one
    // with a single LayoutUpdated from its own idle callback.
    DbusmenuMenuitem* root = exporter->root_.get();
    GList* previous = g_list_copy(dbusmenu_menuitem_get_children(root));
    for (GList* child = previous; child; child = child->next) {
        dbusmenu_menuitem_child_delete(root, DBUSMENU_MENUITEM(child->data));
    }
    g_list_free(previous);
    exporter->items_.clear();
    exporter->buildChildren(root, *menu, "");
    // An empty menu took it all the same; put back at once, hosts hear of
    // no change.
    if (!dbusmenu_menuitem_property_exist(root, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY)) {
        dbusmenu_menuitem_property_set(
            root, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY, DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
    }
    return G_SOURCE_REMOVE;
}

void MenuExporter::buildChildren(DbusmenuMenuitem* parent, const Menu& menu, const std::string& parentKey)
{
    if (std::count(parentKey.begin(), parentKey.end(), '\x1f') >= kMaxDepth) {
        return;
    }
    // Items that send the same action as a sibling are choices among them
    // (channels, slot entries); an item whose action is its own is a switch.
    std::unordered_map<Selector, int> senders;
    std::unordered_map<std::string, int> occurrences;
    for (const std::shared_ptr<MenuItem>& item : menu.items()) {
        if (item && item->action()) {
            ++senders[*item->action()];
        }
    }
    for (const std::shared_ptr<MenuItem>& item : menu.items()) {
        if (!item) {
            continue;
        }
        // Hosts draw an empty box beside every unchecked check item. A switch
        // shows its state both ways; among choices only the chosen one is a
        // check item, so a list of channels does not turn into boxes.
        const bool isSwitch = item->stateWasSet() && item->action() && senders[*item->action()] == 1;
        const bool checkItem = !item->isSeparatorItem() && (isSwitch || item->state() != 0);
        // An item keeps its id for as long as an item of the same title,
        // action, tag and kind sits under the same parents, so a click that
        // crosses a rebuild still reaches it; a click on an id that left
        // answers an error. Ids are never given to another item. The kind is
        // part of it because hosts fix an item's kind when they first meet its
        // id: Plasma never shows a check on an item that had none before.
        const char kind = item->isSeparatorItem() ? 's' : checkItem ? 'c' : item->submenu() ? 'm' : 'p';
        std::string key = parentKey + '\x1f' + item->title() + '\x1e' + item->action().value_or("") + '\x1e'
            + std::to_string(item->tag()) + '\x1e' + kind;
        key += '#' + std::to_string(occurrences[key]++);
        const auto [known, added] = ids_.try_emplace(key, nextId_);
        nextId_ += added ? 1 : 0;
        auto menuItem = glib::adopt(dbusmenu_menuitem_new_with_id(known->second));
        DbusmenuMenuitem* mi = menuItem.get();
        if (item->isSeparatorItem()) {
            dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_TYPE, DBUSMENU_CLIENT_TYPES_SEPARATOR);
            dbusmenu_menuitem_child_append(parent, mi);
            continue;
        }
        dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_LABEL, dbusmenuLabel(item->title()).c_str());
        dbusmenu_menuitem_property_set_bool(mi, DBUSMENU_MENUITEM_PROP_ENABLED, item->isEnabled());
        if (checkItem) {
            dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE, DBUSMENU_MENUITEM_TOGGLE_CHECK);
            dbusmenu_menuitem_property_set_int(mi, DBUSMENU_MENUITEM_PROP_TOGGLE_STATE, toggleState(item->state()));
        }
        const std::vector<std::string> shortcut
            = dbusmenuShortcut(item->keyEquivalent(), item->keyEquivalentModifierMask());
        if (!shortcut.empty()) {
            GVariantBuilder combinations;
            g_variant_builder_init(&combinations, G_VARIANT_TYPE("aas"));
            g_variant_builder_open(&combinations, G_VARIANT_TYPE("as"));
            for (const std::string& part : shortcut) {
                g_variant_builder_add(&combinations, "s", part.c_str());
            }
            g_variant_builder_close(&combinations);
            dbusmenu_menuitem_property_set_variant(
                mi, DBUSMENU_MENUITEM_PROP_SHORTCUT, g_variant_builder_end(&combinations));
        }
        if (const auto& submenu = item->submenu()) {
            dbusmenu_menuitem_property_set(
                mi, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY, DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
            buildChildren(mi, *submenu, key);
        } else {
            g_signal_connect(
                mi, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED, G_CALLBACK(&MenuExporter::itemActivated), this);
        }
        items_.emplace(dbusmenu_menuitem_get_id(mi), item);
        dbusmenu_menuitem_child_append(parent, mi);
    }
}

gboolean MenuExporter::aboutToShow(DbusmenuMenuitem*, gpointer)
{
    menuOpens();
    return FALSE; // the menu needs no update before it shows
}

void MenuExporter::itemActivated(DbusmenuMenuitem* menuItem, guint, gpointer self)
{
    auto* exporter = static_cast<MenuExporter*>(self);
    auto found = exporter->items_.find(dbusmenu_menuitem_get_id(menuItem));
    if (found == exporter->items_.end()) {
        return;
    }
    // The action may replace the menu (and with it items_): hold the item.
    std::shared_ptr<MenuItem> item = found->second;
    performMenuItemAction(*item);
}

void MenuExporter::disconnectTree()
{
    if (!root_) {
        return;
    }
    dbusmenu_menuitem_foreach(
        root_.get(), [](DbusmenuMenuitem* mi, gpointer self) { g_signal_handlers_disconnect_by_data(mi, self); }, this);
}

} // namespace orvo::platform::native
