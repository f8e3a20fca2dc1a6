#pragma once

// Telling the Japanese image from any other file: its exact length and two
// byte signatures at fixed offsets.

enum ImageCheck {
    IMAGE_IS_SOURCE,  // length and both signatures match
    IMAGE_IS_OTHER,   // a file, but not the image
    IMAGE_UNOPENABLE, // the file cannot be opened for reading
};

ImageCheck check_source_image(const char* path);
