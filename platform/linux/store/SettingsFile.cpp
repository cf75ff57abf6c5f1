// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/store/SettingsFile.h"

#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Paths.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace orvo::platform::native {
namespace {

// Failures that say nothing about the file itself: it may read fine a moment
// later, so it is neither kept as damaged nor written over.
bool passing(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS || error == EIO || error == EAGAIN
        || error == EINTR;
}

bool missing(int error)
{
    // A missing folder on the way is a store that was never written too.
    return error == ENOENT || error == ENOTDIR;
}

// Two looks at the file saw the same version of it. Replacing the file changes
// the inode; writing it in place changes the size or the modification time,
// unless the same number of bytes is written twice within one tick of the
// file system's clock.
bool sameVersion(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A file damaged again and again must not fill the folder with copies.
constexpr std::size_t maxDamagedCopies = 100;

} // namespace

FileBytes readSettingsBytes(const std::filesystem::path& path)
{
    FileBytes file { 0, std::string(maxDocumentBytes + 1, '\0') };
    const glib::UniqueFd held(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!held) {
        return { errno, {} };
    }
    const int fd = held.get();
    struct stat info { };
    std::size_t filled = 0;
    if (fstat(fd, &info) != 0) {
        file.error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        file.error = EINVAL; // a FIFO would block, a device could be endless
    }
    while (file.error == 0 && filled < file.bytes.size()) {
        const ssize_t n = read(fd, file.bytes.data() + filled, file.bytes.size() - filled);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            file.error = errno;
        }
    }
    file.bytes.resize(filled);
    if (file.error == 0 && filled > maxDocumentBytes) {
        file.error = EFBIG;
    }
    return file;
}

SettingsFile::SettingsFile(std::filesystem::path path, FileReader reader)
    : path_(std::move(path))
    , reader_(std::move(reader))
{
}

SettingsFile::State SettingsFile::load(bool reuse)
{
    Snapshot now;
    if (stat(path_.c_str(), &now.info) != 0 && missing(errno)) {
        cache_ = std::move(now);
        return State::Missing;
    }
    if (reuse && cache_ && cache_->state != State::Missing && sameVersion(now.info, cache_->info)) {
        return cache_->state;
    }
    // The version was taken before the bytes are read, so a change made
    // meanwhile shows as a new version at the next look.
    const FileBytes file = reader_(path_);
    if (passing(file.error)) {
        return State::Unavailable; // cache_ keeps the last document for reads
    }
    auto document = file.error == 0 ? parseDocument(file.bytes) : std::nullopt;
    now.state = missing(file.error) ? State::Missing : document ? State::Document : State::Damaged;
    if (document) {
        now.document = std::move(*document);
    }
    cache_ = std::move(now);
    return cache_->state;
}

std::optional<Value> SettingsFile::objectForKey(const std::string& key)
{
    try {
        load(true);
        if (!cache_ || cache_->state != State::Document) {
            return std::nullopt;
        }
        const auto it = cache_->document.find(key);
        return it == cache_->document.end() ? std::nullopt : std::optional(toValue(*it));
    } catch (...) {
        cache_.reset();
        return std::nullopt; // out of memory: the store reads as empty
    }
}

void SettingsFile::setObject(const Value& value, const std::string& key)
{
    try {
        auto stored = toJson(value);
        if (!stored) {
            g_warning("settings not saved: the value of %s cannot be stored", key.c_str());
            return;
        }
        const State state = load(false);
        if (state == State::Unavailable) {
            g_warning("settings not saved: %s cannot be read just now", path_.c_str());
            return;
        }
        if (state == State::Damaged && !keepDamagedFile()) {
            g_warning("settings not saved: %s is not a settings document and cannot be kept aside", path_.c_str());
            return;
        }
        Json document = state == State::Document ? std::move(cache_->document) : Json::object();
        cache_.reset(); // the next read sees what is on disk
        document[key] = std::move(*stored);
        const auto bytes = serializeDocument(document);
        // A larger document would read back as damaged.
        if (!bytes || bytes->size() > maxDocumentBytes) {
            g_warning("settings not saved: the value of %s cannot be stored", key.c_str());
            return;
        }
        // Settings are the user's own: the folder and the file are theirs alone.
        g_autoptr(GError) error = nullptr;
        if (g_mkdir_with_parents(path_.parent_path().c_str(), 0700) != 0) {
            g_warning("settings not saved: %s", g_strerror(errno));
        } else if (!g_file_set_contents_full(path_.c_str(), bytes->data(), static_cast<gssize>(bytes->size()),
                       static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE),
                       0600, &error)) {
            g_warning("settings not saved: %s", error->message);
        }
    } catch (const std::exception& e) {
        cache_.reset(); // out of memory, or the folder cannot be listed
        g_warning("settings not saved: %s", e.what());
    }
}

bool SettingsFile::keepDamagedFile() const
{
    const std::string prefix = path_.filename().string() + ".damaged-";
    std::vector<unsigned long> kept;
    for (const auto& entry : std::filesystem::directory_iterator(path_.parent_path())) {
        const std::string name = entry.path().filename().string();
        const char* end = name.data() + name.size();
        unsigned long n = 0;
        if (name.starts_with(prefix) && std::from_chars(name.data() + prefix.size(), end, n).ptr == end) {
            kept.push_back(n);
        }
    }
    std::sort(kept.begin(), kept.end());
    const auto copy = [&](unsigned long n) { return path_.string() + ".damaged-" + std::to_string(n); };
    // A hard link keeps the exact bytes without reading them (the file may be
    // unreadable) and survives the rename that replaces the document. A folder
    // in the way, or no hard links: keep it all and write nothing.
    const std::string name = copy(kept.empty() ? 1 : kept.back() + 1);
    if (link(path_.c_str(), name.c_str()) != 0) {
        return false;
    }
    g_warning("%s is not a settings document; kept it as %s", path_.c_str(), name.c_str());
    // The copy holds it now. Gone from its place, its mode goes with it: the
    // GLib of Debian 13 (2.84) gives a replaced file the old file's mode, so an
    // unreadable document would stay unreadable under the new one.
    unlink(path_.c_str());
    // Numbered in the order they were made: the lowest are the oldest.
    for (std::size_t i = 0; i + maxDamagedCopies <= kept.size(); ++i) {
        unlink(copy(kept[i]).c_str());
    }
    return true;
}

std::filesystem::path defaultSettingsPath()
{
    return configHome() / "orvomenu" / "defaults.json";
}

} // namespace orvo::platform::native

namespace orvo::platform {

UserDefaults& UserDefaults::standardUserDefaults()
{
    // The path is fixed on first use.
    static native::SettingsFile file(native::defaultSettingsPath());
    return file;
}

} // namespace orvo::platform
