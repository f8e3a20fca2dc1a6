#include "movie/rewrite.h"

#include "io/console.h"
#include "io/file_access.h"
#include "platform/file.h"
#include "platform/resource.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

// Program-stream units the walk tells apart (ISO/IEC 13818-1 start codes).
static const unsigned char PACK_START_CODE[4] = {0x00, 0x00, 0x01, 0xBA};
static const unsigned char PRIVATE_STREAM_1_CODE[4] = {0x00, 0x00, 0x01, 0xBD};
// The movies' PCM sub-stream: these bytes at 19-22 of a private-stream-1
// packet, right before its payload.
static const unsigned char AUDIO_SIGNATURE[4] = {0xFF, 0xA0, 0x00, 0x00};

// The movies' pack headers carry no stuffing, so each is exactly this long.
static const std::uint64_t PACK_HEADER_BYTES = 14;
// A packet is its start code, a 16-bit length and that many bytes more.
static const std::uint64_t PACKET_PREFIX_BYTES = 6;
static const std::uint64_t AUDIO_SIGNATURE_OFFSET = 19;
static const std::uint64_t AUDIO_PAYLOAD_OFFSET = 23;

// Decoded soundtrack, shared by both movies. Lives for the whole process so
// that decoding the shipped soundtracks allocates nothing.
static unsigned char pcm_buffer[PCM_BUFFER_BYTES];
static_assert(PCM_BUFFER_BYTES >= INTERLEAVE_BYTES, "an empty soundtrack still pads one half");

static bool bytes_equal(const unsigned char* bytes, const unsigned char expected[4]) {
    return std::memcmp(bytes, expected, 4) == 0;
}

// Copies count PCM bytes from position on into payload; past pcm_limit the
// soundtrack has ended and the payload gets silence.
static void fill_payload(unsigned char* payload, std::uint64_t count, const unsigned char* pcm,
                         std::uint64_t pcm_limit, std::uint64_t position) {
    std::uint64_t available = 0;
    if (position < pcm_limit) {
        available = pcm_limit - position < count ? pcm_limit - position : count;
        std::memcpy(payload, pcm + position, static_cast<std::size_t>(available));
    }
    std::memset(payload + available, 0, static_cast<std::size_t>(count - available));
}

// The one packet walk: with writable null it only counts, which is how the
// translators' tool learns how much PCM a movie takes without a second parser.
static PacketWalk walk_packets(const unsigned char* region, unsigned char* writable,
                               std::uint32_t region_length, const unsigned char* pcm,
                               std::uint64_t pcm_limit) {
    std::uint64_t position = 0;
    std::uint64_t pcm_position = 0;
    std::uint64_t keep = FIRST_PACKET_KEPT_BYTES;
    while (pcm_position < pcm_limit && position < region_length) {
        const std::uint64_t left = region_length - position;
        const unsigned char* unit = region + position;
        if (left < 4) {
            break;
        }
        if (bytes_equal(unit, PACK_START_CODE)) {
            position += PACK_HEADER_BYTES;
            continue;
        }
        if (left < PACKET_PREFIX_BYTES) {
            break;
        }
        const std::uint64_t unit_bytes =
            PACKET_PREFIX_BYTES + (std::uint64_t{unit[4]} << 8 | std::uint64_t{unit[5]});
        // Any other unit is stepped over by its length without looking at its
        // start code. A private-stream-1 packet shorter than its own header
        // has no payload to take audio, whatever follows it.
        if (bytes_equal(unit, PRIVATE_STREAM_1_CODE) && unit_bytes >= AUDIO_PAYLOAD_OFFSET) {
            if (unit_bytes > left) {
                break;
            }
            if (bytes_equal(unit + AUDIO_SIGNATURE_OFFSET, AUDIO_SIGNATURE)) {
                const std::uint64_t payload_bytes = unit_bytes - AUDIO_PAYLOAD_OFFSET;
                // The first packet's opening bytes stay as they are: the movie
                // starts on them before the new soundtrack takes over.
                if (payload_bytes > keep) {
                    if (writable != nullptr) {
                        fill_payload(writable + position + AUDIO_PAYLOAD_OFFSET + keep,
                                     payload_bytes - keep, pcm, pcm_limit, pcm_position);
                    }
                    pcm_position += payload_bytes - keep;
                }
                keep = 0;
            }
        }
        position += unit_bytes;
    }
    return PacketWalk{position, pcm_position};
}

PacketWalk walk_movie_packets(unsigned char* region, std::uint32_t region_length,
                              const unsigned char* pcm, std::uint64_t pcm_limit) {
    return walk_packets(region, region, region_length, pcm, pcm_limit);
}

std::uint64_t count_movie_pcm_bytes(const unsigned char* region, std::uint32_t region_length) {
    return walk_packets(region, nullptr, region_length, nullptr, UINT64_MAX).pcm_position;
}

// A full disk stores fewer bytes than asked: go on with the rest until the
// system refuses, so that a short write never passes for success.
static bool write_whole(int handle, const unsigned char* data, std::uint32_t length) {
    while (length > 0) {
        const std::int64_t written = file_write(handle, data, length);
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::uint32_t>(written);
    }
    return true;
}

static void print_write_failure() {
    print_console_text("Incapaz de escribir en el archivo ISO parcheado.\n");
}

// The run ends right after a failure; nothing of this movie is left open.
static int give_up_writing(int* handle, unsigned char* region) {
    std::free(region);
    if (*handle >= 0) {
        file_close(*handle);
        *handle = -1;
    }
    print_write_failure();
    return 0;
}

// Decodes, reads, walks and writes back one movie. Leaves the descriptor of
// the write open in *handle on success.
static int rewrite_one_movie(const char* output_path, const char* display_name, int* handle,
                             const MovieRegion& movie, const MovieAudio& audio,
                             unsigned char* pcm) {
    // The buffer starts silent for every movie, so that neither the other
    // movie's soundtrack nor an earlier run shows through where this one's
    // decoding does not reach (the last pair's padding, a stream cut short).
    const std::uint64_t pcm_limit = stereo_pcm_bytes(audio.length);
    std::memset(pcm, 0, static_cast<std::size_t>(pcm_limit));
    decode_ps_adpcm(audio.data, pcm, audio.length, true);

    open_file_mode(handle, output_path, OPEN_READ_WRITE);
    if (*handle < 0) {
        print_console_name("Incapaz de abrir el siguiente archivo ISO parcheado: %s\n",
                           display_name);
        return 0;
    }
    unsigned char* region = nullptr;
    std::uint32_t region_length = 0;
    if (!read_file_region(handle, output_path, &region, &region_length, movie.length,
                          movie.offset)) {
        // The helper has closed the file.
        *handle = -1;
        return give_up_writing(handle, nullptr);
    }
    // An image too short to hold the whole movie is not the patched image:
    // writing a short region back would only damage it further.
    if (region_length != movie.length) {
        return give_up_writing(handle, region);
    }

    walk_movie_packets(region, region_length, pcm, pcm_limit);

    open_file_mode(handle, output_path, OPEN_READ_WRITE);
    if (*handle < 0) {
        std::free(region);
        print_console_name("Incapaz de abrir el siguiente archivo ISO parcheado: %s\n",
                           display_name);
        return 0;
    }
    if (file_seek(*handle, movie.offset) != std::int64_t{movie.offset} ||
        !write_whole(*handle, region, region_length)) {
        return give_up_writing(handle, region);
    }
    std::free(region);
    return 1;
}

int rewrite_movies_with_audio(const char* output_path, const char* display_name, int* handle,
                              const MovieAudio audio[MOVIE_COUNT]) {
    std::uint64_t needed = 0;
    for (int movie = 0; movie < MOVIE_COUNT; ++movie) {
        const std::uint64_t bytes = stereo_pcm_bytes(audio[movie].length);
        needed = bytes > needed ? bytes : needed;
    }
    unsigned char* pcm = pcm_buffer;
    unsigned char* heap_pcm = nullptr;
    if (needed > PCM_BUFFER_BYTES) {
        // A translator's soundtrack longer than the shipped ones: the static
        // buffer cannot hold it, so it gets one of its own for this call.
        if (static_cast<std::size_t>(needed) != needed) {
            print_write_failure();
            return 0;
        }
        heap_pcm = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(needed)));
        if (heap_pcm == nullptr) {
            print_write_failure();
            return 0;
        }
        pcm = heap_pcm;
    }

    int result = 1;
    for (int movie = 0; movie < MOVIE_COUNT && result == 1; ++movie) {
        result = rewrite_one_movie(output_path, display_name, handle, MOVIE_REGIONS[movie],
                                   audio[movie], pcm);
        // The last movie's descriptor stays open for the caller.
        if (result == 1 && movie + 1 < MOVIE_COUNT) {
            const int closed = file_close(*handle);
            *handle = -1;
            if (closed != 0) {
                print_write_failure();
                result = 0;
            }
        }
    }
    std::free(heap_pcm);
    return result;
}

int rewrite_movie_audio(const char* output_path, const char* display_name, int* handle) {
    MovieAudio audio[MOVIE_COUNT];
    for (int movie = 0; movie < MOVIE_COUNT; ++movie) {
        // A build without its soundtracks cannot re-dub anything; the image is
        // left as the patch made it.
        if (!find_resource(MOVIE_REGIONS[movie].resource_name, &audio[movie].data,
                           &audio[movie].length)) {
            print_write_failure();
            return 0;
        }
    }
    return rewrite_movies_with_audio(output_path, display_name, handle, audio);
}
