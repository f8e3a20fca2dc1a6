#include "platform/console.h"

#include "platform/cp850.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

void open_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1) {
            continue;
        }
        const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

void write_console_cp850(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The code point of the UTF-8 sequence at text, and its length in bytes; a
// byte that starts no valid sequence counts as one character of its own.
static std::uint32_t next_code_point(const unsigned char* text, int* length) {
    const unsigned char lead = text[0];
    int count = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        code = lead & 0x07;
    }
    for (int i = 1; i < count; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            count = 0;
            break;
        }
        code = code << 6 | (text[i] & 0x3F);
    }
    if (count == 0) {
        *length = 1;
        return 0xFFFD;
    }
    *length = count;
    return code;
}

void write_console_name(const char* name) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
    while (*p != 0) {
        if (*p < 0x80) {
            std::putchar(*p++);
            continue;
        }
        int length = 0;
        const std::uint32_t code = next_code_point(p, &length);
        p += length;
        int shown = '?';
        for (int index = 0; index < 128; ++index) {
            if (CP850_UPPER_HALF[index] == code) {
                shown = 0x80 + index;
                break;
            }
        }
        std::putchar(shown);
    }
}
