// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/Menu.h"
#include "platform/linux/core/GLibPtr.h"

#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <memory>
#include <string>
#include <unordered_map>

namespace orvo::platform::native {

// The label a tray host shows for title: a single "_" would mark an access
// key, so every underscore is doubled; modifier glyphs become key names
// ("⌥1" → "Alt+1").
std::string dbusmenuLabel(const std::string& title);

// The dbusmenu "shortcut" value for a key equivalent and modifier mask, such as
// [["Alt", "1"]]; empty when there is no key equivalent.
std::vector<std::string> dbusmenuShortcut(const std::string& keyEquivalent, std::uint64_t modifierMask);

// Exports a status item's menu as com.canonical.dbusmenu at objectPath on the
// session bus.
//
// Every publish() within one main-loop turn is gathered into one new tree,
// published from an idle callback; a tray host then sees one LayoutUpdated
// per burst and GetLayout answers with the announced revision. The root item
// (id 0) stays and keeps its properties; its children are new in every tree.
// An item that persists across trees (same title, action and tag under the
// same parents) keeps its id, so a click sent just before a rebuild still
// performs it; a click on an id that is no longer in the tree is answered
// with an error and performs nothing. A "clicked" event on an item of the
// current tree performs its action once.
class MenuExporter {
public:
    explicit MenuExporter(std::string objectPath);
    ~MenuExporter();
    MenuExporter(const MenuExporter&) = delete;
    MenuExporter& operator=(const MenuExporter&) = delete;

    const std::string& objectPath() const { return objectPath_; }

    // Replaces the exported menu (null: an empty menu). The previous tree stops
    // answering clicks at once.
    void publish(std::shared_ptr<Menu> menu);

private:
    static gboolean publishPending(gpointer self);
    static gboolean aboutToShow(DbusmenuMenuitem* menuItem, gpointer self);
    static void itemActivated(DbusmenuMenuitem* menuItem, guint timestamp, gpointer self);
    void buildChildren(DbusmenuMenuitem* parent, const Menu& menu, const std::string& parentKey);
    void disconnectTree();

    std::string objectPath_;
    glib::GRef<DbusmenuServer> server_;
    glib::GRef<DbusmenuMenuitem> root_;
    std::shared_ptr<Menu> pending_;
    glib::SourceHandle publishIdle_;
    // The items of the current tree by dbusmenu id; only these answer clicks.
    std::unordered_map<int, std::shared_ptr<MenuItem>> items_;
    // Every item's id by its place and kind, kept for the run: bounded by the
    // titles a menu can show (our menu: about a thousand).
    std::unordered_map<std::string, int> ids_;
    int nextId_ = 1;
};

} // namespace orvo::platform::native
