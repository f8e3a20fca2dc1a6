#include "demo_kit/movie.h"
#include "demo_kit/plan.h"
#include "demo_kit/source_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

// What a walk over a region's bytes finds, read with the player's rules.
struct Walk {
    std::vector<AudioSpan> spans; // from the region's first audio packets, up to the limit
    std::uint64_t stop = 0;       // region position where the limit was reached
    std::uint64_t end = 0;        // where stepping over every unit ends
    int audio_after_stop = 0;
    int private_other = 0;
    int video = 0;
    std::set<std::uint32_t> payload_sizes;
    std::uint32_t first_audio_length = 0;
};

std::uint32_t length_at(const std::vector<unsigned char>& region, std::uint64_t p) {
    return static_cast<std::uint32_t>(region[p + 4] << 8 | region[p + 5]);
}

Walk walk_region(const std::vector<unsigned char>& region, std::uint64_t region_offset,
                 std::uint32_t limit) {
    static const unsigned char PACK[4] = {0x00, 0x00, 0x01, 0xBA};
    static const unsigned char PRIVATE[4] = {0x00, 0x00, 0x01, 0xBD};
    static const unsigned char VIDEO[4] = {0x00, 0x00, 0x01, 0xE0};
    static const unsigned char AUDIO[4] = {0xFF, 0xA0, 0x00, 0x00};
    Walk walk;
    std::uint32_t pcm = 0;
    std::uint32_t keep = 40;
    bool stopped = false;
    std::uint64_t p = 0;
    while (p + 4 <= region.size()) {
        if (!stopped && pcm >= limit) {
            stopped = true;
            walk.stop = p;
        }
        if (std::memcmp(&region[p], PACK, 4) == 0) {
            p += 14;
            continue;
        }
        if (p + 6 > region.size()) {
            break; // the end code
        }
        const std::uint32_t length = length_at(region, p);
        const bool is_private = std::memcmp(&region[p], PRIVATE, 4) == 0;
        if (is_private && std::memcmp(&region[p + 19], AUDIO, 4) == 0) {
            const std::uint32_t payload = length - 17;
            walk.payload_sizes.insert(payload);
            if (walk.first_audio_length == 0) {
                walk.first_audio_length = length;
            }
            if (stopped) {
                ++walk.audio_after_stop;
            } else if (payload > keep) {
                walk.spans.push_back({region_offset + p + 23 + keep, payload - keep, pcm});
                pcm += payload - keep;
            }
            keep = 0;
        } else if (is_private) {
            ++walk.private_other;
        } else if (std::memcmp(&region[p], VIDEO, 4) == 0 && length == 0x7EC) {
            ++walk.video;
        }
        p += length + 6;
    }
    walk.end = p;
    return walk;
}

} // namespace

TEST(KitMovie, RegionsCarryEveryPcmByteWhereThePlayerPutsIt) {
    const std::uint32_t LIMITS[2] = {11558912, 13364224};
    for (unsigned movie = 0; movie < 2; ++movie) {
        MovieLayout layout;
        ASSERT_TRUE(kit_plan_movie(movie, &layout));
        EXPECT_EQ(layout.pcm_limit, LIMITS[movie]);
        std::vector<unsigned char> region(layout.region_length);
        kit_region_bytes(layout, 0, region.data(), region.size());

        const Walk walk = walk_region(region, layout.region_offset, layout.pcm_limit);
        // The packets tile the region up to its end code.
        EXPECT_EQ(walk.end, layout.region_length - 4u) << movie;
        EXPECT_EQ(std::memcmp(&region[region.size() - 4], "\x00\x00\x01\xB9", 4), 0);
        // The layout's own account of the PCM agrees with the bytes.
        ASSERT_EQ(walk.spans.size(), layout.spans.size()) << movie;
        for (std::size_t i = 0; i < walk.spans.size(); ++i) {
            ASSERT_EQ(walk.spans[i].target_offset, layout.spans[i].target_offset) << i;
            ASSERT_EQ(walk.spans[i].length, layout.spans[i].length) << i;
            ASSERT_EQ(walk.spans[i].pcm_offset, layout.spans[i].pcm_offset) << i;
        }
        // The last packet ends exactly at the limit, and audio is left over.
        const AudioSpan& last = walk.spans.back();
        EXPECT_EQ(last.pcm_offset + last.length, layout.pcm_limit) << movie;
        EXPECT_GT(walk.stop, 0u);
        EXPECT_GT(walk.audio_after_stop, 100) << movie;
        // What the stream is made of.
        EXPECT_GT(walk.first_audio_length, 57u);
        EXPECT_GE(walk.payload_sizes.size(), 4u);
        EXPECT_GT(walk.private_other, 100);
        EXPECT_GT(walk.video, 1000);
    }
}

TEST(KitPlan, WindowsCoverTheTargetWithOneOfTheLargestSize) {
    const std::vector<KitWindow> windows = kit_windows();
    std::uint64_t offset = 0;
    int largest = 0;
    for (const KitWindow& window : windows) {
        EXPECT_EQ(window.target_offset, offset);
        EXPECT_LE(window.length, KIT_LARGE_WINDOW_BYTES);
        largest += window.length == KIT_LARGE_WINDOW_BYTES ? 1 : 0;
        offset += window.length;
    }
    EXPECT_EQ(offset, KIT_TARGET_SIZE);
    EXPECT_EQ(largest, 1);
}

TEST(KitPlan, WindowInstructionsBuildTheMoviesAndStayInBounds) {
    MovieLayout movies[2];
    ASSERT_TRUE(kit_plan_movie(0, &movies[0]));
    ASSERT_TRUE(kit_plan_movie(1, &movies[1]));
    const std::vector<KitWindow> windows = kit_windows();
    std::vector<unsigned char> target;
    std::vector<unsigned char> expected;
    WindowPlan plan;
    int without_source = 0;
    int overlapping_copies = 0;
    for (std::size_t index = 0; index < windows.size(); ++index) {
        const KitWindow& window = windows[index];
        const std::uint64_t window_end = window.target_offset + window.length;
        bool has_movie = false;
        for (const MovieLayout& movie : movies) {
            has_movie =
                has_movie || (movie.region_offset < window_end &&
                              movie.region_offset + movie.region_length > window.target_offset);
        }
        // Every movie window, the largest, and the first and last.
        if (!has_movie && index != 0 && index + 1 != windows.size() &&
            window.length != KIT_LARGE_WINDOW_BYTES) {
            continue;
        }
        kit_plan_window(window, index, movies, &plan);
        without_source += plan.window.has_source ? 0 : 1;
        std::uint64_t here = 0;
        for (const KitOp& op : plan.ops) {
            ASSERT_GT(op.size, 0u);
            if (op.kind == VCDIFF_COPY) {
                const std::uint64_t segment = plan.window.source_length;
                if (op.address < segment) {
                    ASSERT_LE(op.address + op.size, segment) << index;
                    ASSERT_LE(plan.window.source_offset + segment, KIT_SOURCE_SIZE) << index;
                } else {
                    ASSERT_LT(op.address - segment, here) << index;
                    overlapping_copies += op.address - segment + op.size > here ? 1 : 0;
                }
            } else {
                ASSERT_LT(op.data, plan.data.size());
            }
            here += op.size;
        }
        ASSERT_EQ(here, window.length) << index;

        target.resize(window.length);
        kit_build_window(plan, target.data());
        for (const MovieLayout& movie : movies) {
            const std::uint64_t start = movie.region_offset > window.target_offset
                                            ? movie.region_offset
                                            : window.target_offset;
            const std::uint64_t movie_end = movie.region_offset + movie.region_length;
            const std::uint64_t end = movie_end < window_end ? movie_end : window_end;
            if (start >= end) {
                continue;
            }
            expected.resize(end - start);
            kit_region_bytes(movie, start - movie.region_offset, expected.data(), expected.size());
            ASSERT_EQ(std::memcmp(target.data() + (start - window.target_offset), expected.data(),
                                  expected.size()),
                      0)
                << "window " << index;
        }
    }
    EXPECT_GT(without_source, 0);
    EXPECT_GT(overlapping_copies, 0);
}
