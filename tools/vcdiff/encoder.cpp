#include "tools/vcdiff/encoder.h"

#include "delta/adler32.h"
#include "delta/format.h"
#include "tools/random/random.h"

#include <cstring>

namespace {

constexpr unsigned FIRST_SAME_MODE = 2 + DEFAULT_NEAR_SIZE;
constexpr unsigned SAME_SLOTS = DEFAULT_SAME_SIZE * 256;

constexpr unsigned HALF_TYPES = HALF_COPY + DEFAULT_MODES;

// Sizes below this in the halves of a double code: the default table's are
// all smaller.
constexpr unsigned PAIR_SIZES = 16;

// The default table's codes by their halves, first code first: every
// instruction needs up to three lookups, and a pass over the table for each
// cost more than the rest of the encoding.
struct CodeIndex {
    std::int16_t single[HALF_TYPES][256]; // -1: none
    std::int16_t pair[HALF_TYPES][PAIR_SIZES][HALF_TYPES][PAIR_SIZES];
};

void build_code_index(CodeIndex* index) {
    std::memset(index, 0xFF, sizeof *index);
    const CodeTable* table = default_code_table();
    for (int code = 256; code-- > 0;) {
        const CodeTableEntry& e = table->entries[code];
        if (e.first_type >= HALF_TYPES || e.second_type >= HALF_TYPES) {
            continue;
        }
        if (e.second_type == HALF_NOOP && e.second_size == 0) {
            index->single[e.first_type][e.first_size] = static_cast<std::int16_t>(code);
        } else if (e.first_size < PAIR_SIZES && e.second_size < PAIR_SIZES) {
            index->pair[e.first_type][e.first_size][e.second_type][e.second_size] =
                static_cast<std::int16_t>(code);
        }
    }
}

// Code for this pair of halves (second type HALF_NOOP for a single), or -1.
// Size 0 asks for the code whose size follows in the instructions section.
int find_code(const CodeIndex& index, unsigned t1, std::uint64_t s1, unsigned t2,
              std::uint64_t s2) {
    if (t2 == HALF_NOOP) {
        return s1 < 256 && s2 == 0 ? index.single[t1][s1] : -1;
    }
    return s1 < PAIR_SIZES && s2 < PAIR_SIZES ? index.pair[t1][s1][t2][s2] : -1;
}

// A decision the style leaves to chance; without a seed the answer is yes.
bool maybe(const VcdiffStyle& style, std::uint64_t* random) {
    return style.seed == 0 || (next_random(random) & 1) != 0;
}

// The decoder's NEAR/SAME cache, mirrored with arrays of its own.
struct Cache {
    usize_t near_slots[DEFAULT_NEAR_SIZE];
    usize_t same_slots[SAME_SLOTS];
    AddressCache cache;
};

void start_cache(Cache* cache) {
    *cache = Cache{};
    cache->cache = {DEFAULT_NEAR_SIZE, DEFAULT_SAME_SIZE, 0, cache->near_slots, cache->same_slots};
}

struct Mode {
    std::uint64_t mode;
    std::uint64_t value; // integer written, or the byte for SAME modes
    std::uint64_t cost;  // bytes in the addresses section
};

Mode choose_mode(const Cache& cache, std::uint64_t address, std::uint64_t here,
                 const VcdiffStyle& style, std::uint64_t* random) {
    Mode candidates[DEFAULT_MODES];
    unsigned count = 0;
    candidates[count++] = Mode{MODE_SELF, address, integer_size(address)};
    candidates[count++] = Mode{MODE_HERE, here - address, integer_size(here - address)};
    for (unsigned k = 0; k < DEFAULT_NEAR_SIZE; k++) {
        if (address >= cache.near_slots[k]) {
            const std::uint64_t v = address - cache.near_slots[k];
            candidates[count++] = Mode{2 + k, v, integer_size(v)};
        }
    }
    const std::uint64_t slot = address % SAME_SLOTS;
    if (cache.same_slots[slot] == address) {
        candidates[count++] =
            Mode{FIRST_SAME_MODE + static_cast<unsigned>(slot / 256), slot % 256, 1};
    }

    if (style.prefer_mode != 0) {
        for (unsigned i = 0; i < count; i++) {
            if (candidates[i].mode + 1 == style.prefer_mode) {
                return candidates[i];
            }
        }
    }
    if (style.seed != 0) {
        return candidates[next_random(random) % count];
    }
    unsigned best = 0;
    for (unsigned i = 1; i < count; i++) {
        if (candidates[i].cost < candidates[best].cost) {
            best = i;
        }
    }
    return candidates[best];
}

struct Sections {
    std::vector<unsigned char> data;
    std::vector<unsigned char> instructions;
    std::vector<unsigned char> addresses;
};

unsigned half_type(const VcdiffInstruction& instruction, const Mode& mode) {
    switch (instruction.kind) {
    case VCDIFF_ADD:
        return HALF_ADD;
    case VCDIFF_RUN:
        return HALF_RUN;
    case VCDIFF_COPY:
        return HALF_COPY + mode.mode;
    }
    return HALF_NOOP;
}

// Writes the size (when the code has none), the data or the address of one
// half. Sizes and addresses go to different sections, so writing the halves
// in order after their code byte matches the decoder's reading order.
void put_half(Sections* sections, Cache* cache, const VcdiffInstruction& instruction,
              unsigned code_size, const Mode& mode) {
    if (code_size == 0) {
        append_integer(&sections->instructions, instruction.size);
    }
    switch (instruction.kind) {
    case VCDIFF_ADD:
        sections->data.insert(sections->data.end(), instruction.bytes,
                              instruction.bytes + instruction.size);
        break;
    case VCDIFF_RUN:
        sections->data.push_back(instruction.bytes[0]);
        break;
    case VCDIFF_COPY:
        if (mode.mode >= FIRST_SAME_MODE) {
            sections->addresses.push_back(static_cast<unsigned char>(mode.value));
        } else {
            append_integer(&sections->addresses, mode.value);
        }
        update_address_cache(&cache->cache, instruction.address);
        break;
    }
}

void put_code(Sections* sections, const VcdiffStyle& style, int code) {
    sections->instructions.push_back(static_cast<unsigned char>(code));
    if (style.code_counts != nullptr) {
        style.code_counts[code]++;
    }
}

bool check_window(const VcdiffWindowSpec& window, const VcdiffInstruction* instructions,
                  std::size_t count) {
    const std::uint64_t segment = window.has_source ? window.source_length : 0;
    if (window.has_source && window.source_offset + window.source_length < window.source_offset) {
        return false;
    }
    if (window.target_length > VCDIFF_MAX_WINDOW) {
        return false;
    }
    std::uint64_t produced = 0;
    for (std::size_t i = 0; i < count; i++) {
        const VcdiffInstruction& in = instructions[i];
        if (in.size > window.target_length - produced) {
            return false;
        }
        switch (in.kind) {
        case VCDIFF_ADD:
            if (in.size != 0 && in.bytes == nullptr) {
                return false;
            }
            break;
        case VCDIFF_RUN:
            if (in.bytes == nullptr) {
                return false;
            }
            break;
        case VCDIFF_COPY:
            if (segment + produced < segment || in.address >= segment + produced) {
                return false;
            }
            if (in.address < segment && in.size > segment - in.address) {
                return false;
            }
            break;
        default:
            return false;
        }
        produced += in.size;
    }
    return produced == window.target_length;
}

void encode_instructions(Sections* sections, std::uint64_t segment,
                         const VcdiffInstruction* instructions, std::size_t count,
                         const VcdiffStyle& style) {
    std::uint64_t random = style.seed;
    Cache cache;
    start_cache(&cache);
    std::vector<CodeIndex> codes(1);
    build_code_index(codes.data());
    const CodeIndex& index = codes[0];
    std::uint64_t here = segment;
    const Mode no_mode = {0, 0, 0};

    std::size_t i = 0;
    while (i < count) {
        const VcdiffInstruction& first = instructions[i];
        const Mode first_mode = first.kind == VCDIFF_COPY
                                    ? choose_mode(cache, first.address, here, style, &random)
                                    : no_mode;
        const unsigned first_type = half_type(first, first_mode);

        if (i + 1 < count && !style.explicit_sizes_only && maybe(style, &random)) {
            const VcdiffInstruction& second = instructions[i + 1];
            int code = -1;
            Mode second_mode = no_mode;
            if (first.kind == VCDIFF_ADD && second.kind == VCDIFF_COPY) {
                // An ADD leaves the cache alone, so the COPY's mode can be
                // chosen now, with here moved past the ADD.
                second_mode = choose_mode(cache, second.address, here + first.size, style, &random);
                code = find_code(index, HALF_ADD, first.size, half_type(second, second_mode),
                                 second.size);
            } else if (first.kind == VCDIFF_COPY && second.kind == VCDIFF_ADD) {
                code = find_code(index, first_type, first.size, HALF_ADD, second.size);
            }
            if (code >= 0) {
                put_code(sections, style, code);
                put_half(sections, &cache, first, default_code_table()->entries[code].first_size,
                         first_mode);
                put_half(sections, &cache, second, default_code_table()->entries[code].second_size,
                         second_mode);
                here += first.size + second.size;
                i += 2;
                continue;
            }
        }

        int code = -1;
        if (!style.explicit_sizes_only && maybe(style, &random)) {
            code = find_code(index, first_type, first.size, HALF_NOOP, 0);
        }
        if (code < 0) {
            code = find_code(index, first_type, 0, HALF_NOOP, 0);
        }
        put_code(sections, style, code);
        put_half(sections, &cache, first, default_code_table()->entries[code].first_size,
                 first_mode);
        here += first.size;
        i++;
    }
}

} // namespace

void vcdiff_write_header(std::vector<unsigned char>* out, const unsigned char* app_header,
                         std::size_t app_header_length) {
    out->insert(out->end(), VCDIFF_MAGIC, VCDIFF_MAGIC + sizeof VCDIFF_MAGIC);
    if (app_header == nullptr) {
        out->push_back(0x00);
        return;
    }
    out->push_back(VCD_APPHEADER);
    append_integer(out, app_header_length);
    out->insert(out->end(), app_header, app_header + app_header_length);
}

bool vcdiff_write_window(std::vector<unsigned char>* out, const VcdiffWindowSpec& window,
                         const VcdiffInstruction* instructions, std::size_t count) {
    const VcdiffStyle cheapest = {};
    return vcdiff_write_window_styled(out, window, instructions, count, cheapest);
}

bool vcdiff_write_window_styled(std::vector<unsigned char>* out, const VcdiffWindowSpec& window,
                                const VcdiffInstruction* instructions, std::size_t count,
                                const VcdiffStyle& style) {
    if (!check_window(window, instructions, count)) {
        return false;
    }
    const std::uint64_t segment = window.has_source ? window.source_length : 0;
    // Sized up front: a window of new data is as large as the window, and
    // growing by doubling would hold up to twice that, twice over.
    std::uint64_t data_bytes = 0;
    for (std::size_t i = 0; i < count; i++) {
        data_bytes += instructions[i].kind == VCDIFF_ADD   ? instructions[i].size
                      : instructions[i].kind == VCDIFF_RUN ? 1
                                                           : 0;
    }
    Sections sections;
    sections.data.reserve(static_cast<std::size_t>(data_bytes));
    encode_instructions(&sections, segment, instructions, count, style);

    const std::uint64_t data = sections.data.size();
    const std::uint64_t inst = sections.instructions.size();
    const std::uint64_t addr = sections.addresses.size();
    const std::uint64_t encoding_length =
        integer_size(window.target_length) + 1 + integer_size(data) + integer_size(inst) +
        integer_size(addr) + data + inst + addr + (window.with_checksum ? CHECKSUM_BYTES : 0);

    // The window header takes at most 1 + 6 integers of 10 bytes + 1 + 4.
    out->reserve(out->size() + static_cast<std::size_t>(data + inst + addr) + 70);
    out->push_back(static_cast<unsigned char>((window.has_source ? VCD_SOURCE : 0) |
                                              (window.with_checksum ? VCD_ADLER32 : 0)));
    if (window.has_source) {
        append_integer(out, window.source_length);
        append_integer(out, window.source_offset);
    }
    append_integer(out, encoding_length);
    append_integer(out, window.target_length);
    out->push_back(0x00); // Delta_Indicator: no secondary compression
    append_integer(out, data);
    append_integer(out, inst);
    append_integer(out, addr);
    if (window.with_checksum) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out->push_back(static_cast<unsigned char>(window.checksum >> shift));
        }
    }
    out->insert(out->end(), sections.data.begin(), sections.data.end());
    out->insert(out->end(), sections.instructions.begin(), sections.instructions.end());
    out->insert(out->end(), sections.addresses.begin(), sections.addresses.end());
    return true;
}

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

bool vcdiff_write_planned_window(std::vector<unsigned char>* out,
                                 const std::vector<PlannedOp>& plan, const unsigned char* target,
                                 std::size_t length, std::uint64_t source_length,
                                 const VcdiffEncodeOptions& options,
                                 std::vector<VcdiffInstruction>* scratch) {
    std::uint64_t low = ~std::uint64_t{0};
    std::uint64_t high = 0;
    for (const PlannedOp& op : plan) {
        if (op.kind == VCDIFF_COPY && op.from_source) {
            low = op.from < low ? op.from : low;
            high = op.from + op.size > high ? op.from + op.size : high;
        }
    }
    if (options.whole_source_segment && source_length != 0) {
        low = 0;
        high = source_length;
    }
    VcdiffWindowSpec window = {};
    if (high != 0) {
        window.has_source = true;
        window.source_offset = low;
        window.source_length = high - low;
    }
    window.target_length = length;
    window.with_checksum = options.with_checksum;
    if (options.with_checksum) {
        window.checksum = adler32(1, target, length);
    }
    scratch->clear();
    for (const PlannedOp& op : plan) {
        std::uint64_t address = 0;
        if (op.kind == VCDIFF_COPY) {
            address = op.from_source ? op.from - low : window.source_length + op.from;
        }
        scratch->push_back(VcdiffInstruction{op.kind, op.size, address, target + op.at});
    }
    return vcdiff_write_window_styled(out, window, scratch->data(), scratch->size(), options.style);
}

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

    std::vector<PlannedOp> plan;
    std::vector<VcdiffInstruction> scratch;
    for (std::uint64_t begin = 0; begin < target_length; begin += options.window_size) {
        const std::uint64_t left = target_length - begin;
        const std::uint64_t end = begin + (left < options.window_size ? left : options.window_size);
        plan.clear();
        plan_block_window(m, begin, end, &plan);
        if (!vcdiff_write_planned_window(out, plan, target + begin, end - begin, m.source_length,
                                         options, &scratch)) {
            return false;
        }
    }
    return true;
}
