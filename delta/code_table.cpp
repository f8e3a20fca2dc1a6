#include "delta/code_table.h"

namespace {

// RFC 3284's default table, described the way it is generated.
constexpr CodeTableDesc DEFAULT_DESC = {17, 4, 3, 15, 4, 6, 4, 1, 4, 4};

// Integers are 64-bit: a value of 2^57 or more would lose its top bits to
// the next 7-bit shift.
constexpr usize_t INTEGER_SHIFT_LIMIT = usize_t{1} << 57;

struct TableWriter {
    CodeTable* table;
    unsigned next;
};

constexpr void put_entry(TableWriter* writer, unsigned first_type, unsigned first_size,
                         unsigned second_type, unsigned second_size) {
    // A description that asks for more than 256 codes is cut short rather
    // than written past the table.
    if (writer->next >= 256) {
        return;
    }
    CodeTableEntry* entry = &writer->table->entries[writer->next++];
    entry->first_type = static_cast<std::uint8_t>(first_type);
    entry->first_size = static_cast<std::uint8_t>(first_size);
    entry->second_type = static_cast<std::uint8_t>(second_type);
    entry->second_size = static_cast<std::uint8_t>(second_size);
}

constexpr void fill_code_table(const CodeTableDesc* desc, CodeTable* table) {
    *table = CodeTable{};
    TableWriter writer = {table, 0};
    const unsigned modes = 2u + desc->near_count + desc->same_count;
    const unsigned first_same_mode = 2u + desc->near_count;

    put_entry(&writer, HALF_RUN, 0, HALF_NOOP, 0);
    put_entry(&writer, HALF_ADD, 0, HALF_NOOP, 0);
    for (unsigned size = 1; size <= desc->add_size_count; size++) {
        put_entry(&writer, HALF_ADD, size, HALF_NOOP, 0);
    }
    for (unsigned mode = 0; mode < modes; mode++) {
        put_entry(&writer, HALF_COPY + mode, 0, HALF_NOOP, 0);
        for (unsigned size = 4; size < 4u + desc->copy_size_count; size++) {
            put_entry(&writer, HALF_COPY + mode, size, HALF_NOOP, 0);
        }
    }
    for (unsigned mode = 0; mode < modes; mode++) {
        const unsigned max =
            mode < first_same_mode ? desc->ac_near_copy_max : desc->ac_same_copy_max;
        for (unsigned add = 1; add <= desc->ac_add_max; add++) {
            for (unsigned copy = 4; copy <= max; copy++) {
                put_entry(&writer, HALF_ADD, add, HALF_COPY + mode, copy);
            }
        }
    }
    for (unsigned mode = 0; mode < modes; mode++) {
        const unsigned max =
            mode < first_same_mode ? desc->ca_near_copy_max : desc->ca_same_copy_max;
        for (unsigned copy = 4; copy <= max; copy++) {
            for (unsigned add = 1; add <= desc->ca_add_max; add++) {
                put_entry(&writer, HALF_COPY + mode, copy, HALF_ADD, add);
            }
        }
    }
}

constexpr CodeTable make_code_table(const CodeTableDesc& desc) {
    CodeTable table = {};
    fill_code_table(&desc, &table);
    return table;
}

// Built by the compiler: there is nothing to set up at run time, so streams
// on any number of threads share it without a lock or a first-use race.
constexpr CodeTable DEFAULT_TABLE = make_code_table(DEFAULT_DESC);

} // namespace

void build_code_table(const CodeTableDesc* desc, CodeTable* table) {
    fill_code_table(desc, table);
}

const CodeTable* default_code_table() {
    return &DEFAULT_TABLE;
}

void reset_address_cache(AddressCache* cache) {
    if (cache->s_near != 0) {
        for (usize_t i = 0; i < cache->s_near; i++) {
            cache->near[i] = 0;
        }
        cache->next_slot = 0;
    }
    if (cache->s_same != 0) {
        for (usize_t i = 0; i < cache->s_same * 256; i++) {
            cache->same[i] = 0;
        }
    }
}

void update_address_cache(AddressCache* cache, usize_t address) {
    if (cache->s_near != 0) {
        cache->near[cache->next_slot] = address;
        cache->next_slot = (cache->next_slot + 1) % cache->s_near;
    }
    if (cache->s_same != 0) {
        cache->same[address % (cache->s_same * 256)] = address;
    }
}

std::int32_t read_integer(DeltaStream* stream, const unsigned char** cursor,
                          const unsigned char* end, usize_t* value) {
    const unsigned char* p = *cursor;
    usize_t v = 0;
    for (;;) {
        if (p == end) {
            stream->message = "end-of-input in read_integer";
            return DECODE_INVALID_INPUT;
        }
        if (v >= INTEGER_SHIFT_LIMIT) {
            stream->message = "overflow in read_intger";
            return DECODE_INVALID_INPUT;
        }
        const unsigned byte = *p++;
        v = (v << 7) | (byte & 0x7Fu);
        if (byte < 0x80) {
            *value = v;
            *cursor = p;
            return 0;
        }
    }
}

std::int32_t decode_address(DeltaStream* stream, usize_t here, usize_t mode,
                            const unsigned char** cursor, const unsigned char* end,
                            usize_t* address) {
    AddressCache* cache = &stream->address_cache;
    const usize_t first_same_mode = cache->s_near + 2;
    usize_t a = 0;

    if (mode < first_same_mode) {
        usize_t v = 0;
        const std::int32_t status = read_integer(stream, cursor, end, &v);
        if (status != 0) {
            return status;
        }
        if (mode == MODE_SELF) {
            a = v;
        } else if (mode == MODE_HERE) {
            a = here - v; // wraps; the caller rejects addresses not below here
        } else {
            a = cache->near[mode - 2] + v;
        }
    } else if (mode < first_same_mode + cache->s_same) {
        if (*cursor == end) {
            stream->message = "address underflow";
            return DECODE_INVALID_INPUT;
        }
        const usize_t byte = **cursor;
        *cursor += 1;
        a = cache->same[(mode - first_same_mode) * 256 + byte];
    } else {
        // The default table has no such mode; only a foreign table could.
        stream->message = "invalid address mode";
        return DECODE_INVALID_INPUT;
    }

    update_address_cache(cache, a);
    *address = a;
    return 0;
}
