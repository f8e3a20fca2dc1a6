// The movie packet walk over arbitrary region bytes, with arbitrary PCM and
// limits. The region and the PCM lie in buffers of exactly their lengths, so
// any step outside them is caught. The walk only ever writes audio payloads,
// which it never reads back as structure, so walking the rewritten region
// again must visit the same packets and change nothing more; counting the
// region's room must agree with the walk.
//
// Input: PCM length (2 bytes), then that much PCM (or all that is left), then
// the region.

#include "fuzz/decode_feed.h"
#include "movie/rewrite.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    std::size_t pcm_length = std::size_t{data[0]} << 8 | data[1];
    if (pcm_length > size - 2) {
        pcm_length = size - 2;
    }
    const Bytes pcm(data + 2, data + 2 + pcm_length);
    Bytes region(data + 2 + pcm_length, data + size);
    // Buffers never empty-but-null; an empty one still has a valid address.
    const unsigned char* pcm_bytes = pcm.empty() ? data : pcm.data();
    unsigned char* region_bytes = region.empty() ? nullptr : region.data();
    unsigned char nothing = 0;
    if (region_bytes == nullptr) {
        region_bytes = &nothing;
    }
    const std::uint32_t region_length = static_cast<std::uint32_t>(region.size());

    const PacketWalk first = walk_movie_packets(region_bytes, region_length, pcm_bytes, pcm.size());
    fuzz_check(first.pcm_position <= pcm.size() + 65535,
               "more PCM handed out than the limit and one packet");
    // Counting walks the same packets without a limit: it agrees with a walk
    // that the region's end stopped, and never counts less than one the
    // limit stopped.
    const std::uint64_t room = count_movie_pcm_bytes(region_bytes, region_length);
    fuzz_check(first.pcm_position < pcm.size() ? room == first.pcm_position
                                               : room >= first.pcm_position,
               "the count disagrees with the walk");
    const Bytes rewritten = region;
    const PacketWalk second =
        walk_movie_packets(region_bytes, region_length, pcm_bytes, pcm.size());
    fuzz_check(second.region_position == first.region_position &&
                   second.pcm_position == first.pcm_position,
               "a second walk over the rewritten region went another way");
    fuzz_check(region == rewritten, "a second walk changed the region again");
    return 0;
}
