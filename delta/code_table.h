#pragma once

// The RFC 3284 default instruction code table, the NEAR/SAME address cache
// and the readers of integers and addresses from a window section in memory.

#include "delta/stream.h"

#include <cstdint>

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

// Clears both arrays; run at every window start.
void reset_address_cache(AddressCache* cache);

// Enters a decoded COPY address into the cache as RFC 3284 prescribes.
void update_address_cache(AddressCache* cache, usize_t address);

// Reads one base-128 integer from [*cursor, end). On success moves *cursor
// past it; on failure leaves *cursor alone and sets stream->message.
std::int32_t read_integer(DeltaStream* stream, const unsigned char** cursor,
                          const unsigned char* end, usize_t* value);

// Decodes the address of a COPY parsed at window position here in the given
// mode, reading from the addresses section, and enters it into the cache.
std::int32_t decode_address(DeltaStream* stream, usize_t here, usize_t mode,
                            const unsigned char** cursor, const unsigned char* end,
                            usize_t* address);
