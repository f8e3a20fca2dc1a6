#include "movie/rewrite.h"

#include "tests/movie/image_files.h"
#include "tests/support/console.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// This test program carries the first movie's soundtrack but not the second's:
// the rewrite must refuse before it touches either movie.
TEST(MovieRewriteWithoutAudio, FailsAndLeavesTheImageAlone) {
    movie_test::TempFolder folder;
    const std::filesystem::path image = folder.path / "juego_patched.iso";
    make_sparse_file(image, 1551040512);
    // An audio packet where the first movie starts, which a rewrite would fill.
    movie_test::Bytes movie(2048, 0x5A);
    const unsigned char start[] = {0x00, 0x00, 0x01, 0xBA};
    const unsigned char packet[] = {0x00, 0x00, 0x01, 0xBD, 0x07, 0xEC};
    const unsigned char signature[] = {0xFF, 0xA0, 0x00, 0x00};
    std::copy(start, start + 4, movie.begin());
    std::copy(packet, packet + 6, movie.begin() + 14);
    std::copy(signature, signature + 4, movie.begin() + 14 + 19);
    movie_test::write_bytes_at(image, MOVIE_REGIONS[0].offset, movie);

    int handle = -1;
    const std::string path = image.string();
    StdoutCapture capture = start_stdout_capture();
    const int result = rewrite_movie_audio(path.c_str(), "juego_patched.iso", &handle);
    EXPECT_EQ(to_console("Incapaz de escribir en el archivo ISO parcheado.\n"),
              finish_stdout_capture(&capture));
    EXPECT_EQ(0, result);
    EXPECT_EQ(-1, handle);
    EXPECT_EQ(movie, movie_test::read_at(image, MOVIE_REGIONS[0].offset, movie.size()));
}

} // namespace
