#pragma once

// Streaming, decode-only VCDIFF (RFC 3284) decoder with a per-window Adler-32
// extension. One DeltaStream carries a whole decoding; the caller feeds delta
// bytes through next_in/avail_in and answers the statuses of decode_input
// (delta/loop.h does that for every caller).
//
// Like format.h, keep this header out of translation units that include
// <windows.h>.

#include "delta/format.h"

#include <cstdint>

// Buffers the decoder sizes itself (section copies, the target buffer) are
// whole multiples of this.
constexpr usize_t ALLOCATION_UNIT = 16384;

// Defaults that configure_stream applies to zero fields of DeltaConfig.
constexpr usize_t DEFAULT_WINDOW_SIZE = 8388608;
constexpr usize_t DEFAULT_SPREVSZ = 262144;

// Status codes. 0 is success; the first six negative codes below are requests
// or reports, not failures.
constexpr std::int32_t DECODE_OUT_OF_MEMORY = 12;
constexpr std::int32_t DECODE_NEED_INPUT = -17703;
constexpr std::int32_t DECODE_HAVE_OUTPUT = -17704;
constexpr std::int32_t DECODE_NEED_SOURCE_BLOCK = -17705;
constexpr std::int32_t DECODE_GOT_HEADER = -17706;
constexpr std::int32_t DECODE_WINDOW_START = -17707;
constexpr std::int32_t DECODE_WINDOW_FINISH = -17708;
constexpr std::int32_t DECODE_TOO_FAR_BACK = -17709;
constexpr std::int32_t DECODE_INTERNAL = -17710;
constexpr std::int32_t DECODE_INVALID_INPUT = -17712;
constexpr std::int32_t DECODE_UNIMPLEMENTED = -17714;
constexpr std::int32_t DECODE_CHECKSUM_MISMATCH = -17715;

// Option bits of DeltaConfig::flags, copied to DeltaStream::flags.
constexpr std::uint32_t FLAG_FLUSH = 0x10;
constexpr std::uint32_t FLAG_SECONDARY_DJW = 0x20;
constexpr std::uint32_t FLAG_SECONDARY_FGK = 0x40;
constexpr std::uint32_t FLAG_SECONDARY_NO_DATA = 0x80;
constexpr std::uint32_t FLAG_SECONDARY_NO_INSTRUCTIONS = 0x100;
constexpr std::uint32_t FLAG_SECONDARY_NO_ADDRESSES = 0x200;
constexpr std::uint32_t FLAG_ADLER32 = 0x400;
constexpr std::uint32_t FLAG_SKIP_CHECKSUM = 0x800;
constexpr std::uint32_t FLAG_SECONDARY_LZMA = 0x1000000;

// decode_state values: each state reads one item of the delta.
//
//   file header:  0 -> 1 -> 2 -> 3 -> (4 -> 5 ->) 6 -> 7 -> (8 ->) 9
//   each window:  9 -> 10 -> ... -> 18 (header reported) -> 19 -> 20 -> 21
//                 -> 22 (body; may ask for source blocks) -> 23 (output taken) -> 9
enum DecodeState : std::int32_t {
    STATE_MAGIC = 0,                 // 4 bytes: magic and version
    STATE_HEADER_INDICATOR = 1,      // Hdr_Indicator byte
    STATE_SECONDARY_ID = 2,          // secondary compressor id, if VCD_DECOMPRESS
    STATE_CODE_TABLE_SIZE = 3,       // code-table data length, if VCD_CODETABLE
    STATE_NEAR_SIZE = 4,             // NEAR cache size byte, if VCD_CODETABLE
    STATE_SAME_SIZE = 5,             // SAME cache size byte, if VCD_CODETABLE
    STATE_CODE_TABLE_SETUP = 6,      // refuse VCD_CODETABLE or set up the defaults
    STATE_APP_HEADER_SIZE = 7,       // application header length, if VCD_APPHEADER
    STATE_APP_HEADER = 8,            // application header bytes, if VCD_APPHEADER
    STATE_WINDOW_INDICATOR = 9,      // Win_Indicator byte (clean boundary)
    STATE_SOURCE_LENGTH = 10,        // source segment length, if present
    STATE_SOURCE_POSITION = 11,      // source segment position, if present
    STATE_ENCODING_LENGTH = 12,      // length of the delta encoding
    STATE_TARGET_LENGTH = 13,        // target window length
    STATE_DELTA_INDICATOR = 14,      // Delta_Indicator byte
    STATE_DATA_LENGTH = 15,          // data section length
    STATE_INSTRUCTIONS_LENGTH = 16,  // instructions section length
    STATE_ADDRESSES_LENGTH = 17,     // addresses section length
    STATE_CHECKSUM = 18,             // Adler-32 bytes if present; length rule
    STATE_DATA_SECTION = 19,         // data section bytes
    STATE_INSTRUCTIONS_SECTION = 20, // instructions section bytes
    STATE_ADDRESSES_SECTION = 21,    // addresses section bytes; target buffer
    STATE_WINDOW_BODY = 22,          // executing the window's instructions
    STATE_WINDOW_FINISHED = 23,      // output handed out, waiting for the caller
};

struct DeltaStream;
struct DeltaSource;
struct CodeTable;

// Loads block block_number into source and returns 0, or returns a failure
// status (DECODE_TOO_FAR_BACK when the block can no longer be read). A
// request or report status from the hook is a fault: DECODE_INTERNAL.
using GetBlockHook = std::int32_t (*)(DeltaStream* stream, DeltaSource* source,
                                      usize_t block_number);
// Returns at least count * size bytes, or null.
using AllocHook = void* (*)(void* opaque, std::uint32_t count, usize_t size);
// Returns a block obtained from the matching AllocHook; never called with null.
using FreeHook = void (*)(void* opaque, void* pointer);

struct DeltaConfig {
    usize_t window_size; // 0: DEFAULT_WINDOW_SIZE; recorded only
    usize_t sprevsz;     // 0: DEFAULT_SPREVSZ; must be a power of two; recorded only
    GetBlockHook getblk; // null: blocks are asked for with DECODE_NEED_SOURCE_BLOCK
    AllocHook alloc;     // null: C library allocator
    FreeHook free;       // null: C library release
    void* opaque;        // first argument of every alloc and free call
    std::uint32_t flags; // FLAG_* bits
};

// The caller's view of the source file, one block at a time. The caller owns
// the record and the block buffer.
struct DeltaSource {
    usize_t block_size;                 // caller; set_source rounds it up to a power of two
    usize_t current_block_number;       // caller: block held in current_block
    usize_t block_bytes;                // caller: valid bytes, short only for the last block
    const unsigned char* current_block; // caller: the loaded block, null when none
    usize_t block_shift;                // set_source: log2(block_size)
    usize_t block_mask;                 // set_source: block_size - 1
    usize_t copy_window_block;          // decoder: block of the window's source segment
    usize_t copy_window_block_offset;   // decoder: offset of the segment in that block
    usize_t requested_block_number;     // decoder: block wanted with DECODE_NEED_SOURCE_BLOCK
    // decoder: last block the COPY that wants requested_block_number reaches.
    // A caller that reads ahead can fetch the blocks up to it in one go.
    usize_t requested_last_block;
    // caller: COPYs of at least this many source bytes are asked for as one
    // range, read by the caller straight into the target window; 0: never.
    // Only without a getblk hook.
    usize_t fill_minimum;
    // decoder, with DECODE_NEED_SOURCE_BLOCK when fill_length is not 0: the
    // caller reads fill_length source bytes from fill_position into
    // fill_destination, sets filled_length to the count read (fewer only at
    // the end of the source) and calls decode_input again. set_source and
    // every window start clear all four.
    unsigned char* fill_destination;
    usize_t fill_position;
    usize_t fill_length;
    usize_t filled_length; // caller
};

// One of a window's three sections, either in place in the caller's input or
// gathered into copy.
struct DeltaSection {
    const unsigned char* cursor; // next unread byte
    const unsigned char* end;    // one past the last byte
    usize_t length;              // length from the window header
    usize_t position;            // bytes gathered while incomplete; 0 once complete
    unsigned char* copy;         // owned staging buffer for sections split across inputs
    usize_t copy_capacity;       // size of copy, a multiple of ALLOCATION_UNIT
};

// One half of an instruction code; type 0 means nothing is pending.
struct HalfInstruction {
    std::uint8_t type; // 0 none, 1 ADD, 2 RUN, 3 + mode COPY
    usize_t size;      // bytes still to produce
    usize_t address;   // COPY: window address of the next byte to copy
};

struct DeltaStream {
    const unsigned char* next_in; // next unread delta byte
    usize_t avail_in;             // unread bytes at next_in
    usize_t total_in;             // bytes consumed since configure_stream
    unsigned char* next_out;      // start of the target window
    usize_t avail_out;            // target bytes produced; the whole window with HAVE_OUTPUT
    usize_t space_out;            // capacity of target_buffer
    usize_t current_window;       // window being decoded, from 0
    usize_t total_out;            // target bytes handed out
    const char* message;          // static text of the last failure
    DeltaSource* source;          // attached source, or null

    usize_t window_size;
    usize_t sprevsz;
    GetBlockHook getblk;
    AllocHook alloc;
    FreeHook free;
    void* opaque;
    std::uint32_t flags;

    AddressCache address_cache;
    DecodeState decode_state;

    usize_t header_indicator;
    usize_t window_indicator;
    usize_t delta_indicator;
    unsigned char magic_bytes[4];
    usize_t magic_position;
    usize_t secondary_id;
    usize_t code_table_size;
    usize_t app_header_size;
    unsigned char* app_header; // application header plus a trailing zero byte
    usize_t app_header_position;
    usize_t checksum_position;
    unsigned char checksum_bytes[4];
    std::uint32_t window_checksum;
    // The window's Adler-32 is summed as its bytes are produced, while they
    // are still in the cache: running_checksum covers the first
    // checksummed_bytes of the target window.
    std::uint32_t running_checksum;
    usize_t checksummed_bytes;

    usize_t copy_window_length; // source segment length, 0 without one
    usize_t copy_window_offset; // source segment position
    usize_t encoding_length;
    usize_t target_window_length;
    usize_t integer_accumulator; // integer split across calls
    usize_t window_start;        // offset of the window in the target file
    usize_t window_count;        // windows finished
    usize_t window_section_bytes;

    // Where window address copy_window_length (the first target byte) lies.
    // A pointer to address 0 would point before the buffer, which C++ does
    // not allow, so target addresses are taken relative to the segment end.
    unsigned char* target_base;
    usize_t decode_position; // parse position in the window's address space
    usize_t decode_limit;    // copy_window_length + target_window_length
    HalfInstruction first_half;
    HalfInstruction second_half;

    unsigned char* target_buffer;
    DeltaSection instruction_section;
    DeltaSection address_section;
    DeltaSection data_section;
    const CodeTable* code_table;

    // A failure is final: later calls return it again instead of running on
    // from a half-updated state.
    std::int32_t failed_status;
};

// Zeroes stream and applies config (null: all defaults). First call on a stream.
std::int32_t configure_stream(DeltaStream* stream, const DeltaConfig* config);

// Attaches source and normalises its block size to a power of two. Always 0.
std::int32_t set_source(DeltaStream* stream, DeltaSource* source);

// Consumes input and returns a status telling the caller what to do next.
std::int32_t decode_input(DeltaStream* stream);

// 0 when decoding stopped at a clean boundary (nothing read, or between windows).
std::int32_t close_stream(DeltaStream* stream);

// Releases everything the decoder allocated and zeroes the stream.
void free_stream(DeltaStream* stream);

// (Re)allocates the NEAR and SAME arrays for the sizes in address_cache.
std::int32_t allocate_address_cache(DeltaStream* stream);
