// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The settings store on disk: one JSON document that is read afresh for every
// look-up and replaced whole, atomically, for every change.

#include "platform/UserDefaults.h"
#include "platform/linux/store/SettingsDocument.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace orvo::platform::native {

// The steps of a write, in order. Everything before Rename happens beside the
// document; the document changes only at Rename.
enum class WriteStep { CreateFolder, CreateTemp, WriteTemp, SyncTemp, Rename, SyncFolder };

// Test seam: called before each step of a write. Returning an errno value
// makes that step fail as if the system call had; 0 lets it run.
using WriteFaultHook = std::function<int(WriteStep)>;

class SettingsFile {
public:
    explicit SettingsFile(std::filesystem::path path);

    const std::filesystem::path& path() const { return path_; }

    // The value stored under key; nothing when the key, the file or a readable
    // document is missing. Never writes.
    std::optional<Value> value(const std::string& key) const;

    // Stores value under key and keeps the other keys as the file holds them.
    // A file that exists but is not a readable document is first kept beside
    // it as "<name>.damaged-<n>" (a hard link to the same bytes); when it
    // cannot be kept, nothing is written. Returns whether the document was
    // replaced. Never throws.
    bool setValue(const std::string& key, const Value& value);

    void setFaultHook(WriteFaultHook hook) { faultHook_ = std::move(hook); }

private:
    int fault(WriteStep step) const { return faultHook_ ? faultHook_(step) : 0; }
    bool keepDamagedFile() const;
    bool replaceDocument(const std::string& bytes) const;

    std::filesystem::path path_;
    WriteFaultHook faultHook_;
};

// $XDG_CONFIG_HOME/orvomenu/defaults.json, with ~/.config standing in when
// XDG_CONFIG_HOME is unset, empty or relative.
std::filesystem::path defaultSettingsPath();

// The file behind UserDefaults::standardUserDefaults(); its path is fixed on
// first use.
SettingsFile& standardSettingsFile();

} // namespace orvo::platform::native
