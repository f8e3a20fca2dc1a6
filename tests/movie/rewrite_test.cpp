#include "movie/rewrite.h"

#include "platform/file.h"
#include "platform/resource.h"
#include "tests/movie/image_files.h"
#include "tests/support/console.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using movie_test::Bytes;
using movie_test::TempFolder;

const std::uint64_t PATCHED_IMAGE_BYTES = 1551040512;
const std::size_t PACK_BYTES = 2048;
const std::size_t PAYLOAD_BYTES = 2011; // packet length 07 EC less 17
const std::size_t SENTINEL_BYTES = 16;

// One 2,048-byte pack: a 14-byte pack header and a packet of length 07 EC.
void add_pack(Bytes* movie, unsigned char stream, unsigned char filler) {
    const unsigned char header[14] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                      0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    for (unsigned char byte : header) {
        movie->push_back(byte);
    }
    const std::size_t packet = movie->size();
    movie->resize(packet + 6 + 0x07EC, filler);
    const unsigned char prefix[6] = {0x00, 0x00, 0x01, stream, 0x07, 0xEC};
    std::copy(prefix, prefix + 6, movie->begin() + static_cast<long>(packet));
    if (stream == 0xBD) {
        const unsigned char signature[4] = {0xFF, 0xA0, 0x00, 0x00};
        std::copy(signature, signature + 4, movie->begin() + static_cast<long>(packet + 19));
    }
}

struct Movie {
    Bytes bytes;                       // from the region's start
    std::vector<std::size_t> payloads; // region offsets of the audio payloads
};

// A video pack, then audio packs, then nothing (zeros) to the region's end.
Movie small_movie(unsigned char filler, std::size_t audio_packs) {
    Movie movie;
    add_pack(&movie.bytes, 0xE0, filler);
    for (std::size_t pack = 0; pack < audio_packs; ++pack) {
        movie.payloads.push_back(movie.bytes.size() + 14 + 23);
        add_pack(&movie.bytes, 0xBD, static_cast<unsigned char>(filler + pack + 1));
    }
    return movie;
}

// The soundtrack as the packets should receive it: decoded stereo PCM up to
// the limit, silence after.
Bytes decoded(const MovieAudio& audio) {
    Bytes pcm(static_cast<std::size_t>(stereo_pcm_bytes(audio.length)) + INTERLEAVE_BYTES);
    decode_ps_adpcm(audio.data, pcm.data(), audio.length, true);
    pcm.resize(static_cast<std::size_t>(stereo_pcm_bytes(audio.length)));
    return pcm;
}

// The region as it must be after the rewrite: the first payload keeps 40
// bytes, the payloads take the PCM in order until it has all been handed out
// (the packet in progress is completed with silence), the rest is as built.
Bytes expected_region(const Movie& movie, std::uint32_t region_length, const Bytes& pcm) {
    Bytes region(movie.bytes);
    region.resize(region_length);
    std::size_t position = 0;
    std::size_t keep = 40;
    for (std::size_t payload : movie.payloads) {
        if (position >= pcm.size()) {
            break;
        }
        for (std::size_t k = keep; k < PAYLOAD_BYTES; ++k, ++position) {
            region[payload + k] = position < pcm.size() ? pcm[position] : 0;
        }
        keep = 0;
    }
    return region;
}

struct Image {
    TempFolder folder;
    std::filesystem::path path;
    std::string name;
};

// A sparse image with each movie's bytes at its region, framed by sentinels
// that must survive.
void lay_out(Image* image, std::uint64_t size, const Movie movies[MOVIE_COUNT]) {
    image->name = "juego_patched.iso";
    image->path = image->folder.path / image->name;
    make_sparse_file(image->path, size);
    for (int index = 0; index < MOVIE_COUNT; ++index) {
        const MovieRegion& region = MOVIE_REGIONS[index];
        if (region.offset + SENTINEL_BYTES > size) {
            continue;
        }
        const Bytes sentinel(SENTINEL_BYTES, 0xEE);
        movie_test::write_bytes_at(image->path, region.offset - SENTINEL_BYTES, sentinel);
        movie_test::write_bytes_at(image->path, region.offset, movies[index].bytes);
        if (region.offset + region.length + SENTINEL_BYTES <= size) {
            movie_test::write_bytes_at(image->path, region.offset + region.length, sentinel);
        }
    }
}

void expect_region(const Image& image, int index, const Bytes& expected) {
    const MovieRegion& region = MOVIE_REGIONS[index];
    const Bytes actual = movie_test::read_at(image.path, region.offset, region.length);
    ASSERT_EQ(expected.size(), actual.size()) << index;
    EXPECT_TRUE(expected == actual) << "movie " << index;
    const Bytes sentinel(SENTINEL_BYTES, 0xEE);
    EXPECT_EQ(sentinel,
              movie_test::read_at(image.path, region.offset - SENTINEL_BYTES, SENTINEL_BYTES));
    EXPECT_EQ(sentinel,
              movie_test::read_at(image.path, region.offset + region.length, SENTINEL_BYTES));
}

MovieAudio resource(const char* name) {
    MovieAudio audio{nullptr, 0};
    EXPECT_TRUE(find_resource(name, &audio.data, &audio.length)) << name;
    return audio;
}

struct Outcome {
    int result;
    int handle;
    std::string printed;
};

Outcome rewrite(const Image& image, const MovieAudio* audio = nullptr) {
    Outcome outcome{0, -1, ""};
    const std::string path = image.path.string();
    StdoutCapture capture = start_stdout_capture();
    if (audio == nullptr) {
        outcome.result = rewrite_movie_audio(path.c_str(), image.name.c_str(), &outcome.handle);
    } else {
        outcome.result =
            rewrite_movies_with_audio(path.c_str(), image.name.c_str(), &outcome.handle, audio);
    }
    outcome.printed = finish_stdout_capture(&capture);
    if (outcome.handle >= 0) {
        file_close(outcome.handle);
    }
    return outcome;
}

// The test soundtracks: Ru_op 3 blocks (1,024 PCM bytes, less than the first
// payload), Ry_op 20 blocks (3,072 bytes, spread over two payloads).
TEST(MovieRewrite, RedubsBothMoviesAndNothingElse) {
    const Movie movies[MOVIE_COUNT] = {small_movie(0x10, 3), small_movie(0x20, 3)};
    Image image;
    lay_out(&image, PATCHED_IMAGE_BYTES, movies);

    const Outcome outcome = rewrite(image);
    EXPECT_EQ(1, outcome.result);
    EXPECT_GE(outcome.handle, 0);
    EXPECT_EQ("", outcome.printed);
    EXPECT_EQ(PATCHED_IMAGE_BYTES, std::filesystem::file_size(image.path));
    const Bytes ru = decoded(resource("Ru_op"));
    const Bytes ry = decoded(resource("Ry_op"));
    ASSERT_EQ(1024u, ru.size());
    ASSERT_EQ(3072u, ry.size());
    expect_region(image, 0, expected_region(movies[0], MOVIE_REGIONS[0].length, ru));
    expect_region(image, 1, expected_region(movies[1], MOVIE_REGIONS[1].length, ry));

    // Once more over the result: the payloads receive the same bytes again.
    EXPECT_EQ(1, rewrite(image).result);
    expect_region(image, 1, expected_region(movies[1], MOVIE_REGIONS[1].length, ry));
}

// A soundtrack cut short by its flag byte leaves silence where its decoding
// stops, not what an earlier movie left in the buffer.
TEST(MovieRewrite, ShortDecodingLeavesSilenceNotThePreviousSoundtrack) {
    const Movie movies[MOVIE_COUNT] = {small_movie(0x30, 3), small_movie(0x40, 3)};
    Image first;
    lay_out(&first, PATCHED_IMAGE_BYTES, movies);
    ASSERT_EQ(1, rewrite(first).result); // fills the buffer with Ry_op

    MovieAudio ry = resource("Ry_op");
    Bytes cut(ry.data, ry.data + ry.length);
    cut[16 + 1] = 7; // block 1 ends the stream: one block of 20 decodes
    const MovieAudio audio[MOVIE_COUNT] = {{cut.data(), ry.length}, resource("Ru_op")};
    Bytes pcm(stereo_pcm_bytes(ry.length), 0);
    decode_ps_adpcm(cut.data(), pcm.data(), ry.length, true);
    Image second;
    lay_out(&second, PATCHED_IMAGE_BYTES, movies);
    const Outcome outcome = rewrite(second, audio);
    EXPECT_EQ(1, outcome.result);
    expect_region(second, 0, expected_region(movies[0], MOVIE_REGIONS[0].length, pcm));
    expect_region(second, 1,
                  expected_region(movies[1], MOVIE_REGIONS[1].length, decoded(audio[1])));
}

// A soundtrack longer than the static buffer holds is decoded in a buffer of
// its own; movie 1 here is packed with audio from end to end and takes
// 14,000,128 PCM bytes, stopping at a packet boundary.
TEST(MovieRewrite, LongerSoundtrackThanShippedFitsWhole) {
    Bytes long_track(2000000);
    std::uint32_t seed = 12345;
    for (std::size_t offset = 0; offset < long_track.size(); ++offset) {
        seed = seed * 1103515245u + 12345u;
        long_track[offset] = static_cast<unsigned char>(seed >> 24);
    }
    for (std::size_t block = 0; block < long_track.size(); block += 16) {
        long_track[block] = static_cast<unsigned char>(block / 16 % 5 << 4 | 12);
        long_track[block + 1] = 0;
    }
    const MovieAudio audio[MOVIE_COUNT] = {
        resource("Ru_op"), {long_track.data(), static_cast<std::uint32_t>(long_track.size())}};
    const Bytes pcm = decoded(audio[1]);
    ASSERT_EQ(14000128u, pcm.size());
    ASSERT_GT(pcm.size(), PCM_BUFFER_BYTES);

    Movie packed = small_movie(0x50, MOVIE_REGIONS[1].length / PACK_BYTES - 1);
    const unsigned char end_code[4] = {0x00, 0x00, 0x01, 0xB9};
    for (unsigned char byte : end_code) {
        packed.bytes.push_back(byte);
    }
    ASSERT_EQ(MOVIE_REGIONS[1].length, packed.bytes.size());
    const Movie movies[MOVIE_COUNT] = {small_movie(0x60, 1), packed};
    Image image;
    lay_out(&image, PATCHED_IMAGE_BYTES, movies);

    const Outcome outcome = rewrite(image, audio);
    EXPECT_EQ(1, outcome.result);
    const Bytes expected = expected_region(movies[1], MOVIE_REGIONS[1].length, pcm);
    expect_region(image, 1, expected);
    // 1,971 + 6,961 x 2,011 = 14,000,542 bytes end the last filled payload.
    const std::size_t last = packed.payloads[6961];
    EXPECT_EQ(packed.bytes[packed.payloads[6962]], expected[packed.payloads[6962]]);
    EXPECT_NE(packed.bytes[last + PAYLOAD_BYTES - 1], expected[last + PAYLOAD_BYTES - 1]);
    expect_region(image, 0, expected_region(movies[0], MOVIE_REGIONS[0].length, decoded(audio[0])));
}

TEST(MovieRewrite, MissingImageCannotBeOpened) {
    Image image;
    image.name = "juego_patched.iso";
    image.path = image.folder.path / image.name;
    const Outcome outcome = rewrite(image);
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(-1, outcome.handle);
    EXPECT_EQ(
        to_console("Incapaz de abrir el siguiente archivo ISO parcheado: juego_patched.iso\n"),
        outcome.printed);
    EXPECT_FALSE(std::filesystem::exists(image.path));
}

// An image that ends inside a movie is not written to at all from that movie
// on; a movie before it stays re-dubbed.
TEST(MovieRewrite, ImageTooShortForAMovieIsAWriteFailure) {
    struct Case {
        std::uint64_t size;
        bool first_redubbed;
    };
    const Case cases[] = {
        {MOVIE_REGIONS[0].offset + MOVIE_REGIONS[0].length - 1, false},
        {MOVIE_REGIONS[1].offset + 3 * PACK_BYTES, true},
    };
    for (const Case& c : cases) {
        const Movie movies[MOVIE_COUNT] = {small_movie(0x70, 2), small_movie(0x80, 2)};
        Image image;
        lay_out(&image, c.size, movies);
        const Bytes before =
            movie_test::read_at(image.path, MOVIE_REGIONS[0].offset, 8 * PACK_BYTES);
        const Bytes tail_before =
            movie_test::read_at(image.path, c.size - 8 * PACK_BYTES, 8 * PACK_BYTES);

        const Outcome outcome = rewrite(image);
        EXPECT_EQ(0, outcome.result) << c.size;
        EXPECT_EQ(-1, outcome.handle) << c.size;
        EXPECT_EQ(to_console("Incapaz de escribir en el archivo ISO parcheado.\n"),
                  outcome.printed);
        EXPECT_EQ(c.size, std::filesystem::file_size(image.path));
        EXPECT_EQ(tail_before,
                  movie_test::read_at(image.path, c.size - 8 * PACK_BYTES, 8 * PACK_BYTES));
        const Bytes first =
            movie_test::read_at(image.path, MOVIE_REGIONS[0].offset, 8 * PACK_BYTES);
        if (c.first_redubbed) {
            Bytes expected =
                expected_region(movies[0], MOVIE_REGIONS[0].length, decoded(resource("Ru_op")));
            expected.resize(8 * PACK_BYTES);
            EXPECT_EQ(expected, first);
        } else {
            EXPECT_EQ(before, first);
        }
    }
}

} // namespace
