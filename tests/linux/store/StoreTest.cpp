// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store on real files in a scratch XDG_CONFIG_HOME.
#include "platform/UserDefaults.h"
#include "platform/linux/store/SettingsFile.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <glib.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using orvo::platform::UserDefaults;
using orvo::platform::Value;
using orvo::platform::native::Json;
using orvo::platform::native::standardSettingsFile;
using orvo::platform::native::WriteStep;

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

class Store : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_setenv("XDG_CONFIG_HOME", (temp.path() / "config").c_str(), TRUE);
        ASSERT_EQ(standardSettingsFile().path(), file);
    }

    // Names in the settings folder other than the document, so a test sees
    // temporary files left behind.
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

    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    orvo::test::TempDir temp;
    fs::path file = temp.path() / "config" / "orvomenu" / "defaults.json";
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
    EXPECT_FALSE(defaults.objectForKey("strings"));
    for (const auto& [key, value] : cases) {
        defaults.setObject(value, key);
    }
    for (const auto& [key, value] : cases) {
        const auto stored = defaults.objectForKey(key);
        ASSERT_TRUE(stored) << key;
        EXPECT_EQ(*stored, value) << key;
    }
    EXPECT_EQ(defaults.arrayForKey("strings"), channels.asArray());
    EXPECT_FALSE(defaults.arrayForKey("text")) << "a string is not a list";

    // The user's settings folder is created for the user alone.
    struct stat info { };
    ASSERT_EQ(stat(file.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(otherEntries().empty());
}

TEST_F(Store, WriteKeepsEveryOtherKeyAsTheFileHoldsIt)
{
    writeBytes(file, foreignDocument);
    const Json before = Json::parse(foreignDocument);

    defaults.setObject(channels, "hotkeyChannels");
    defaults.setObject(Value::boolean(true), "added");

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
    EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), channels);
}

TEST_F(Store, EachReadSeesTheFileAsItIsNow)
{
    defaults.setObject(channels, "hotkeyChannels");
    writeBytes(file, R"({"hotkeyChannels": ["edited by hand"]})");
    EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), Value::stringArray({ "edited by hand" }));
    fs::remove(file);
    EXPECT_FALSE(defaults.objectForKey("hotkeyChannels"));
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
    };
    for (const auto& [name, value] : cases) {
        defaults.setObject(value, "hotkeyChannels");
        EXPECT_EQ(readBytes(file), foreignDocument) << name;
    }
    EXPECT_TRUE(otherEntries().empty());
}

// Files that are not a settings document: each reads as an empty store, is
// never changed by reading, and survives a later write as a kept copy.
TEST_F(Store, UnusableFileReadsEmptyAndIsKeptWhenReplaced)
{
    const std::string oversized = R"({"hotkeyChannels": ["a"], "pad": ")" + std::string(1024 * 1024, 'x') + "\"}";
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
        { "over one MiB", oversized },
    };
    int copies = 0;
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        writeBytes(file, bytes);
        EXPECT_FALSE(defaults.objectForKey("hotkeyChannels"));
        EXPECT_FALSE(defaults.arrayForKey("hotkeyChannels"));
        EXPECT_EQ(readBytes(file), bytes) << "a read changed the file";

        defaults.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), channels);
        const fs::path copy = file.string() + ".damaged-" + std::to_string(++copies);
        EXPECT_EQ(readBytes(copy), bytes);
        EXPECT_EQ(Json::parse(readBytes(file)).size(), 1u);
    }
    EXPECT_EQ(otherEntries().size(), cases.size()) << "only the kept copies";
}

TEST_F(Store, DirectoryInPlaceOfTheFileIsLeftAlone)
{
    fs::create_directories(file);
    writeBytes(file / "inside", "keep");
    EXPECT_FALSE(defaults.objectForKey("hotkeyChannels"));
    defaults.setObject(channels, "hotkeyChannels");
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(readBytes(file / "inside"), "keep");
    EXPECT_FALSE(defaults.objectForKey("hotkeyChannels"));
    EXPECT_TRUE(otherEntries().empty()) << "no temporary file or copy left";
}

TEST_F(Store, FifoInPlaceOfTheFileDoesNotBlock)
{
    fs::create_directories(file.parent_path());
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(defaults.objectForKey("hotkeyChannels"));
    // Kept as a copy like any other unusable file, then replaced.
    defaults.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), channels);
    EXPECT_TRUE(fs::is_fifo(file.string() + ".damaged-1"));
}

TEST(StorePath, FollowsXdgConfigHomeOnlyWhenAbsolute)
{
    orvo::test::TempDir home;
    g_setenv("HOME", home.path().c_str(), TRUE);
    const fs::path fallback = home.path() / ".config" / "orvomenu" / "defaults.json";
    const std::vector<std::pair<const char*, fs::path>> cases = {
        { nullptr, fallback },
        { "", fallback },
        { "relative/config", fallback },
        { "/elsewhere/config", "/elsewhere/config/orvomenu/defaults.json" },
    };
    for (const auto& [value, expected] : cases) {
        if (value) {
            g_setenv("XDG_CONFIG_HOME", value, TRUE);
        } else {
            g_unsetenv("XDG_CONFIG_HOME");
        }
        EXPECT_EQ(orvo::platform::native::defaultSettingsPath(), expected) << (value ? value : "(unset)");
    }
}

// Write failures: whatever step fails, the document stays byte for byte, no
// temporary file is left, and the process goes on.
TEST_F(Store, FailedStepLeavesTheOldDocument)
{
    writeBytes(file, foreignDocument);
    for (const WriteStep failing : { WriteStep::CreateFolder, WriteStep::CreateTemp, WriteStep::WriteTemp,
             WriteStep::SyncTemp, WriteStep::Rename }) {
        SCOPED_TRACE(static_cast<int>(failing));
        standardSettingsFile().setFaultHook([failing](WriteStep step) { return step == failing ? ENOSPC : 0; });
        defaults.setObject(channels, "hotkeyChannels");
        EXPECT_EQ(readBytes(file), foreignDocument);
        EXPECT_TRUE(otherEntries().empty());
    }
    // Once the rename happened the new document stands, even if making the
    // folder entry durable fails.
    standardSettingsFile().setFaultHook([](WriteStep step) { return step == WriteStep::SyncFolder ? EIO : 0; });
    defaults.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), channels);
}

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

// The disk fills up while the temporary file is written: a file-size limit
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
        defaults.setObject(Value::string(std::string(4096, 'x')), "hotkeyChannels");
        return 0; // still running
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), foreignDocument);
    EXPECT_TRUE(otherEntries().empty());
}

// A crash at any step of a write leaves the old or the new document, whole.
TEST_F(Store, CrashAtAnyStepLeavesOldOrNewDocument)
{
    writeBytes(file, foreignDocument);
    for (const WriteStep crashing : { WriteStep::CreateTemp, WriteStep::WriteTemp, WriteStep::SyncTemp,
             WriteStep::Rename, WriteStep::SyncFolder }) {
        SCOPED_TRACE(static_cast<int>(crashing));
        const int status = inChild([&] {
            standardSettingsFile().setFaultHook([crashing](WriteStep step) {
                if (step == crashing) {
                    _exit(42);
                }
                return 0;
            });
            defaults.setObject(channels, "hotkeyChannels");
            return 0;
        });
        ASSERT_EQ(status, 42);
        const auto stored = defaults.objectForKey("hotkeyChannels");
        if (crashing <= WriteStep::Rename) {
            EXPECT_EQ(readBytes(file), foreignDocument);
        } else {
            EXPECT_EQ(stored, channels);
        }
        // Back to the old document for the next step; the crash's temporary
        // file stays, and must not disturb later writes.
        writeBytes(file, foreignDocument);
    }
    defaults.setObject(channels, "hotkeyChannels");
    EXPECT_EQ(defaults.objectForKey("hotkeyChannels"), channels);
    EXPECT_EQ(Json::parse(readBytes(file))["big"], Json::parse(foreignDocument)["big"]);
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
        if (defaults.objectForKey("hotkeyChannels")) {
            return 3;
        }
        defaults.setObject(channels, "hotkeyChannels");
        return defaults.objectForKey("hotkeyChannels") == channels ? 0 : 4;
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
        defaults.setObject(channels, "hotkeyChannels");
        return defaults.objectForKey("hotkeyChannels") == Value::stringArray({ "old" }) ? 0 : 3;
    });
    if (status == cannotDropRoot) {
        GTEST_SKIP() << "cannot switch to an unprivileged user to make a folder read-only";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), foreignDocument);
    EXPECT_TRUE(otherEntries().empty());
}

} // namespace
