#pragma once

// Code page 850, the console code page of Western European Windows, in which
// the player's console shows text.

// The characters of bytes 0x80 to 0xFF, as Unicode code points.
extern const char16_t CP850_UPPER_HALF[128];
