#include "delta/code_table.h"

std::int32_t read_integer(DeltaStream* stream, const unsigned char** cursor,
                          const unsigned char* end, usize_t* value) {
    const unsigned char* p = *cursor;
    usize_t v = 0;
    for (;;) {
        if (p == end) {
            stream->message = "end-of-input in read_integer";
            return DECODE_INVALID_INPUT;
        }
        switch (add_integer_byte(&v, *p)) {
        case INTEGER_MORE:
            p++;
            break;
        case INTEGER_DONE:
            *value = v;
            *cursor = p + 1;
            return 0;
        case INTEGER_OVERFLOW:
            stream->message = "overflow in read_intger";
            return DECODE_INVALID_INPUT;
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
