// make-audio INPUT.wav OUTPUT.adpcm [--rate HZ] [--image TARGET.iso --movie 0|1]
//
// Options may stand before, between or after the operands; "--" ends them.
//
// For translators: encodes a dubbed soundtrack as the PS-ADPCM the patcher
// carries for a movie (raw 16-byte blocks), prints how near the decoded
// result comes to the input, and, given the translated image, how the
// soundtrack's length compares with the room the movie has for it. OUTPUT is
// written whole or not at all; exit status 0 only when it was written.

#include "io/file_access.h"
#include "movie/adpcm.h"
#include "movie/rewrite.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/temporary_file.h"
#include "tools/adpcm_encoder/encoder.h"
#include "tools/make_audio/wav.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static const std::uint32_t DEFAULT_RATE = 48000;

// The file is read whole, then its samples, the blocks and their decoding
// are held at once. At this limit, over eleven minutes of 48 kHz 16-bit
// stereo and far longer than a movie, that is under 700 MB even for 8-bit
// mono: well inside what a 32-bit process can find room for.
static const std::int64_t MAX_INPUT_BYTES = std::int64_t{128} << 20;

struct Options {
    const char* input;
    const char* output;
    std::uint32_t rate;
    const char* image;
    int movie; // -1 without --movie
};

static int refuse(const std::string& text) {
    std::fprintf(stderr, "make-audio: %s\n", text.c_str());
    return 1;
}

static int usage() {
    std::fprintf(stderr, "usage: make-audio INPUT.wav OUTPUT.adpcm [--rate HZ] "
                         "[--image TARGET.iso --movie 0|1]\n");
    return 2;
}

static bool parse_number(const char* text, std::uint64_t largest, std::uint64_t* value) {
    char* end = nullptr;
    if (*text < '0' || *text > '9') {
        return false;
    }
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0' || parsed > largest) {
        return false;
    }
    *value = parsed;
    return true;
}

static bool parse_options(int argc, char** argv, Options* options) {
    *options = Options{nullptr, nullptr, DEFAULT_RATE, nullptr, -1};
    int positional = 0;
    // Options anywhere; after "--" every argument is an operand, and an
    // option it does not know is refused rather than taken for a file.
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::uint64_t value = 0;
        const bool option = !options_ended && argument.size() > 1 && argument[0] == '-';
        if (option && argument == "--") {
            options_ended = true;
        } else if (option) {
            if ((argument != "--rate" && argument != "--image" && argument != "--movie") ||
                i + 1 >= argc) {
                return false;
            }
            const char* next = argv[++i];
            if (argument == "--image") {
                options->image = next;
            } else if (argument == "--rate") {
                if (!parse_number(next, 1000000, &value) || value == 0) {
                    return false;
                }
                options->rate = static_cast<std::uint32_t>(value);
            } else {
                if (!parse_number(next, MOVIE_COUNT - 1, &value)) {
                    return false;
                }
                options->movie = static_cast<int>(value);
            }
        } else if (positional == 0) {
            options->input = argv[i];
            ++positional;
        } else if (positional == 1) {
            options->output = argv[i];
            ++positional;
        } else {
            return false;
        }
    }
    return positional == 2 && (options->image == nullptr) == (options->movie < 0);
}

// Reads length bytes from offset on; false unless all of them were read.
static bool read_exactly(int fd, std::int64_t offset, unsigned char* bytes, std::size_t length) {
    if (file_seek(fd, offset) != offset) {
        return false;
    }
    while (length > 0) {
        const std::int64_t got = file_read(fd, bytes, length);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

static bool read_whole_file(const char* path, std::vector<unsigned char>* bytes,
                            std::string* reason) {
    const int fd = open_existing_file(path, FILE_READ);
    if (fd < 0) {
        *reason = std::string("cannot open ") + path;
        return false;
    }
    const std::int64_t length = file_length(fd);
    if (length > MAX_INPUT_BYTES) {
        file_close(fd);
        *reason = std::string(path) + ": it is larger than 128 MiB, far longer than a movie";
        return false;
    }
    bool ok = length >= 0;
    if (ok) {
        bytes->resize(static_cast<std::size_t>(length));
        ok = read_exactly(fd, 0, bytes->data(), bytes->size());
    }
    file_close(fd);
    if (!ok) {
        *reason = std::string("cannot read ") + path;
    }
    return ok;
}

// PCM bytes (16-bit stereo) the audio packets of the movie's region take in
// the translated image; false with *reason when the region cannot be read.
static bool movie_room(const char* image, int movie, std::uint64_t* room, std::string* reason) {
    const MovieRegion& region = MOVIE_REGIONS[movie];
    const int fd = open_existing_file(image, FILE_READ);
    if (fd < 0) {
        *reason = std::string("cannot open ") + image;
        return false;
    }
    const std::int64_t length = file_length(fd);
    if (length < std::int64_t{region.offset} + region.length) {
        file_close(fd);
        *reason = std::string(image) + " is too short to hold movie " + std::to_string(movie) +
                  " (" + region.resource_name + "): it is not the translated image";
        return false;
    }
    std::vector<unsigned char> bytes(region.length);
    const bool ok = read_exactly(fd, region.offset, bytes.data(), bytes.size());
    file_close(fd);
    if (!ok) {
        *reason = std::string("cannot read ") + image;
        return false;
    }
    *room = count_movie_pcm_bytes(bytes.data(), region.length);
    if (*room == 0) {
        *reason = std::string("movie ") + std::to_string(movie) + " (" + region.resource_name +
                  ") of " + image + " has no audio packets: it is not the translated image";
        return false;
    }
    return true;
}

// Signal-to-noise ratio in dB of the decoded 16-bit little-endian samples
// against wanted; infinite when they are equal.
static double signal_to_noise(const std::vector<std::int16_t>& wanted,
                              const std::vector<unsigned char>& decoded) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const double value = wanted[i];
        const double difference = value - static_cast<std::int16_t>(static_cast<std::uint16_t>(
                                              decoded[2 * i] | decoded[2 * i + 1] << 8));
        signal += value * value;
        noise += difference * difference;
    }
    if (noise == 0) {
        return INFINITY;
    }
    if (signal == 0) {
        return -INFINITY;
    }
    return 10 * std::log10(signal / noise);
}

// Writes under a temporary name beside the output and renames it at the end,
// so that a failure never leaves a partial soundtrack under the final name
// and an earlier soundtrack stays until the new one replaces it.
static bool write_output(const char* path, const std::vector<unsigned char>& bytes) {
    const std::string temporary = std::string(path) + ".part";
    // From before the file exists until it has its name, an interrupt ends
    // the run with the unfinished file removed.
    start_interrupt_watch();
    TemporaryFile file{-1, -1};
    bool written = create_temporary_file(temporary.c_str(), &file) == TEMPORARY_CREATED;
    std::FILE* stream = written ? open_file_stream(temporary.c_str(), "wb") : nullptr;
    if (stream != nullptr) {
        written = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
        written = std::fclose(stream) == 0 && written;
    }
    written = stream != nullptr && written &&
              publish_file(&file, temporary.c_str(), path) == PUBLISH_DONE;
    if (!written) {
        discard_temporary_file(&file, temporary.c_str());
    }
    stop_interrupt_watch();
    return written;
}

static void print_comparison(int movie, std::uint64_t room_bytes, std::size_t samples,
                             std::uint32_t rate) {
    // The movie plays 16-bit stereo: 4 bytes a sample.
    const std::uint64_t room = room_bytes / 4;
    const double room_seconds = static_cast<double>(room) / rate;
    const double seconds = static_cast<double>(samples) / rate;
    std::printf("Movie %d (%s) has room for %.3f s of audio; the soundtrack lasts %.3f s.\n", movie,
                MOVIE_REGIONS[movie].resource_name, room_seconds, seconds);
    // The encoder pads the last block with silence: within one block the two
    // are the same length.
    if (samples > room + ADPCM_BLOCK_SAMPLES) {
        std::printf("The soundtrack is %.3f s too long: its last %.3f s will be cut.\n",
                    seconds - room_seconds, seconds - room_seconds);
    } else if (samples + ADPCM_BLOCK_SAMPLES < room) {
        std::printf("The soundtrack is %.3f s too short: the movie's last %.3f s will be "
                    "silent.\n",
                    room_seconds - seconds, room_seconds - seconds);
    } else {
        std::printf("The soundtrack fits the movie.\n");
    }
}

int main(int argc, char** argv) {
    open_standard_streams();
    // Paths in UTF-8 on every platform, as the program's file functions take them.
    ProgramArguments arguments;
    if (!read_program_arguments(&argc, &argv, &arguments)) {
        std::fprintf(stderr, "cannot read the command line\n");
        return 2;
    }
    Options options{};
    if (!parse_options(argc, argv, &options)) {
        return usage();
    }
    // Nothing is read or written before the inputs are known to be files to
    // read, and the output names none of them under any name.
    for (const char* input : {options.input, options.image}) {
        if (input != nullptr &&
            !(file_kind(input) == KIND_REGULAR || file_kind(input) == KIND_MISSING)) {
            return refuse(std::string(input) + " is not a file");
        }
    }
    const std::string temporary = std::string(options.output) + ".part";
    for (const char* input : {options.input, options.image}) {
        if (input != nullptr &&
            (same_file(input, options.output) || same_file(input, temporary.c_str()))) {
            std::fprintf(stderr, "make-audio: OUTPUT and OUTPUT.part must not be an input\n");
            return 2;
        }
    }
    if (file_kind(options.output) == KIND_FOLDER) {
        return refuse(std::string(options.output) + " is a folder");
    }
    std::vector<unsigned char> file;
    std::string reason;
    if (!read_whole_file(options.input, &file, &reason)) {
        return refuse(reason);
    }
    WavSound sound{};
    if (!parse_wav(file.data(), file.size(), &sound, &reason)) {
        return refuse(std::string(options.input) + ": " + reason);
    }
    file = std::vector<unsigned char>();
    if (sound.sample_rate != options.rate) {
        const std::string rate = std::to_string(options.rate);
        return refuse(std::string(options.input) + ": its sample rate is " +
                      std::to_string(sound.sample_rate) + " Hz; the movies play " + rate +
                      " Hz. Convert it first, e.g. with sox: sox INPUT.wav -r " + rate +
                      " OUTPUT.wav");
    }
    const std::size_t sample_count = sound.samples.size();
    const std::size_t blocks = (sample_count + ADPCM_BLOCK_SAMPLES - 1) / ADPCM_BLOCK_SAMPLES;
    std::uint64_t room = 0;
    if (options.image != nullptr && !movie_room(options.image, options.movie, &room, &reason)) {
        return refuse(reason);
    }

    // The last block is filled out with silence.
    sound.samples.resize(blocks * ADPCM_BLOCK_SAMPLES, 0);
    std::vector<unsigned char> adpcm(blocks * ADPCM_BLOCK_BYTES);
    encode_ps_adpcm_searched(sound.samples.data(), blocks, adpcm.data());

    // What the patcher will play, decoded by its own decoder.
    std::vector<unsigned char> pcm(sound.samples.size() * 2);
    decode_ps_adpcm(adpcm.data(), pcm.data(), static_cast<std::uint32_t>(adpcm.size()), false);
    if (!write_output(options.output, adpcm)) {
        return refuse(std::string("cannot write ") + options.output);
    }

    const double snr = signal_to_noise(sound.samples, pcm);
    std::printf("%s: %zu samples (%.3f s at %u Hz, %s, %u bits) -> %s: %zu blocks, %zu bytes\n",
                options.input, sample_count, static_cast<double>(sample_count) / sound.sample_rate,
                sound.sample_rate, sound.channels == 1 ? "mono" : "stereo mixed to mono",
                unsigned{sound.bits}, options.output, adpcm.size() / ADPCM_BLOCK_BYTES,
                adpcm.size());
    if (std::isinf(snr) && snr > 0) {
        std::printf("Signal-to-noise ratio of the decoded soundtrack: exact\n");
    } else {
        std::printf("Signal-to-noise ratio of the decoded soundtrack: %.1f dB\n", snr);
    }
    if (options.image != nullptr) {
        print_comparison(options.movie, room, sample_count, options.rate);
    }
    return 0;
}
