#include "demo_kit/plan.h"

#include "demo_kit/source_image.h"
#include "tests/support/random/random.h"

#include <cstring>

// Most windows copy from a 48 MiB segment around the part of the source that
// corresponds to them; every sixth window, and the large one, may copy from
// anywhere in the source.
static constexpr std::uint64_t SEGMENT_BYTES = 48ull << 20;
// Runs of one byte at least this long inside a movie sector become RUNs.
static constexpr std::size_t SHORTEST_RUN = 16;

std::vector<KitWindow> kit_windows() {
    std::vector<KitWindow> windows;
    std::uint64_t offset = 0;
    while (offset < KIT_TARGET_SIZE) {
        std::uint64_t length =
            offset == KIT_LARGE_WINDOW_OFFSET ? KIT_LARGE_WINDOW_BYTES : KIT_WINDOW_BYTES;
        if (length > KIT_TARGET_SIZE - offset) {
            length = KIT_TARGET_SIZE - offset;
        }
        windows.push_back({offset, length, false, 0, 0});
        offset += length;
    }
    return windows;
}

// Appends instructions to a plan, merging each with the one before it where
// the two read as one.
struct Emitter {
    WindowPlan* plan;
    std::uint64_t written; // window bytes produced so far
};

static void emit_add(Emitter* emitter, const unsigned char* bytes, std::uint64_t size) {
    if (size == 0) {
        return;
    }
    std::vector<KitOp>& ops = emitter->plan->ops;
    std::vector<unsigned char>& data = emitter->plan->data;
    if (!ops.empty() && ops.back().kind == VCDIFF_ADD &&
        ops.back().data + ops.back().size == data.size()) {
        ops.back().size += size;
    } else {
        ops.push_back({VCDIFF_ADD, size, 0, data.size()});
    }
    data.insert(data.end(), bytes, bytes + size);
    emitter->written += size;
}

static void emit_run(Emitter* emitter, unsigned char byte, std::uint64_t size) {
    std::vector<KitOp>& ops = emitter->plan->ops;
    std::vector<unsigned char>& data = emitter->plan->data;
    if (!ops.empty() && ops.back().kind == VCDIFF_RUN && data[ops.back().data] == byte) {
        ops.back().size += size;
    } else {
        ops.push_back({VCDIFF_RUN, size, 0, data.size()});
        data.push_back(byte);
    }
    emitter->written += size;
}

static void emit_copy(Emitter* emitter, std::uint64_t address, std::uint64_t size) {
    std::vector<KitOp>& ops = emitter->plan->ops;
    const std::uint64_t segment = emitter->plan->window.source_length;
    // Two copies in a row read as one when the second goes on where the
    // first stopped, on the same side of the source/target border.
    if (!ops.empty() && ops.back().kind == VCDIFF_COPY &&
        ops.back().address + ops.back().size == address &&
        (ops.back().address < segment) == (address < segment)) {
        ops.back().size += size;
    } else {
        ops.push_back({VCDIFF_COPY, size, address, 0});
    }
    emitter->written += size;
}

// Literal bytes, with long runs of one value as RUNs.
static void emit_bytes(Emitter* emitter, const unsigned char* bytes, std::size_t size) {
    std::size_t literal = 0;
    std::size_t i = 0;
    while (i < size) {
        std::size_t j = i;
        while (j < size && bytes[j] == bytes[i]) {
            ++j;
        }
        if (j - i >= SHORTEST_RUN) {
            emit_add(emitter, bytes + literal, i - literal);
            emit_run(emitter, bytes[i], j - i);
            literal = j;
        }
        i = j;
    }
    emit_add(emitter, bytes + literal, size - literal);
}

static std::uint64_t smaller(std::uint64_t a, std::uint64_t b) {
    return a < b ? a : b;
}

// Target bytes [start, end) outside the movies: mostly source copies from
// anywhere in the segment, with new data, fills and copies of this window's
// own earlier bytes, some of them overlapping what they write.
static void plan_image_data(Emitter* emitter, std::uint64_t start, std::uint64_t end,
                            std::uint64_t* random) {
    const KitWindow& window = emitter->plan->window;
    const std::uint64_t segment = window.source_length;
    std::vector<unsigned char> bytes;
    std::uint64_t position = start;
    while (position < end) {
        const std::uint64_t room = end - position;
        const std::uint64_t done = position - window.target_offset;
        const std::uint64_t roll = random_below(random, 100);
        std::uint64_t size = 0;
        if (roll < 78) {
            size = smaller(smaller(16384 + random_below(random, 507904), room), segment);
            emit_copy(emitter, random_below(random, segment - size + 1), size);
        } else if (roll < 86) {
            size = smaller(1 + random_below(random, 8192), room);
            bytes.resize(size);
            for (std::uint64_t i = 0; i < size; ++i) {
                bytes[i] = static_cast<unsigned char>(next_random(random));
            }
            emit_add(emitter, bytes.data(), size);
        } else if (roll < 93) {
            size = smaller(1 + random_below(random, 65536), room);
            const std::uint64_t kind = random_below(random, 4);
            const unsigned char byte = kind == 0 ? 0x00
                                       : kind == 1
                                           ? 0xFF
                                           : static_cast<unsigned char>(next_random(random));
            emit_run(emitter, byte, size);
        } else if (done == 0) {
            size = smaller(512, room);
            emit_run(emitter, 0x20, size);
        } else if (random_below(random, 2) == 0) {
            // From just behind the write position: a repeated pattern.
            const std::uint64_t distance = 1 + random_below(random, smaller(64, done));
            size = smaller(distance + 1 + random_below(random, 32768), room);
            emit_copy(emitter, segment + done - distance, size);
        } else {
            size = smaller(1 + random_below(random, smaller(65536, done)), room);
            emit_copy(emitter, segment + random_below(random, done - size + 1), size);
        }
        position += size;
    }
}

static bool same_sector(const Sector& a, const Sector& b) {
    return a.kind == b.kind && a.payload == b.payload;
}

// Target bytes [start, end) of a movie region. A sector is written out the
// first time the window holds it; later ones copy the same sector sixteen
// back (so that whole stretches become one copy) or the last one like it.
static void plan_movie(Emitter* emitter, const MovieLayout& movie, std::uint64_t start,
                       std::uint64_t end) {
    const KitWindow& window = emitter->plan->window;
    const std::uint64_t segment = window.source_length;
    const std::uint64_t sector_count = movie.sectors.size();
    struct Seen {
        Sector sector;
        std::uint64_t index;
    };
    std::vector<Seen> seen;
    unsigned char bytes[KIT_SECTOR_BYTES];
    for (std::uint64_t s = (start - movie.region_offset) / KIT_SECTOR_BYTES; s < sector_count;
         ++s) {
        const std::uint64_t sector_start = movie.region_offset + s * KIT_SECTOR_BYTES;
        if (sector_start >= end) {
            break;
        }
        const Sector& sector = movie.sectors[s];
        const std::uint64_t low = sector_start > start ? sector_start : start;
        const std::uint64_t high = smaller(end, sector_start + KIT_SECTOR_BYTES);
        const bool whole = low == sector_start && high == sector_start + KIT_SECTOR_BYTES;
        if (whole) {
            Seen* like = nullptr;
            for (Seen& entry : seen) {
                if (same_sector(entry.sector, sector)) {
                    like = &entry;
                }
            }
            std::uint64_t reference = like != nullptr ? like->index : sector_count;
            if (s >= 16 && same_sector(movie.sectors[s - 16], sector) &&
                sector_start - 16 * KIT_SECTOR_BYTES >= start) {
                reference = s - 16;
            }
            if (like == nullptr) {
                seen.push_back({sector, s});
            } else {
                like->index = s;
            }
            if (reference != sector_count) {
                const std::uint64_t from = movie.region_offset + reference * KIT_SECTOR_BYTES;
                emit_copy(emitter, segment + (from - window.target_offset), KIT_SECTOR_BYTES);
                continue;
            }
        }
        kit_sector_bytes(sector, bytes);
        emit_bytes(emitter, bytes + (low - sector_start), high - low);
    }
    const std::uint64_t end_code = movie.region_offset + sector_count * KIT_SECTOR_BYTES;
    const std::uint64_t low = end_code > start ? end_code : start;
    const std::uint64_t high = smaller(end, end_code + KIT_END_CODE_BYTES);
    if (low < high) {
        emit_add(emitter, KIT_END_CODE + (low - end_code), high - low);
    }
}

void kit_plan_window(const KitWindow& window, std::size_t index, const MovieLayout movies[2],
                     WindowPlan* plan) {
    plan->window = window;
    plan->ops.clear();
    plan->data.clear();
    const std::uint64_t window_end = window.target_offset + window.length;

    // The target in zones: image data, movie 0, image data, movie 1, image data.
    struct Zone {
        std::uint64_t start;
        std::uint64_t end;
        int movie; // -1: image data
    };
    const Zone zones[5] = {
        {0, movies[0].region_offset, -1},
        {movies[0].region_offset, movies[0].region_offset + movies[0].region_length, 0},
        {movies[0].region_offset + movies[0].region_length, movies[1].region_offset, -1},
        {movies[1].region_offset, movies[1].region_offset + movies[1].region_length, 1},
        {movies[1].region_offset + movies[1].region_length, KIT_TARGET_SIZE, -1},
    };

    std::uint64_t random = 0xD3170000ull + index;
    // A window made of movie sectors alone needs no source at all.
    plan->window.has_source = false;
    for (const Zone& zone : zones) {
        if (zone.movie < 0 && zone.start < window_end && zone.end > window.target_offset) {
            plan->window.has_source = true;
        }
    }
    if (plan->window.has_source) {
        if (index % 6 == 0 || window.length == KIT_LARGE_WINDOW_BYTES) {
            plan->window.source_offset = 0;
            plan->window.source_length = KIT_SOURCE_SIZE;
        } else {
            const std::int64_t centre =
                static_cast<std::int64_t>(window.target_offset * KIT_SOURCE_SIZE / KIT_TARGET_SIZE);
            const std::int64_t jitter =
                static_cast<std::int64_t>(random_below(&random, 32ull << 20)) - (16ll << 20);
            std::int64_t offset = centre + jitter - static_cast<std::int64_t>(SEGMENT_BYTES / 2);
            const std::int64_t highest = static_cast<std::int64_t>(KIT_SOURCE_SIZE - SEGMENT_BYTES);
            offset = offset < 0 ? 0 : offset > highest ? highest : offset;
            plan->window.source_offset = static_cast<std::uint64_t>(offset);
            plan->window.source_length = SEGMENT_BYTES;
        }
    } else {
        plan->window.source_offset = 0;
        plan->window.source_length = 0;
    }

    Emitter emitter{plan, 0};
    for (const Zone& zone : zones) {
        const std::uint64_t start =
            zone.start > window.target_offset ? zone.start : window.target_offset;
        const std::uint64_t end = smaller(zone.end, window_end);
        if (start >= end) {
            continue;
        }
        if (zone.movie < 0) {
            plan_image_data(&emitter, start, end, &random);
        } else {
            plan_movie(&emitter, movies[zone.movie], start, end);
        }
    }
}

void kit_build_window(const WindowPlan& plan, unsigned char* target) {
    const std::uint64_t segment = plan.window.source_length;
    std::uint64_t position = 0;
    for (const KitOp& op : plan.ops) {
        unsigned char* out = target + position;
        switch (op.kind) {
        case VCDIFF_ADD:
            std::memcpy(out, plan.data.data() + op.data, op.size);
            break;
        case VCDIFF_RUN:
            std::memset(out, plan.data[op.data], op.size);
            break;
        case VCDIFF_COPY:
            if (op.address < segment) {
                kit_source_bytes(plan.window.source_offset + op.address, out, op.size);
            } else if (op.address - segment + op.size <= position) {
                std::memcpy(out, target + (op.address - segment), op.size);
            } else {
                // Overlapping: bytes written by this copy are read again.
                const unsigned char* from = target + (op.address - segment);
                for (std::uint64_t i = 0; i < op.size; ++i) {
                    out[i] = from[i];
                }
            }
            break;
        }
        position += op.size;
    }
}

std::vector<VcdiffInstruction> kit_encoder_instructions(const WindowPlan& plan) {
    std::vector<VcdiffInstruction> instructions;
    instructions.reserve(plan.ops.size());
    for (const KitOp& op : plan.ops) {
        const unsigned char* bytes = op.kind == VCDIFF_COPY ? nullptr : plan.data.data() + op.data;
        instructions.push_back({op.kind, op.size, op.address, bytes});
    }
    return instructions;
}
