// SPDX-License-Identifier: GPL-3.0-or-later
// A short randomised run over the settings reader: documents from the fuzz
// corpus, mutated the way a crash, a bad editor or a full disk damages them.
// The seed is fixed, so a failure reproduces; the libFuzzer target in
// tests/fuzz explores further.
#include "platform/UserDefaults.h"
#include "platform/linux/store/SettingsFile.h"
#include "tests/fuzz/SettingsDocumentCheck.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> seedDocuments()
{
    std::vector<std::string> seeds;
    for (const auto& entry : fs::directory_iterator(ORVO_SETTINGS_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        seeds.push_back(bytes.str());
    }
    return seeds;
}

class Mutator {
public:
    explicit Mutator(std::vector<std::string> seeds)
        : seeds_(std::move(seeds))
    {
    }

    std::string next()
    {
        std::string doc = seeds_[pick(seeds_.size())];
        const std::size_t rounds = 1 + pick(4);
        for (std::size_t i = 0; i < rounds; ++i) {
            mutate(doc);
        }
        return doc;
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    char interestingByte()
    {
        // Mostly JSON's own punctuation and escapes, sometimes any byte.
        static const std::string punctuation = "{}[]\",:\\/0123456789.eE+-tfnlrsu \t\n";
        if (pick(4) == 0) {
            return static_cast<char>(pick(256));
        }
        return punctuation[pick(punctuation.size())];
    }

    void mutate(std::string& doc)
    {
        const std::size_t at = doc.empty() ? 0 : pick(doc.size() + 1);
        switch (pick(7)) {
        case 0: // flip a byte
            if (!doc.empty()) {
                doc[pick(doc.size())] = interestingByte();
            }
            break;
        case 1: // insert a byte
            doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(at), interestingByte());
            break;
        case 2: // cut a piece out
            if (!doc.empty()) {
                doc.erase(pick(doc.size()), 1 + pick(8));
            }
            break;
        case 3: // truncate, as a crash mid-write would
            doc.resize(at);
            break;
        case 4: { // repeat a piece
            if (doc.empty()) {
                break;
            }
            const std::size_t from = pick(doc.size());
            const std::string piece = doc.substr(from, 1 + pick(16));
            doc.insert(at, piece);
            break;
        }
        case 5: { // splice in part of another document
            const std::string& other = seeds_[pick(seeds_.size())];
            doc.insert(at, other.substr(pick(other.size()), 1 + pick(32)));
            break;
        }
        case 6: // wrap in brackets, up to and beyond the nesting cap
            doc.insert(at, std::string(pick(80), pick(2) ? '[' : '{'));
            break;
        }
    }

    std::vector<std::string> seeds_;
    std::mt19937 random_ { 20240611 };
};

TEST(SettingsReader, MutatedDocumentsNeverBreakTheReader)
{
    const auto seeds = seedDocuments();
    ASSERT_FALSE(seeds.empty());
    for (const auto& seed : seeds) {
        EXPECT_EQ(orvo::test::checkSettingsDocument(seed), "") << seed;
        EXPECT_TRUE(orvo::platform::native::parseDocument(seed)) << "seed not accepted: " << seed;
    }
    Mutator mutator(seeds);
    std::size_t accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string doc = mutator.next();
        const std::string problem = orvo::test::checkSettingsDocument(doc);
        ASSERT_EQ(problem, "") << "document: " << doc;
        accepted += orvo::platform::native::parseDocument(doc) ? 1 : 0;
    }
    // The run is only worth something if it reaches both sides of the reader.
    EXPECT_GT(accepted, 200u);
    EXPECT_LT(accepted, 19800u);
}

// The same damage on disk, through the store: reads return and never write.
TEST(SettingsReader, MutatedFilesReadWithoutChange)
{
    orvo::test::TempDir temp;
    g_setenv("XDG_CONFIG_HOME", temp.path().c_str(), TRUE);
    auto& defaults = orvo::platform::UserDefaults::standardUserDefaults();
    const fs::path file = orvo::platform::native::standardSettingsFile().path();
    fs::create_directories(file.parent_path());
    Mutator mutator(seedDocuments());
    for (int i = 0; i < 1000; ++i) {
        const std::string doc = mutator.next();
        std::ofstream(file, std::ios::binary | std::ios::trunc) << doc;
        defaults.objectForKey("hotkeyChannels");
        defaults.objectForKey("window");
        std::ifstream in(file, std::ios::binary);
        std::ostringstream after;
        after << in.rdbuf();
        ASSERT_EQ(after.str(), doc) << "a read changed the file";
    }
}

} // namespace
