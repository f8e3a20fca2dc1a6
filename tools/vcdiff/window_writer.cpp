#include "tools/vcdiff/window_writer.h"

#include "delta/adler32.h"
#include "delta/format.h"

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
    return style.seed == 0 || (style.draw(random) & 1) != 0;
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
        return candidates[style.draw(random) % count];
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
    if (!check_window(window, instructions, count) || (style.seed != 0 && style.draw == nullptr)) {
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
