#include "delta/summary.h"

#include "delta/stream.h"

#include <cstdio>
#include <cstring>

namespace {

struct Cursor {
    const unsigned char* bytes;
    usize_t length;
    usize_t position;
};

bool read_byte(Cursor* cursor, unsigned* byte) {
    if (cursor->position >= cursor->length) {
        return false;
    }
    *byte = cursor->bytes[cursor->position++];
    return true;
}

bool read_number(Cursor* cursor, usize_t* value) {
    *value = 0;
    for (;;) {
        unsigned byte = 0;
        if (!read_byte(cursor, &byte)) {
            return false;
        }
        switch (add_integer_byte(value, byte)) {
        case INTEGER_MORE:
            break;
        case INTEGER_DONE:
            return true;
        case INTEGER_OVERFLOW:
            return false;
        }
    }
}

// Moves past count bytes that must all be there.
bool skip(Cursor* cursor, usize_t count) {
    if (count > cursor->length - cursor->position) {
        return false;
    }
    cursor->position += count;
    return true;
}

// The sizes, when the application header is exactly write_sizes_header's.
void read_sizes(const unsigned char* header, usize_t length, PatchSummary* summary) {
    char text[SIZES_HEADER_CAPACITY];
    if (length >= sizeof text) {
        return;
    }
    std::memcpy(text, header, static_cast<std::size_t>(length));
    text[length] = '\0';
    unsigned long long source = 0;
    unsigned long long target = 0;
    int end = 0;
    if (std::sscanf(text, "make-patch: source %llu bytes, target %llu bytes%n", &source, &target,
                    &end) == 2 &&
        static_cast<usize_t>(end) == length) {
        char again[SIZES_HEADER_CAPACITY];
        // Digits sscanf also takes (a sign, leading zeros) are not what the
        // writer makes: only the exact text counts.
        if (write_sizes_header(source, target, again) == length &&
            std::memcmp(again, text, static_cast<std::size_t>(length)) == 0) {
            summary->sizes_announced = true;
            summary->announced_source_bytes = source;
            summary->announced_target_bytes = target;
        }
    }
}

std::int32_t refuse(const char** message, const char* why) {
    *message = why;
    return DECODE_INVALID_INPUT;
}

} // namespace

std::size_t write_sizes_header(usize_t source_bytes, usize_t target_bytes, char* text) {
    const int length =
        // 47 bytes of text and two numbers of at most 20 digits fit in 96.
        std::snprintf(text, SIZES_HEADER_CAPACITY,
                      "make-patch: source %llu bytes, target %llu bytes",
                      static_cast<unsigned long long>(source_bytes),
                      static_cast<unsigned long long>(target_bytes));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::int32_t summarize_patch(const unsigned char* bytes, usize_t length, PatchSummary* summary,
                             const char** message) {
    *summary = PatchSummary{};
    *message = nullptr;
    Cursor cursor{bytes, length, 0};
    if (length < sizeof VCDIFF_MAGIC ||
        std::memcmp(bytes, VCDIFF_MAGIC, sizeof VCDIFF_MAGIC) != 0) {
        return refuse(message, "not a VCDIFF patch");
    }
    cursor.position = sizeof VCDIFF_MAGIC;
    unsigned indicator = 0;
    if (!read_byte(&cursor, &indicator)) {
        return refuse(message, "patch ends inside its header");
    }
    // Secondary compression and own code tables are refused by the decoder.
    if ((indicator & ~unsigned{VCD_APPHEADER}) != 0) {
        return refuse(message, "unsupported header indicator");
    }
    if ((indicator & VCD_APPHEADER) != 0) {
        usize_t header_length = 0;
        if (!read_number(&cursor, &header_length)) {
            return refuse(message, "patch ends inside its header");
        }
        const usize_t start = cursor.position;
        if (!skip(&cursor, header_length)) {
            return refuse(message, "patch ends inside its application header");
        }
        read_sizes(bytes + start, header_length, summary);
    }
    while (cursor.position < cursor.length) {
        unsigned window = 0;
        read_byte(&cursor, &window);
        usize_t value = 0;
        const usize_t segment = window & (VCD_SOURCE | VCD_TARGET);
        if (segment == VCD_SOURCE || segment == VCD_TARGET) {
            if (!read_number(&cursor, &value) || !read_number(&cursor, &value)) {
                return refuse(message, "patch ends inside a window header");
            }
        }
        usize_t encoding = 0;
        usize_t target = 0;
        if (!read_number(&cursor, &encoding)) {
            return refuse(message, "patch ends inside a window header");
        }
        const usize_t encoding_start = cursor.position;
        // The target length opens the delta encoding, which is skipped whole.
        if (!read_number(&cursor, &target) || cursor.position - encoding_start > encoding) {
            return refuse(message, "patch ends inside a window header");
        }
        cursor.position = encoding_start;
        if (!skip(&cursor, encoding)) {
            return refuse(message, "patch ends inside a window");
        }
        if (target > ~usize_t{0} - summary->target_bytes) {
            return refuse(message, "the windows' target lengths add up past 64 bits");
        }
        summary->target_bytes += target;
        ++summary->windows;
    }
    return 0;
}
