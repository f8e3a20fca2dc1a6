#include "tools/make_patch/match.h"
#include "tools/make_patch/source_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string random_bytes(std::uint64_t seed, std::size_t length) {
    std::mt19937_64 random(seed);
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

std::vector<PlannedOp> plan_pair(const std::string& source, const std::string& target) {
    const auto* source_bytes = reinterpret_cast<const unsigned char*>(source.data());
    SourceIndex index;
    EXPECT_TRUE(index_source_memory(source_bytes, source.size(), &index));
    SourceCache cache;
    memory_source_cache(&cache, source_bytes, source.size());
    Matcher matcher;
    init_matcher(&matcher, &index, &cache, target.size());
    std::vector<PlannedOp> plan;
    plan_window(&matcher, reinterpret_cast<const unsigned char*>(target.data()), target.size(),
                &plan);
    free_source_index(&index);
    return plan;
}

bool has_copy(const std::vector<PlannedOp>& plan, std::uint64_t at, std::uint64_t size,
              std::uint64_t from) {
    for (const PlannedOp& op : plan) {
        if (op.kind == VCDIFF_COPY && op.from_source && op.at == at && op.size == size &&
            op.from == from) {
            return true;
        }
    }
    return false;
}

// Matches the source index cannot see whole: one that starts between
// indexed places (found later and taken back to its start), and one too short
// for a block that goes on a word after the last copy from the source ends,
// even when a copy from earlier in the new text came between.
TEST(MatchFinder, FindsMatchesBackwardsAndNearTheLastCopy) {
    const std::string a = random_bytes(1, 300);
    const std::string b = random_bytes(2, 11);
    const std::string c = random_bytes(3, 200);
    const std::string d = random_bytes(4, 40);
    const std::string e = random_bytes(5, 200);
    const std::string g = random_bytes(6, 100);
    struct Case {
        const char* name;
        std::string source;
        std::string target;
        std::uint64_t at, size, from; // the COPY that must be planned
    } cases[] = {
        {"backwards from an indexed block", a, "1234567" + a.substr(1), 7, 299, 1},
        {"a short run after a changed word", a + "cat" + b + "dog" + c,
         a + "chat!" + b + "chien" + c, 305, 11, 303},
        {"a short run after a word left out", a + "cat" + b + "dog" + c, a + b + "chien" + c, 300,
         11, 303},
        {"a short run after a word from the new text", a + "cat" + b + "dog" + c,
         d + a + d + b + "chien" + c, 380, 11, 303},
        {"a short run after a new sentence", a + "cat" + b + "dog" + c, a + e + b + "chien" + c,
         500, 11, 303},
        {"a short run after a cut sentence, once the scan moved on", a + e + b + "dog" + c,
         a + g + b + "chien" + c, 400, 11, 500},
    };
    for (const Case& t : cases) {
        const std::vector<PlannedOp> plan = plan_pair(t.source, t.target);
        EXPECT_TRUE(has_copy(plan, t.at, t.size, t.from)) << t.name;
    }
}

// Lines of words with a third of them translated, words of other lengths
// throughout, so that the old and new text share runs of a word or two
// between changed words. The plan rebuilds the text, and what it adds is
// hardly more than the translated words: the runs between them are copied.
TEST(MatchFinder, CopiesTheRunsBetweenTranslatedWords) {
    const char* words[] = {"the", "door", "opens", "slowly", "and",   "a",      "voice", "calls",
                           "out", "from", "dark",  "hall",   "where", "nobody", "has",   "walked"};
    const char* translated[] = {"la",    "puerta", "abre",  "despacio", "y",      "una",
                                "voz",   "llama",  "fuera", "desde",    "oscura", "sala",
                                "donde", "nadie",  "ha",    "caminado"};
    std::mt19937_64 random(9);
    std::string source;
    std::string target;
    std::size_t new_bytes = 0;
    for (int line = 0; line < 3000; line++) {
        for (int w = 0; w < 8; w++) {
            const std::size_t word = random() % 16;
            source += std::string(words[word]) + " ";
            const bool changed = random() % 3 == 0;
            target += std::string(changed ? translated[word] : words[word]) + " ";
            new_bytes += changed ? std::strlen(translated[word]) : 0;
        }
        source += "\n";
        target += "\n";
    }
    const std::vector<PlannedOp> plan = plan_pair(source, target);
    std::string rebuilt;
    std::size_t added = 0;
    for (const PlannedOp& op : plan) {
        ASSERT_EQ(op.at, rebuilt.size());
        for (std::uint64_t i = 0; i < op.size; i++) {
            rebuilt += op.kind == VCDIFF_ADD   ? target[op.at + i]
                       : op.kind == VCDIFF_RUN ? target[op.at]
                       : op.from_source        ? source[op.from + i]
                                               : rebuilt[op.from + i];
        }
        added += op.kind == VCDIFF_ADD ? op.size : 0;
    }
    EXPECT_EQ(rebuilt, target);
    EXPECT_LT(added, new_bytes * 11 / 10)
        << added << " added for " << new_bytes << " bytes translated";
}

// What a COPY costs under the default code table: sizes 4 to 18 are in the
// code of a single COPY, an ADD of 1 to 4 bytes and a COPY of 4 to 6 share
// one code (4 only for the SAME modes), larger sizes follow the code.
TEST(MatchFinder, PricesCopiesByTheDefaultCodeTable) {
    Matcher matcher;
    SourceIndex index = {};
    SourceCache cache = {};
    init_matcher(&matcher, &index, &cache, 1024);
    const unsigned near0 = 2;
    const unsigned same0 = 2 + DEFAULT_NEAR_SIZE;
    struct Case {
        unsigned mode;
        std::size_t address_bytes;
        std::uint64_t size, pending_add;
        std::size_t cost;
    } cases[] = {
        {MODE_SELF, 3, 4, 0, 4},   {MODE_SELF, 3, 18, 0, 4}, {MODE_SELF, 3, 19, 0, 5},
        {MODE_SELF, 3, 200, 0, 6}, {near0, 1, 5, 3, 1},      {near0, 1, 6, 4, 1},
        {near0, 1, 7, 4, 2},       {near0, 1, 5, 5, 2},      {same0, 1, 4, 2, 1},
        {same0, 1, 5, 2, 2},       {MODE_HERE, 2, 6, 1, 2},  {MODE_HERE, 2, 3, 0, 4},
    };
    for (const Case& t : cases) {
        EXPECT_EQ(t.cost, copy_cost(matcher, t.mode, t.address_bytes, t.size, t.pending_add))
            << "mode " << t.mode << " size " << t.size << " after ADD " << t.pending_add;
    }
}

} // namespace
