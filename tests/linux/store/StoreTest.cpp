// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store on real files in a scratch folder.
#include "platform/linux/store/SettingsFile.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using orvo::platform::Value;
using namespace orvo::platform::native;

namespace {

std::string readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

void writeBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

const Value channels = Value::stringArray({ "vessa180a", "", "vessa380a", "", "" });
const Value oldChannels = Value::stringArray({ "old" });

// A document another version of the application (or the user) left behind,
// holding values this one never writes.
const std::string foreignDocument = R"({
  "big": 18446744073709551615,
  "hotkeyChannels": ["old"],
  "ratio": 0.1,
  "window": {"z": 1, "a": [true, null, "x"]},
  "name": "Ünïcödé \ud83d\udcfb"
}
)";

// Runs body in a child process; returns its exit status.
int inChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Store : public ::testing::Test {
protected:
    // Kept copies, or temporary files left behind.
    long besideTheDocument() const
    {
        return std::distance(fs::directory_iterator(file.parent_path()), {})
            - (fs::symlink_status(file).type() != fs::file_type::not_found);
    }

    orvo::test::TempDir temp;
    fs::path file = temp.path() / "orvomenu" / "defaults.json";
    int reads = 0;
    SettingsFile store { file, [this](const fs::path& path) {
                            ++reads;
                            return readSettingsBytes(path);
                        } };
};

TEST_F(Store, WritesKeepEveryOtherKeyAsTheFileHoldsIt)
{
    store.setObject(oldChannels, "hotkeyChannels");
    EXPECT_EQ(store.arrayForKey("hotkeyChannels"), oldChannels.asArray());
    // The user's settings are theirs alone.
    EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    writeBytes(file, foreignDocument);
    store.setObject(channels, "hotkeyChannels");
    store.setObject(Value::boolean(true), "added");
    // Same keys in the same order, the replaced key in its old place and the
    // new one at the end; no value takes a detour through double.
    Json expected = Json::parse(foreignDocument);
    expected["hotkeyChannels"] = { "vessa180a", "", "vessa380a", "", "" };
    expected["added"] = true;
    EXPECT_EQ(readBytes(file), expected.dump(2) + "\n");
    EXPECT_EQ(besideTheDocument(), 0) << "no temporary file left";
}

TEST_F(Store, ReadsParseTheFileOnceUntilItChanges)
{
    store.setObject(channels, "hotkeyChannels");
    reads = 0;
    // As many reads as a menu rebuild makes: five slot titles, thirteen channels.
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
    }
    EXPECT_EQ(reads, 1);
    // Edited in place, then replaced by a file of the same length: each shows
    // at the next read.
    writeBytes(file, R"({"hotkeyChannels": ["edited in place"]})");
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), Value::stringArray({ "edited in place" }));
    writeBytes(temp.path() / "new", R"({"hotkeyChannels": ["replaced whole!"]})");
    fs::rename(temp.path() / "new", file);
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), Value::stringArray({ "replaced whole!" }));
    fs::remove(file);
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    EXPECT_EQ(reads, 3);
}

TEST_F(Store, ValuesThatWouldNotReadBackAreNotWritten)
{
    writeBytes(file, foreignDocument);
    Value deep = Value::string("bottom");
    for (int i = 0; i < 100; ++i) {
        deep = Value::array({ deep });
    }
    const std::vector<std::pair<std::string, Value>> cases = {
        { "infinite", Value::array({ Value::number(HUGE_VAL) }) },
        { "not UTF-8", Value::string("\xff\xfe") },
        { "too deep", deep },
        { "over the size cap", Value::string(std::string(maxDocumentBytes, 'x')) },
    };
    for (const auto& [name, value] : cases) {
        store.setObject(value, "hotkeyChannels");
        EXPECT_EQ(readBytes(file), foreignDocument) << name;
    }
    EXPECT_EQ(besideTheDocument(), 0);
}

// Files that are not a settings document (more kinds are in the fuzz corpus):
// each reads as an empty store, is never changed by reading, and survives a
// later write as a kept copy.
TEST_F(Store, UnusableFileReadsEmptyAndIsKeptWhenReplaced)
{
    const std::string oversized = R"({"hotkeyChannels": ["a"], "pad": ")" + std::string(64 * 1024, 'x') + "\"}";
    const std::string deep = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "empty", "" },
        { "truncated", R"({"hotkeyChannels": ["a", )" },
        { "list at top", R"(["hotkeyChannels"])" },
        { "nested too deep", deep },
        { "over 64 KiB", oversized },
    };
    int copies = 0;
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        writeBytes(file, bytes);
        EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
        EXPECT_EQ(readBytes(file), bytes) << "a read changed the file";

        store.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
        EXPECT_EQ(readBytes(file.string() + ".damaged-" + std::to_string(++copies)), bytes);
        EXPECT_EQ(Json::parse(readBytes(file)).size(), 1u);
    }
    EXPECT_EQ(besideTheDocument(), copies) << "only the kept copies";
}

TEST_F(Store, AtAHundredKeptCopiesTheOldestMakesRoom)
{
    for (int n = 1; n <= 100; ++n) {
        writeBytes(file.string() + ".damaged-" + std::to_string(n), std::to_string(n));
    }
    writeBytes(file, "damaged");
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
    EXPECT_FALSE(fs::exists(file.string() + ".damaged-1"));
    EXPECT_EQ(readBytes(file.string() + ".damaged-2"), "2");
    EXPECT_EQ(readBytes(file.string() + ".damaged-101"), "damaged");
    EXPECT_EQ(besideTheDocument(), 100);
}

// Neither is read (a FIFO would block). The FIFO is kept aside like any
// unusable file; the folder cannot be, so it stays and nothing is written.
TEST_F(Store, NoFileInPlaceOfTheDocument)
{
    writeBytes(file / "inside", "keep");
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(readBytes(file / "inside"), "keep");
    EXPECT_EQ(besideTheDocument(), 0);

    fs::remove_all(file);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
    EXPECT_TRUE(fs::is_fifo(file.string() + ".damaged-1"));
}

// Reads that fail for a reason that may pass say nothing about the file: it
// is neither kept as damaged nor replaced, and reads go on with the last
// document. ENFILE and EIO cannot be caused here without harming the machine
// or a faulty disk, so a reader hands out each error.
TEST_F(Store, ReadFailuresThatMayPassLeaveTheFileAlone)
{
    writeBytes(file, foreignDocument);
    for (const int error : { EMFILE, ENFILE, ENOMEM, ENOBUFS, EIO, EAGAIN, EINTR }) {
        SCOPED_TRACE(strerror(error));
        int failure = 0;
        SettingsFile flaky(file, [&](const fs::path& path) {
            return failure ? FileBytes { failure, {} } : readSettingsBytes(path);
        });
        ASSERT_EQ(flaky.objectForKey("hotkeyChannels"), oldChannels);
        failure = error;
        flaky.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(readBytes(file), foreignDocument);
        EXPECT_EQ(besideTheDocument(), 0) << "kept as damaged";
        EXPECT_EQ(flaky.objectForKey("hotkeyChannels"), oldChannels);
        failure = 0;
        flaky.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(flaky.objectForKey("hotkeyChannels"), channels);
        writeBytes(file, foreignDocument);
    }
}

// Permission checks do not apply to root, and the tests run as root in CI:
// such cases run in a child that gives up root for an unprivileged user.
constexpr uid_t unprivileged = 65534;
constexpr int cannotDropRoot = 77;

int asUnprivilegedUser(const fs::path& tree, const std::function<int()>& body)
{
    if (geteuid() == 0) {
        for (const auto& entry : fs::recursive_directory_iterator(tree)) {
            if (lchown(entry.path().c_str(), unprivileged, unprivileged) != 0) {
                return cannotDropRoot;
            }
        }
        if (chown(tree.c_str(), unprivileged, unprivileged) != 0) {
            return cannotDropRoot;
        }
    }
    return inChild([&] {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(unprivileged) != 0 || setuid(unprivileged) != 0)) {
            return cannotDropRoot;
        }
        return body();
    });
}

// Each made in a child process, on a store that has read the document: the
// change fails and the old document stays, or (an unreadable file) the file
// is kept aside and replaced.
TEST_F(Store, HostileSurroundings)
{
    struct Case {
        const char* name;
        bool dropRoot;
        std::function<bool()> arrange;
        Value readAfter;
    };
    const Case cases[] = {
        // A file-size limit makes the kernel refuse the bytes (EFBIG) even
        // for root, as a full disk would.
        { "full disk", false,
            [] {
                const rlimit limit { 64, 64 };
                return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
            },
            oldChannels },
        // Through the real reader this time: not damage, so nothing is kept.
        { "out of file descriptors", false,
            [] {
                const rlimit limit { 64, 64 };
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                    return false;
                }
                while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) { }
                return errno == EMFILE;
            },
            oldChannels },
        { "read-only folder", true, [&] { return chmod(file.parent_path().c_str(), 0500) == 0; }, oldChannels },
        { "unreadable file", true, [&] { return chmod(file.c_str(), 0) == 0; }, channels },
    };
    for (const auto& [name, dropRoot, arrange, readAfter] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(file.parent_path());
        writeBytes(file, foreignDocument);
        ASSERT_EQ(store.objectForKey("hotkeyChannels"), oldChannels);
        const auto body = [&] {
            if (!arrange()) {
                return 2;
            }
            store.setObject(channels, "hotkeyChannels");
            return store.objectForKey("hotkeyChannels") == readAfter ? 0 : 3;
        };
        const int status = dropRoot ? asUnprivilegedUser(temp.path(), body) : inChild(body);
        if (status == cannotDropRoot) {
            GTEST_SKIP() << "cannot switch to an unprivileged user";
        }
        EXPECT_EQ(status, 0);
        const bool replaced = readAfter == channels;
        chmod((file.string() + ".damaged-1").c_str(), 0600);
        EXPECT_EQ(readBytes(replaced ? fs::path(file.string() + ".damaged-1") : file), foreignDocument);
        EXPECT_EQ(besideTheDocument(), replaced ? 1 : 0);
    }
}

} // namespace
