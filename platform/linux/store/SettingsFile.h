// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The settings store on disk: one JSON document, replaced whole and atomically
// for every change.

#include "platform/UserDefaults.h"
#include "platform/linux/store/SettingsDocument.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace orvo::platform::native {

// The bytes of the file, or the errno that kept them: EFBIG for a file over
// maxDocumentBytes, EINVAL for one that is not a regular file.
struct FileBytes {
    int error = 0;
    std::string bytes;
};
using FileReader = std::function<FileBytes(const std::filesystem::path&)>;

// Reads at most maxDocumentBytes + 1 bytes and never blocks on a FIFO.
FileBytes readSettingsBytes(const std::filesystem::path& path);

class SettingsFile final : public UserDefaults {
public:
    explicit SettingsFile(std::filesystem::path path, FileReader reader = readSettingsBytes);

    // The value under key; nothing when the key, the file or a readable
    // document is missing. Never writes. The parsed document is kept while the
    // file's identity, size and times stay the same, so a menu that reads
    // the store many times parses it once, and an edit by anyone else shows
    // at the next read. While the file cannot be read just now, reads go on
    // with the last document read.
    std::optional<Value> objectForKey(const std::string& key) override;

    // Stores value under key and keeps the other keys as the file holds them;
    // always merges with the file as it is now, under a lock of its folder
    // that other sessions of the user take too. Through a symbolic link into
    // the user's own files the link's target is replaced and the link kept. A
    // file that is not a readable document, or a link leading elsewhere, is
    // first kept beside it as "<name>.damaged-<n>" (the hundred newest copies
    // stay). When the change cannot be written (a folder in the way, a read
    // failure that may pass, a full disk) the file is left alone and the value
    // holds in memory, to be written with the next change that can be; the
    // first such failure is said once.
    void setObject(const Value& value, const std::string& key) override;

private:
    enum class State { Missing, Document, Damaged, Unavailable };
    // An empty ordered_json allocates nothing, whatever its constructor may declare.
    struct Snapshot { // NOLINT(bugprone-exception-escape)
        State state = State::Missing;
        struct stat info { };
        Json document;
    };

    // Brings cache_ up to date with the file (reusing it when the file is the
    // same version and reuse is set) and says what the file is now. When the
    // file cannot be read just now, cache_ keeps the last document.
    State load(bool reuse);
    // Why the document could not be written with the unsaved values, if so.
    std::optional<std::string> write();
    bool keepAside(const std::filesystem::path& path, const char* why) const;
    static void notSaved(const std::string& why);

    std::filesystem::path path_;
    FileReader reader_;
    std::optional<Snapshot> cache_;
    std::map<std::string, Value> unsaved_;
};

// $XDG_CONFIG_HOME/orvomenu/defaults.json, with ~/.config standing in when
// XDG_CONFIG_HOME is unset, empty or relative.
std::filesystem::path defaultSettingsPath();

} // namespace orvo::platform::native
