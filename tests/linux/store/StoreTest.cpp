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
#include <sstream>

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
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
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
    // Names beside the document: kept copies, or temporary files left behind.
    std::vector<std::string> otherEntries() const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(file.parent_path(), error)) {
            if (entry.path() != file) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    orvo::test::TempDir temp;
    fs::path file = temp.path() / "orvomenu" / "defaults.json";
    int reads = 0;
    SettingsFile store { file, [this](const fs::path& path) {
                            ++reads;
                            return readSettingsBytes(path);
                        } };
};

TEST_F(Store, ValuesOfEveryKindReadBackAsWritten)
{
    const std::vector<std::pair<std::string, Value>> cases = {
        { "null", Value() },
        { "true", Value::boolean(true) },
        { "integer", Value::number(-42) },
        { "fraction", Value::number(0.1) },
        { "huge", Value::number(1e300) },
        { "text", Value::string("Ünïcödé \"quoted\" \\ \n 📻") },
        { "empty text", Value::string("") },
        { "strings", channels },
        { "mixed", Value::array({ Value::string("a"), Value::number(1), Value(), Value::array({}) }) },
        { "object",
            Value::object({ { "z", Value::number(1) }, { "a", Value::boolean(false) }, { "m", Value::object({}) } }) },
    };
    EXPECT_FALSE(store.objectForKey("strings"));
    for (const auto& [key, value] : cases) {
        store.setObject(value, key);
    }
    for (const auto& [key, value] : cases) {
        EXPECT_EQ(store.objectForKey(key), value) << key;
    }
    EXPECT_EQ(store.arrayForKey("strings"), channels.asArray());
    EXPECT_FALSE(store.arrayForKey("text")) << "a string is not a list";

    // The user's settings are theirs alone.
    EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(otherEntries().empty());
}

TEST_F(Store, WriteKeepsEveryOtherKeyAsTheFileHoldsIt)
{
    writeBytes(file, foreignDocument);
    const Json before = Json::parse(foreignDocument);

    store.setObject(channels, "hotkeyChannels");
    store.setObject(Value::boolean(true), "added");

    const Json after = Json::parse(readBytes(file));
    // Same keys in the same order, the replaced key in its old place and the
    // new one at the end.
    std::vector<std::string> keys;
    for (const auto& item : after.items()) {
        keys.push_back(item.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string> { "big", "hotkeyChannels", "ratio", "window", "name", "added" }));
    // Integer stays integer (no detour through double), member order kept.
    EXPECT_TRUE(after["big"].is_number_unsigned());
    EXPECT_EQ(after["big"], before["big"]);
    EXPECT_EQ(after["ratio"], before["ratio"]);
    EXPECT_EQ(after["window"].dump(), before["window"].dump());
    EXPECT_EQ(after["name"], before["name"]);
    EXPECT_EQ(store.objectForKey("hotkeyChannels"), channels);
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
        { "not a number", Value::number(std::nan("")) },
        { "infinite", Value::array({ Value::number(HUGE_VAL) }) },
        { "not UTF-8", Value::string("\xff\xfe") },
        { "too deep", deep },
        { "over the size cap", Value::string(std::string(maxDocumentBytes, 'x')) },
    };
    for (const auto& [name, value] : cases) {
        store.setObject(value, "hotkeyChannels");
        EXPECT_EQ(readBytes(file), foreignDocument) << name;
    }
    EXPECT_TRUE(otherEntries().empty());
}

// Files that are not a settings document: each reads as an empty store, is
// never changed by reading, and survives a later write as a kept copy.
TEST_F(Store, UnusableFileReadsEmptyAndIsKeptWhenReplaced)
{
    const std::string oversized = R"({"hotkeyChannels": ["a"], "pad": ")" + std::string(64 * 1024, 'x') + "\"}";
    const std::string deep = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "empty", "" },
        { "truncated", R"({"hotkeyChannels": ["a", )" },
        { "trailing garbage", R"({"hotkeyChannels": ["a"]} x)" },
        { "list at top", R"(["hotkeyChannels"])" },
        { "string at top", R"("hotkeyChannels")" },
        { "number too large", R"({"hotkeyChannels": ["a"], "n": 1e400})" },
        { "not UTF-8", "{\"hotkeyChannels\": [\"\xc3\x28\"]}" },
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
    EXPECT_EQ(otherEntries().size(), cases.size()) << "only the kept copies";
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
    EXPECT_EQ(otherEntries().size(), 100u);
}

TEST_F(Store, DirectoryInPlaceOfTheFileIsLeftAlone)
{
    writeBytes(file / "inside", "keep");
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    store.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(readBytes(file / "inside"), "keep");
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    EXPECT_TRUE(otherEntries().empty()) << "no temporary file or copy left";
}

TEST_F(Store, FifoInPlaceOfTheFileDoesNotBlock)
{
    fs::create_directories(file.parent_path());
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(store.objectForKey("hotkeyChannels"));
    // Kept as a copy like any other unusable file, then replaced.
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
        EXPECT_TRUE(otherEntries().empty()) << "kept as damaged";
        EXPECT_EQ(flaky.objectForKey("hotkeyChannels"), oldChannels);
        failure = 0;
        flaky.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(flaky.objectForKey("hotkeyChannels"), channels);
        writeBytes(file, foreignDocument);
    }
}

// The same through the real reader: a process out of file descriptors.
TEST_F(Store, RunningOutOfFileDescriptorsIsNotDamage)
{
    writeBytes(file, foreignDocument);
    ASSERT_EQ(store.objectForKey("hotkeyChannels"), oldChannels);
    const std::string changed = R"({"hotkeyChannels": ["changed"]})";
    writeBytes(file, changed);
    const int status = inChild([&] {
        const rlimit limit { 64, 64 };
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 2;
        }
        while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) { }
        if (errno != EMFILE) {
            return 3;
        }
        store.setObject(channels, "hotkeyChannels");
        return store.objectForKey("hotkeyChannels") == oldChannels ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), changed);
    EXPECT_TRUE(otherEntries().empty()) << "kept as damaged";
}

// The disk fills up while the new document is written: a file-size limit
// makes the kernel refuse the bytes (EFBIG) even for root, like a full disk.
TEST_F(Store, FullDiskLeavesTheOldDocument)
{
    writeBytes(file, foreignDocument);
    const int status = inChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { 64, 64 };
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 2;
        }
        store.setObject(Value::string(std::string(4096, 'x')), "hotkeyChannels");
        return 0; // still running
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), foreignDocument);
    EXPECT_TRUE(otherEntries().empty());
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

TEST_F(Store, UnreadableFileReadsEmptyAndIsKeptWhenReplaced)
{
    writeBytes(file, foreignDocument);
    const int status = asUnprivilegedUser(temp.path(), [&] {
        if (chmod(file.c_str(), 0) != 0) {
            return 2;
        }
        if (store.objectForKey("hotkeyChannels")) {
            return 3;
        }
        store.setObject(channels, "hotkeyChannels");
        return store.objectForKey("hotkeyChannels") == channels ? 0 : 4;
    });
    if (status == cannotDropRoot) {
        GTEST_SKIP() << "cannot switch to an unprivileged user to make a file unreadable";
    }
    EXPECT_EQ(status, 0);
    chmod((file.string() + ".damaged-1").c_str(), 0600);
    EXPECT_EQ(readBytes(file.string() + ".damaged-1"), foreignDocument);
}

TEST_F(Store, ReadOnlyFolderLeavesTheOldDocument)
{
    writeBytes(file, foreignDocument);
    const int status = asUnprivilegedUser(temp.path(), [&] {
        if (chmod(file.parent_path().c_str(), 0500) != 0) {
            return 2;
        }
        store.setObject(channels, "hotkeyChannels");
        return store.objectForKey("hotkeyChannels") == oldChannels ? 0 : 3;
    });
    if (status == cannotDropRoot) {
        GTEST_SKIP() << "cannot switch to an unprivileged user to make a folder read-only";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), foreignDocument);
    EXPECT_TRUE(otherEntries().empty());
}

} // namespace
