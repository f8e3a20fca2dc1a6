#pragma once

// The VCDIFF (RFC 3284) vocabulary that reading and writing share: the
// magic, the indicator bits, the base-128 integers, the default instruction
// code table and the NEAR/SAME address cache. The decoder, the encoders of
// the tools, the tools' header checks and the fuzz seeds all take it from
// here, so that the two directions cannot drift apart.
//
// Note for Windows code: <windows.h> defines `near` and `far` as empty macros,
// which breaks AddressCache below. Keep this header out of translation units
// that include <windows.h>.

#include <cstddef>
#include <cstdint>
#include <vector>

// Every length, offset, position and counter of the decoder.
using usize_t = std::uint64_t;

// Largest target window accepted (64 MiB). It also keeps every single
// transfer and every allocation of the target buffer within 32 bits.
constexpr usize_t HARD_MAX_WINDOW = 67108864;

// The file's first four bytes: "VCD" with the high bits set, version 0.
constexpr unsigned char VCDIFF_MAGIC[4] = {0xD6, 0xC3, 0xC4, 0x00};

// Bits of Hdr_Indicator.
constexpr usize_t VCD_DECOMPRESS = 0x01;
constexpr usize_t VCD_CODETABLE = 0x02;
constexpr usize_t VCD_APPHEADER = 0x04;
// Bits of Win_Indicator; VCD_ADLER32 is the per-window checksum extension.
constexpr usize_t VCD_SOURCE = 0x01;
constexpr usize_t VCD_TARGET = 0x02;
constexpr usize_t VCD_ADLER32 = 0x04;

// Bytes of the Adler-32 a window carries with VCD_ADLER32, most significant
// first.
constexpr usize_t CHECKSUM_BYTES = 4;

// Base-128 integers: seven bits a byte, most significant group first, the
// high bit set on every byte but the last. A 64-bit value takes at most ten.
constexpr std::size_t MAX_INTEGER_BYTES = 10;

// Bytes the integer takes.
inline usize_t integer_size(usize_t value) {
    usize_t size = 1;
    while (size < MAX_INTEGER_BYTES && (value >> (7 * size)) != 0) {
        size++;
    }
    return size;
}

// Writes value into bytes (room for MAX_INTEGER_BYTES); returns the count.
std::size_t write_integer(usize_t value, unsigned char* bytes);

// Appends value to out.
void append_integer(std::vector<unsigned char>* out, usize_t value);

enum IntegerStep {
    INTEGER_MORE,     // more bytes follow
    INTEGER_DONE,     // the value is whole
    INTEGER_OVERFLOW, // the value does not fit 64 bits; value is unchanged
};

// Adds the next byte of an integer to value (0 before the first byte).
inline IntegerStep add_integer_byte(usize_t* value, unsigned byte) {
    // 7 more bits would push bits of a value of 2^57 or more past 64.
    if (*value >= (usize_t{1} << 57)) {
        return INTEGER_OVERFLOW;
    }
    *value = (*value << 7) | (byte & 0x7Fu);
    return byte < 0x80 ? INTEGER_DONE : INTEGER_MORE;
}

// Half-instruction types of a code table entry; COPY in address mode m is
// HALF_COPY + m.
constexpr std::uint8_t HALF_NOOP = 0;
constexpr std::uint8_t HALF_ADD = 1;
constexpr std::uint8_t HALF_RUN = 2;
constexpr std::uint8_t HALF_COPY = 3;

// Address modes below the NEAR modes.
constexpr usize_t MODE_SELF = 0;
constexpr usize_t MODE_HERE = 1;

// The only cache sizes in use: the default code table is built for them.
constexpr usize_t DEFAULT_NEAR_SIZE = 4;
constexpr usize_t DEFAULT_SAME_SIZE = 3;
// COPY address modes of the default table: SELF, HERE, NEAR, SAME.
constexpr usize_t DEFAULT_MODES = 2 + DEFAULT_NEAR_SIZE + DEFAULT_SAME_SIZE;

struct CodeTableEntry {
    std::uint8_t first_type;  // HALF_* of the first half
    std::uint8_t first_size;  // 0: the size follows in the instructions section
    std::uint8_t second_type; // HALF_* of the second half, HALF_NOOP when none
    std::uint8_t second_size;
};

struct CodeTable {
    CodeTableEntry entries[256];
};

// Compact description from which a code table is generated.
struct CodeTableDesc {
    std::uint8_t add_size_count;   // single ADDs with sizes 1..this
    std::uint8_t near_count;       // NEAR modes
    std::uint8_t same_count;       // SAME modes
    std::uint8_t copy_size_count;  // single COPYs with sizes 4..this + 3
    std::uint8_t ac_add_max;       // ADD sizes 1..this in ADD+COPY pairs
    std::uint8_t ac_near_copy_max; // COPY sizes 4..this in ADD+COPY, modes below SAME
    std::uint8_t ac_same_copy_max; // same for the SAME modes
    std::uint8_t ca_add_max;       // ADD sizes 1..this in COPY+ADD pairs
    std::uint8_t ca_near_copy_max; // COPY sizes 4..this in COPY+ADD, modes below SAME
    std::uint8_t ca_same_copy_max; // same for the SAME modes
};

// The process-wide default table, built at compile time: safe from any thread.
const CodeTable* default_code_table();

// Fills table from desc; entries the description does not reach stay NOOP.
void build_code_table(const CodeTableDesc* desc, CodeTable* table);

// RFC 3284 NEAR/SAME cache of recent COPY addresses. The decoder allocates
// the arrays through its hooks; an encoder points them at its own.
struct AddressCache {
    usize_t s_near;    // NEAR slots
    usize_t s_same;    // SAME groups of 256 slots
    usize_t next_slot; // NEAR slot written next
    usize_t* near;     // s_near addresses
    usize_t* same;     // s_same * 256 addresses
};

// Clears both arrays; run at every window start.
void reset_address_cache(AddressCache* cache);

// Enters a COPY address into the cache as RFC 3284 prescribes. Inline: the
// decoder runs it for every COPY.
inline void update_address_cache(AddressCache* cache, usize_t address) {
    if (cache->s_near != 0) {
        cache->near[cache->next_slot] = address;
        cache->next_slot = (cache->next_slot + 1) % cache->s_near;
    }
    if (cache->s_same != 0) {
        cache->same[address % (cache->s_same * 256)] = address;
    }
}
