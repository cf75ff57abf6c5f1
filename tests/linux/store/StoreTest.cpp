// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store on real files in a scratch folder.
#include "platform/linux/store/SettingsFile.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using orvo::platform::Value;
using namespace orvo::platform::native;
using orvo::test::inChild;
using orvo::test::readFile;
using orvo::test::writeFile;

namespace {

const Value channels = Value::stringArray({ "vessa180a", "", "vessa380a", "", "" });
const Value oldChannels = Value::stringArray({ "old" });

// Left by another version (or the user), with values this one never writes.
const std::string foreignDocument = R"({
  "big": 18446744073709551615,
  "hotkeyChannels": ["old"],
  "ratio": 0.1,
  "window": {"z": 1, "a": [true, null, "x"]},
  "name": "Ünïcödé \ud83d\udcfb"
}
)";

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
    SettingsFile store { file };
};

TEST_F(Store, WritesKeepEveryOtherKeyAsTheFileHoldsIt)
{
    store.setObject(oldChannels, "hotkeyChannels");
    EXPECT_EQ(store.arrayForKey("hotkeyChannels"), oldChannels.asArray());
    // The user's settings are theirs alone.
    EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    writeFile(file, foreignDocument);
    store.setObject(channels, "hotkeyChannels");
    store.setObject(Value::boolean(true), "added");
    // Same keys in the same order, the replaced key in its old place and the
    // new one at the end; no value takes a detour through double.
    Json expected = Json::parse(foreignDocument);
    expected["hotkeyChannels"] = { "vessa180a", "", "vessa380a", "", "" };
    expected["added"] = true;
    const std::string written = expected.dump(2) + "\n";
    EXPECT_EQ(readFile(file), written);

    // Values that would not read back are not written.
    Value deep = Value::string("bottom");
    for (int i = 0; i < 100; ++i) {
        deep = Value::array({ deep });
    }
    for (const auto& value : { Value::array({ Value::number(HUGE_VAL) }), Value::string("\xff\xfe"), deep,
             Value::string(std::string(maxDocumentBytes, 'x')) }) {
        store.setObject(value, "hotkeyChannels");
        EXPECT_EQ(readFile(file), written);
    }
    EXPECT_EQ(besideTheDocument(), 0) << "no temporary file left";
}

// Each reads as an empty store, is not changed by reading, and is kept aside
// by the next write.
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
        writeFile(file, bytes);
        EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
        EXPECT_EQ(readFile(file), bytes) << "a read changed the file";

        store.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
        EXPECT_EQ(readFile(file.string() + ".damaged-" + std::to_string(++copies)), bytes);
        EXPECT_EQ(Json::parse(readFile(file)).size(), 1u);
    }
    EXPECT_EQ(besideTheDocument(), copies) << "only the kept copies";
}

TEST_F(Store, AtAHundredKeptCopiesTheOldestMakesRoom)
{
    for (int n = 1; n <= 100; ++n) {
        writeFile(file.string() + ".damaged-" + std::to_string(n), std::to_string(n));
    }
    writeFile(file, "damaged");
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
    EXPECT_FALSE(fs::exists(file.string() + ".damaged-1"));
    EXPECT_EQ(readFile(file.string() + ".damaged-2"), "2");
    EXPECT_EQ(readFile(file.string() + ".damaged-101"), "damaged");
    EXPECT_EQ(besideTheDocument(), 100);
}

// Neither is read (a FIFO would block). The FIFO is kept aside; the folder
// cannot be, so it stays, and the change holds in memory only.
TEST_F(Store, NoFileInPlaceOfTheDocument)
{
    writeFile(file / "inside", "keep");
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
    EXPECT_EQ(readFile(file / "inside"), "keep");
    EXPECT_EQ(besideTheDocument(), 0);

    fs::remove_all(file);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    store.setObject(oldChannels, "other");
    EXPECT_TRUE(fs::is_fifo(file.string() + ".damaged-1"));
    // What was held in memory is written with the next change that can be.
    EXPECT_EQ(Json::parse(readFile(file)), Json::parse(R"({"hotkeyChannels": ["vessa180a", "", "vessa380a", "", ""],
        "other": ["old"]})"));
}

// A read failing for a reason that may pass says nothing about the file: it is
// neither kept aside nor replaced; the change holds in memory until it can be
// written. (ENFILE or EIO cannot be caused harmlessly: a reader hands out each.)
TEST_F(Store, ReadFailuresThatMayPassLeaveTheFileAlone)
{
    writeFile(file, foreignDocument);
    for (const int error : { EMFILE, ENFILE, ENOMEM, ENOBUFS, EIO, EAGAIN, EINTR }) {
        SCOPED_TRACE(strerror(error));
        int failure = 0;
        SettingsFile flaky(file, [&](const fs::path& path) {
            return failure ? FileBytes { failure, {} } : readSettingsBytes(path);
        });
        ASSERT_EQ(flaky.objectForKey("hotkeyChannels"), oldChannels);
        failure = error;
        flaky.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(readFile(file), foreignDocument);
        EXPECT_EQ(besideTheDocument(), 0) << "kept as damaged";
        EXPECT_EQ(flaky.objectForKey("hotkeyChannels"), channels);
        failure = 0;
        flaky.setObject(Value::boolean(true), "added");
        EXPECT_EQ(Json::parse(readFile(file))["hotkeyChannels"][0], "vessa180a");
        writeFile(file, foreignDocument);
    }
}

// Dotfile managers link the file into a repository: a change replaces the
// link's target and keeps the link. A link out of the user's home is kept
// aside, and the settings go on in a file of their own.
TEST_F(Store, ChangesFollowLinksIntoTheUsersOwnFiles)
{
    g_setenv("HOME", (temp.path() / "home").c_str(), TRUE);
    for (const auto& [where, followed] :
        { std::pair { "home/dotfiles/defaults.json", true }, { "etc/x.json", false } }) {
        SCOPED_TRACE(where);
        fs::remove_all(file.parent_path());
        writeFile(temp.path() / where, foreignDocument);
        fs::create_directories(file.parent_path());
        fs::create_symlink(temp.path() / where, file);
        store.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(Json::parse(readFile(file))["hotkeyChannels"][1], "") << "merged with what the link led to";
        EXPECT_EQ(fs::is_symlink(file), followed);
        EXPECT_EQ(readFile(temp.path() / where) == foreignDocument, !followed);
        EXPECT_EQ(fs::is_symlink(file.string() + ".damaged-1"), !followed);
    }
}

// Two sessions of one user change the settings at the same time: no change
// of either is lost.
TEST_F(Store, ConcurrentWritersLoseNothing)
{
    std::vector<pid_t> writers;
    for (const char* key : { "a", "b" }) {
        if (const pid_t pid = fork(); pid == 0) {
            SettingsFile own(file);
            for (int n = 1; n <= 40; ++n) {
                own.setObject(Value::number(n), std::string(key) + std::to_string(n));
            }
            _exit(0);
        } else {
            writers.push_back(pid);
        }
    }
    for (const pid_t pid : writers) {
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(Json::parse(readFile(file)).size(), 80u);
}

// Permission checks do not apply to root (CI runs as root): such cases run in
// a child that gives up root.
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

// Each in a child, on a store that has read the document: the change holds in
// memory and the old document stays, or (an unreadable file) it is kept aside
// and replaced.
TEST_F(Store, HostileSurroundings)
{
    struct Case {
        const char* name;
        bool dropRoot;
        std::function<bool()> arrange;
        bool replaced;
    };
    const Case cases[] = {
        // The kernel refuses the bytes (EFBIG) even for root, as on a full disk.
        { "full disk", false,
            [] {
                const rlimit limit { 64, 64 };
                return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
            },
            false },
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
            false },
        { "read-only folder", true, [&] { return chmod(file.parent_path().c_str(), 0500) == 0; }, false },
        { "unreadable file", true, [&] { return chmod(file.c_str(), 0) == 0; }, true },
    };
    for (const auto& [name, dropRoot, arrange, replaced] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(file.parent_path());
        writeFile(file, foreignDocument);
        ASSERT_EQ(store.objectForKey("hotkeyChannels"), oldChannels);
        const auto body = [&] {
            if (!arrange()) {
                return 2;
            }
            store.setObject(channels, "hotkeyChannels");
            return store.objectForKey("hotkeyChannels") == channels ? 0 : 3;
        };
        const int status = dropRoot ? asUnprivilegedUser(temp.path(), body) : inChild(body);
        if (status == cannotDropRoot) {
            GTEST_SKIP() << "cannot switch to an unprivileged user";
        }
        EXPECT_EQ(status, 0);
        chmod((file.string() + ".damaged-1").c_str(), 0600);
        EXPECT_EQ(readFile(replaced ? fs::path(file.string() + ".damaged-1") : file), foreignDocument);
        EXPECT_EQ(besideTheDocument(), replaced ? 1 : 0);
    }
}

} // namespace
