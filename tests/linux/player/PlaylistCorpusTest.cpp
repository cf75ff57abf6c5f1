// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzz corpus of the playlist reader through the fuzz target's own checks,
// then a short randomised run over it: lines dropped, repeated, swapped or cut
// and numbers pushed to their limits, as broken servers and proxies do. The
// seed is fixed, so a failure reproduces; the libFuzzer target in tests/fuzz
// explores further.
#include "tests/fuzz/PlaylistCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace orvo::platform::native::hls;

struct Seed {
    std::string name;
    std::string bytes;
};

std::vector<Seed> seeds()
{
    std::vector<Seed> seeds;
    for (const auto& entry : fs::directory_iterator(ORVO_PLAYLIST_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        seeds.push_back({ entry.path().filename().string(), bytes.str() });
    }
    return seeds;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

class Mutator {
public:
    explicit Mutator(const std::vector<Seed>& seeds)
    {
        for (const auto& seed : seeds) {
            seeds_.push_back(lines(seed.bytes));
        }
    }

    std::string next()
    {
        auto doc = seeds_[pick(seeds_.size())];
        for (std::size_t rounds = 1 + pick(3); rounds > 0; --rounds) {
            mutate(doc);
        }
        std::string text;
        for (const auto& line : doc) {
            text += line + "\n";
        }
        return text;
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    void mutate(std::vector<std::string>& doc)
    {
        if (doc.empty()) {
            doc.emplace_back("#EXTM3U");
            return;
        }
        auto& line = doc[pick(doc.size())];
        switch (pick(6)) {
        case 0:
            doc.erase(doc.begin() + static_cast<std::ptrdiff_t>(pick(doc.size())));
            break;
        case 1: // a line repeated, or one from another playlist
        {
            const auto& from = pick(2) ? doc : seeds_[pick(seeds_.size())];
            const std::string copy = from[pick(from.size())];
            doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(pick(doc.size() + 1)), copy);
            break;
        }
        case 2:
            std::swap(line, doc[pick(doc.size())]);
            break;
        case 3:
            line.resize(pick(line.size() + 1));
            break;
        case 4: { // a number at a limit
            static const char* const numbers[]
                = { "0", "18446744073709551615", "18446744073709551616", "-1", "1.5", "", "99999999999999999999999" };
            const auto digit = line.find_first_of("0123456789");
            if (digit != std::string::npos) {
                const auto end = std::min(line.find_first_not_of("0123456789", digit), line.size());
                line.replace(digit, end - digit, numbers[pick(std::size(numbers))]);
            }
            break;
        }
        case 5: {
            static const std::string bytes = ",=\"@:#\r \x01\x80\xff";
            if (!line.empty()) {
                line[pick(line.size())] = bytes[pick(bytes.size())];
            }
            break;
        }
        }
    }

    std::vector<std::vector<std::string>> seeds_;
    std::mt19937 random_ { 20261206 };
};

TEST(PlaylistCorpus, SeedsHoldTheFuzzChecks)
{
    const auto all = seeds();
    ASSERT_GE(all.size(), 10u);
    for (const auto& seed : all) {
        EXPECT_EQ(orvo::test::checkPlaylist(seed.bytes), "") << seed.name;
        const bool error = std::holds_alternative<ParseError>(parse(seed.bytes, orvo::test::playlistCheckBase));
        EXPECT_EQ(error, seed.name.starts_with("bad-")) << seed.name;
    }
}

TEST(PlaylistCorpus, MutatedPlaylistsHoldTheFuzzChecks)
{
    Mutator mutator(seeds());
    std::size_t accepted = 0;
    constexpr int runs = 10000;
    for (int i = 0; i < runs; ++i) {
        const std::string text = mutator.next();
        ASSERT_EQ(orvo::test::checkPlaylist(text), "") << "playlist:\n" << text;
        accepted += std::holds_alternative<ParseError>(parse(text, orvo::test::playlistCheckBase)) ? 0 : 1;
    }
    // Only worth something if it reaches both sides of the reader.
    EXPECT_GT(accepted, runs / 10u);
    EXPECT_LT(accepted, runs * 9u / 10);
}

} // namespace
