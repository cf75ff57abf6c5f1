// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/store/SettingsFile.h"
#include "platform/linux/core/Paths.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::platform::native {
namespace {

// A file descriptor closed when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1)
        : fd_(fd)
    {
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether the kernel accepted the close (a
    // delayed write error can surface here).
    bool reset()
    {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

// Removes a temporary file unless the write reached its rename.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path)
        : path_(std::move(path))
    {
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard()
    {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    void release() { path_.clear(); }

private:
    std::string path_;
};

enum class FileState { Missing, Document, Damaged };

struct Snapshot {
    FileState state = FileState::Missing;
    Json document;
};

// Reads the file once, bounded: a non-regular file is never read (a FIFO would
// block, a device could be endless), and at most one byte beyond the size cap.
Snapshot readSnapshot(const std::filesystem::path& path)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        // A missing file, or a missing folder on the way to it, is a store that
        // was never written.
        return { errno == ENOENT || errno == ENOTDIR ? FileState::Missing : FileState::Damaged, {} };
    }
    struct stat info { };
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)
        || static_cast<unsigned long long>(info.st_size) > maxDocumentBytes) {
        return { FileState::Damaged, {} };
    }
    // Sized by fstat, one byte more to notice growth since; a file that grows
    // is read on up to the cap.
    std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t filled = 0;
    while (filled < maxDocumentBytes + 1) {
        if (filled == bytes.size()) {
            bytes.resize(maxDocumentBytes + 1);
        }
        const ssize_t n = read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return { FileState::Damaged, {} };
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    auto document = parseDocument(std::string_view(bytes.data(), filled));
    if (!document) {
        return { FileState::Damaged, {} };
    }
    return { FileState::Document, std::move(*document) };
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Bounds the search for a free backup name; a folder with this many damaged
// copies has a problem a further copy does not solve.
constexpr int maxDamagedCopies = 100;

} // namespace

SettingsFile::SettingsFile(std::filesystem::path path)
    : path_(std::move(path))
{
}

std::optional<Value> SettingsFile::value(const std::string& key) const
{
    try {
        const Snapshot snapshot = readSnapshot(path_);
        if (snapshot.state != FileState::Document) {
            return std::nullopt;
        }
        const auto it = snapshot.document.find(key);
        if (it == snapshot.document.end()) {
            return std::nullopt;
        }
        return toValue(*it);
    } catch (...) {
        return std::nullopt; // out of memory: the store reads as empty
    }
}

bool SettingsFile::setValue(const std::string& key, const Value& value)
{
    try {
        auto stored = toJson(value);
        if (!stored) {
            return false;
        }
        Snapshot snapshot = readSnapshot(path_);
        if (snapshot.state == FileState::Damaged) {
            // The user's other settings may still be in there; keep the bytes
            // where they can find them before the new document replaces them.
            if (!keepDamagedFile()) {
                return false;
            }
            snapshot.document = Json::object();
        } else if (snapshot.state == FileState::Missing) {
            snapshot.document = Json::object();
        }
        snapshot.document[key] = std::move(*stored);
        const auto bytes = serializeDocument(snapshot.document);
        return bytes && replaceDocument(*bytes);
    } catch (...) {
        return false;
    }
}

bool SettingsFile::keepDamagedFile() const
{
    for (int n = 1; n <= maxDamagedCopies; ++n) {
        const std::string copy = path_.string() + ".damaged-" + std::to_string(n);
        // A hard link keeps the exact bytes without reading them (the file may
        // be unreadable or huge) and survives the rename that follows.
        if (link(path_.c_str(), copy.c_str()) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false; // a directory in the way, no hard links, …: keep it all
        }
    }
    return false;
}

bool SettingsFile::replaceDocument(const std::string& bytes) const
{
    const std::string folder = path_.parent_path().string();
    // Settings are the user's own: the folder is theirs alone.
    if (fault(WriteStep::CreateFolder) != 0 || g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
        return false;
    }

    std::string tempPath = (path_.parent_path() / ("." + path_.filename().string() + "-XXXXXX")).string();
    if (const int error = fault(WriteStep::CreateTemp)) {
        errno = error;
        return false;
    }
    UniqueFd fd(mkostemp(tempPath.data(), O_CLOEXEC));
    if (!fd) {
        return false;
    }
    TempFileGuard guard(tempPath);

    if (fault(WriteStep::WriteTemp) != 0 || !writeAll(fd.get(), bytes)) {
        return false;
    }
    // The bytes must be on disk before the name points at them, or a crash
    // could leave an empty document behind the new name.
    if (fault(WriteStep::SyncTemp) != 0 || fsync(fd.get()) != 0 || !fd.reset()) {
        return false;
    }
    if (fault(WriteStep::Rename) != 0 || rename(tempPath.c_str(), path_.c_str()) != 0) {
        return false;
    }
    guard.release();

    // Makes the rename itself durable. The new document is in place whatever
    // happens here, so a failure only weakens durability.
    if (fault(WriteStep::SyncFolder) == 0) {
        UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folderFd) {
            fsync(folderFd.get());
        }
    }
    return true;
}

std::filesystem::path defaultSettingsPath()
{
    const auto base = native::configHome();
    return base / "orvomenu" / "defaults.json";
}

SettingsFile& standardSettingsFile()
{
    static SettingsFile file(defaultSettingsPath());
    return file;
}

} // namespace orvo::platform::native
