#include "tests/support/vcdiff/encoder.h"

#include "tests/support/random/random.h"

#include <vector>

namespace {

// Polynomial rolling hash over match_block bytes, so that the hash at every
// target position costs O(1).
constexpr std::uint64_t HASH_BASE = 0x100000001B3u;

struct BlockMatcher {
    const unsigned char* source;
    std::uint64_t source_length;
    const unsigned char* target;
    std::uint64_t block;
    std::uint64_t min_run;
    std::uint64_t top_power;                 // HASH_BASE^(block - 1)
    std::vector<std::uint64_t> source_slots; // source position + 1, 0 for none
    unsigned source_bits;
};

std::uint64_t hash_bytes(const unsigned char* bytes, std::uint64_t length) {
    std::uint64_t h = 0;
    for (std::uint64_t i = 0; i < length; i++) {
        h = h * HASH_BASE + bytes[i];
    }
    return h;
}

std::uint64_t slot_of(std::uint64_t hash, unsigned bits) {
    return (hash * 0x9E3779B97F4A7C15u) >> (64 - bits);
}

unsigned table_bits(std::uint64_t entries) {
    unsigned bits = 10;
    while (bits < 40 && (std::uint64_t{1} << bits) < 2 * entries) {
        bits++;
    }
    return bits;
}

void index_source(BlockMatcher* m) {
    const std::uint64_t blocks = m->source_length / m->block;
    m->source_bits = table_bits(blocks);
    m->source_slots.assign(std::size_t{1} << m->source_bits, 0);
    for (std::uint64_t b = 0; b < blocks; b++) {
        const std::uint64_t at = b * m->block;
        m->source_slots[slot_of(hash_bytes(m->source + at, m->block), m->source_bits)] = at + 1;
    }
}

// Adds an ADD of target[begin, end) (absolute positions) to the window's plan.
void plan_add(std::vector<PlannedOp>* plan, std::uint64_t window_begin, std::uint64_t begin,
              std::uint64_t end) {
    if (end > begin) {
        plan->push_back(PlannedOp{VCDIFF_ADD, begin - window_begin, end - begin, 0, false});
    }
}

// Finds ADDs, RUNs and COPYs for target[begin, end).
void plan_block_window(const BlockMatcher& m, std::uint64_t begin, std::uint64_t end,
                       std::vector<PlannedOp>* plan) {
    const std::uint64_t length = end - begin;
    const std::uint64_t block = m.block;
    std::vector<std::uint64_t> hashes;
    if (length >= block) {
        hashes.resize(length - block + 1);
        std::uint64_t h = hash_bytes(m.target + begin, block);
        hashes[0] = h;
        for (std::uint64_t p = 1; p < hashes.size(); p++) {
            h = (h - m.target[begin + p - 1] * m.top_power) * HASH_BASE +
                m.target[begin + p - 1 + block];
            hashes[p] = h;
        }
    }
    const unsigned target_bits = table_bits(hashes.size());
    std::vector<std::uint32_t> target_slots(std::size_t{1} << target_bits, 0);

    std::uint64_t p = begin;
    std::uint64_t add_start = begin;
    std::uint64_t indexed = begin; // target positions below this are in target_slots
    while (p < end) {
        // Positions are absolute here; the plan gets window offsets.
        PlannedOp best = {VCDIFF_ADD, 0, 0, 0, false};

        std::uint64_t run = 1;
        while (p + run < end && m.target[p + run] == m.target[p]) {
            run++;
        }
        if (run >= m.min_run) {
            best = PlannedOp{VCDIFF_RUN, p, run, 0, false};
        }
        if (p + block <= end) {
            const std::uint64_t h = hashes[p - begin];
            if (!m.source_slots.empty()) {
                const std::uint64_t slot = m.source_slots[slot_of(h, m.source_bits)];
                if (slot != 0) {
                    const std::uint64_t s = slot - 1;
                    std::uint64_t n = 0;
                    while (p + n < end && s + n < m.source_length &&
                           m.source[s + n] == m.target[p + n]) {
                        n++;
                    }
                    if (n >= block && n > best.size) {
                        best = PlannedOp{VCDIFF_COPY, p, n, s, true};
                    }
                }
            }
            const std::uint32_t slot = target_slots[slot_of(h, target_bits)];
            if (slot != 0) {
                // May overlap the bytes it produces: the decoder copies in order.
                const std::uint64_t q = begin + slot - 1;
                std::uint64_t n = 0;
                while (p + n < end && m.target[q + n] == m.target[p + n]) {
                    n++;
                }
                if (n >= block && n > best.size) {
                    best = PlannedOp{VCDIFF_COPY, p, n, q, false};
                }
            }
        }

        if (best.size == 0) {
            p++;
        } else {
            if (best.kind == VCDIFF_COPY) {
                // Grow the match backwards into bytes that were to be added.
                const std::uint64_t floor = best.from_source ? 0 : begin;
                while (p > add_start && best.from > floor &&
                       (best.from_source ? m.source[best.from - 1] : m.target[best.from - 1]) ==
                           m.target[p - 1]) {
                    p--;
                    best.from--;
                    best.size++;
                }
            }
            plan_add(plan, begin, add_start, p);
            best.at = p - begin;
            if (best.kind == VCDIFF_COPY && !best.from_source) {
                best.from -= begin;
            }
            plan->push_back(best);
            p += best.size;
            add_start = p;
        }
        while (indexed < p && indexed + block <= end) {
            target_slots[slot_of(hashes[indexed - begin], target_bits)] =
                static_cast<std::uint32_t>(indexed - begin + 1);
            indexed++;
        }
    }
    plan_add(plan, begin, add_start, end);
}

} // namespace

bool vcdiff_encode(const unsigned char* source, std::size_t source_length,
                   const unsigned char* target, std::size_t target_length,
                   const VcdiffEncodeOptions& options, std::vector<unsigned char>* out) {
    if (options.window_size == 0 || options.window_size > VCDIFF_MAX_WINDOW ||
        options.match_block == 0) {
        return false;
    }
    BlockMatcher m = {};
    m.source = source;
    m.source_length = source != nullptr ? source_length : 0;
    m.target = target;
    m.block = options.match_block;
    m.min_run = options.min_run != 0 ? options.min_run : 8;
    m.top_power = 1;
    for (std::uint64_t i = 1; i < m.block; i++) {
        m.top_power *= HASH_BASE;
    }
    if (m.source_length >= m.block) {
        index_source(&m);
    }

    vcdiff_write_header(out, options.app_header, options.app_header_length);

    VcdiffEncodeOptions writing = options;
    if (writing.style.draw == nullptr) {
        writing.style.draw = next_random;
    }
    std::vector<PlannedOp> plan;
    std::vector<VcdiffInstruction> scratch;
    for (std::uint64_t begin = 0; begin < target_length; begin += options.window_size) {
        const std::uint64_t left = target_length - begin;
        const std::uint64_t end = begin + (left < options.window_size ? left : options.window_size);
        plan.clear();
        plan_block_window(m, begin, end, &plan);
        if (!vcdiff_write_planned_window(out, plan, target + begin, end - begin, m.source_length,
                                         writing, &scratch)) {
            return false;
        }
    }
    return true;
}
