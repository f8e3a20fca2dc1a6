#include "platform/console.h"

#include "platform/cp850.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

void open_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is taken, which is fd itself unless an
        // earlier one was missing too and took it.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// Code page 850 bytes are shown in UTF-8, so that a Linux terminal shows the
// letters a Windows console would.
void write_console_cp850(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p < 0x80) {
            std::putchar(*p);
            continue;
        }
        // Every character of the upper half lies below U+0800: two or three
        // bytes of UTF-8.
        const unsigned code = CP850_UPPER_HALF[*p - 0x80];
        if (code < 0x800) {
            std::putchar(static_cast<int>(0xC0 | code >> 6));
        } else {
            std::putchar(static_cast<int>(0xE0 | code >> 12));
            std::putchar(static_cast<int>(0x80 | (code >> 6 & 0x3F)));
        }
        std::putchar(static_cast<int>(0x80 | (code & 0x3F)));
    }
    // The progress line ends in a carriage return and the closing prompt in
    // no line end at all: both must show before the program waits.
    std::fflush(stdout);
}

void write_console_name(const char* name) {
    // The terminal takes the names' own bytes.
    std::fputs(name, stdout);
}
