#include "delta/format.h"

std::size_t write_integer(usize_t value, unsigned char* bytes) {
    const std::size_t count = static_cast<std::size_t>(integer_size(value));
    bytes[count - 1] = static_cast<unsigned char>(value & 0x7F);
    for (std::size_t i = count - 1; i-- > 0;) {
        value >>= 7;
        bytes[i] = static_cast<unsigned char>(0x80 | (value & 0x7F));
    }
    return count;
}

void append_integer(std::vector<unsigned char>* out, usize_t value) {
    unsigned char bytes[MAX_INTEGER_BYTES];
    const std::size_t count = write_integer(value, bytes);
    out->insert(out->end(), bytes, bytes + count);
}

namespace {

// RFC 3284's default table, described the way it is generated.
constexpr CodeTableDesc DEFAULT_DESC = {17, 4, 3, 15, 4, 6, 4, 1, 4, 4};

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
