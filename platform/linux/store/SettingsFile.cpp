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
#include <sys/file.h>
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

// Where a change goes: the settings file itself, or the file it links to when
// that is one of the user's own (dotfile managers link it into a repository
// in the home folder). Nothing for a link that leads out of the user's files.
std::optional<std::filesystem::path> writeTarget(const std::filesystem::path& path)
{
    struct stat info { };
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        return path;
    }
    std::error_code error;
    const auto target = std::filesystem::weakly_canonical(path, error);
    const auto home = std::filesystem::weakly_canonical(g_get_home_dir(), error);
    const auto inside = target.lexically_relative(home);
    if (error || inside.empty() || *inside.begin() == "..") {
        return std::nullopt;
    }
    const bool exists = stat(target.c_str(), &info) == 0;
    if ((!exists && stat(target.parent_path().c_str(), &info) != 0) || info.st_uid != geteuid()
        || (exists && !S_ISREG(info.st_mode))) {
        return std::nullopt;
    }
    return target;
}

// Another session of the same user may change the settings at the same time:
// the folder is locked around each read-modify-write. A lock that stays taken
// (a stuck file system) is waited for a moment, then written without.
glib::UniqueFd lockFolder(const std::filesystem::path& folder)
{
    glib::UniqueFd held(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int tries = 0; held && flock(held.get(), LOCK_EX | LOCK_NB) != 0; ++tries) {
        if (errno != EWOULDBLOCK || tries == 200) {
            return {};
        }
        g_usleep(5000);
    }
    return held;
}

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
    if (const auto unsaved = unsaved_.find(key); unsaved != unsaved_.end()) {
        return unsaved->second;
    }
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
        // Until it is written, the value holds in memory.
        unsaved_[key] = value;
        if (const auto why = write()) {
            notSaved(*why);
        } else {
            unsaved_.clear();
        }
    } catch (const std::exception& e) {
        cache_.reset(); // out of memory, or the folder cannot be listed
        notSaved(e.what());
    }
}

std::optional<std::string> SettingsFile::write()
{
    // Settings are the user's own: the folder and the file are theirs alone.
    if (g_mkdir_with_parents(path_.parent_path().c_str(), 0700) != 0) {
        return g_strerror(errno);
    }
    const glib::UniqueFd lock = lockFolder(path_.parent_path());
    const auto target = writeTarget(path_);
    const State state = load(false);
    if (state == State::Unavailable) {
        return path_.string() + " cannot be read just now";
    }
    if (!target && !keepAside(path_, "links out of your own files")) {
        return path_.string() + " links out of your own files and cannot be kept aside";
    }
    if (target && state == State::Damaged && !keepAside(*target, "is not a settings document")) {
        return path_.string() + " is not a settings document and cannot be kept aside";
    }
    Json document = state == State::Document ? std::move(cache_->document) : Json::object();
    cache_.reset(); // the next read sees what is on disk
    for (const auto& [key, value] : unsaved_) {
        document[key] = *toJson(value);
    }
    const auto bytes = serializeDocument(document);
    // A larger document would read back as damaged.
    if (!bytes || bytes->size() > maxDocumentBytes) {
        return std::string("the settings would not fit in their file");
    }
    g_autoptr(GError) error = nullptr;
    if (!g_file_set_contents_full(target.value_or(path_).c_str(), bytes->data(), static_cast<gssize>(bytes->size()),
            static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), 0600,
            &error)) {
        return std::string(error->message);
    }
    return std::nullopt;
}

void SettingsFile::notSaved(const std::string& why)
{
    // Said once: every change after the first would say the same.
    static bool said = false;
    if (!std::exchange(said, true)) {
        g_warning("settings not saved: %s; changes last until OrvoMenu quits", why.c_str());
    } else {
        g_debug("settings not saved: %s", why.c_str());
    }
}

bool SettingsFile::keepAside(const std::filesystem::path& path, const char* why) const
{
    const std::string prefix = path.filename().string() + ".damaged-";
    std::vector<unsigned long> kept;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        const std::string name = entry.path().filename().string();
        const char* end = name.data() + name.size();
        unsigned long n = 0;
        if (name.starts_with(prefix) && std::from_chars(name.data() + prefix.size(), end, n).ptr == end) {
            kept.push_back(n);
        }
    }
    std::sort(kept.begin(), kept.end());
    const auto copy = [&](unsigned long n) { return path.string() + ".damaged-" + std::to_string(n); };
    // A hard link keeps the exact bytes without reading them (the file may be
    // unreadable) and survives the rename that replaces the document; of a
    // symbolic link it keeps the link. A folder in the way, or no hard links:
    // keep it all and write nothing.
    const std::string name = copy(kept.empty() ? 1 : kept.back() + 1);
    if (link(path.c_str(), name.c_str()) != 0) {
        return false;
    }
    g_warning("%s %s; kept it as %s", path.c_str(), why, name.c_str());
    // The copy holds it now. Gone from its place, its mode goes with it: the
    // GLib of Debian 13 (2.84) gives a replaced file the old file's mode, so an
    // unreadable document would stay unreadable under the new one.
    unlink(path.c_str());
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
