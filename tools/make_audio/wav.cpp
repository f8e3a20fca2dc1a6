#include "tools/make_audio/wav.h"

#include <cstdio>
#include <cstring>

static const std::uint16_t FORMAT_PCM = 0x0001;
static const std::uint16_t FORMAT_FLOAT = 0x0003;
static const std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;

// The extensible format's sub-format GUID is the plain format tag in its
// first two bytes, then this fixed tail.
static const unsigned char GUID_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The plain format chunk is 16 bytes; the extensible one adds a 2-byte size
// and 22 bytes of valid bits, channel mask and sub-format.
static const std::uint32_t PLAIN_FORMAT_BYTES = 16;
static const std::uint32_t EXTENSIBLE_FORMAT_BYTES = 40;

static std::uint16_t read16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

static std::uint32_t read32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

static bool fail(std::string* reason, const std::string& text) {
    *reason = text;
    return false;
}

// One sample of any supported width as a 32-bit value with the sample in its
// top bits, so that every width mixes and rounds alike.
static std::int64_t sample_at(const unsigned char* p, std::uint16_t bits) {
    switch (bits) {
    case 8: // unsigned, 128 is silence
        return (std::int64_t{p[0]} - 128) * (std::int64_t{1} << 24);
    case 16:
        return std::int64_t{static_cast<std::int16_t>(read16(p))} * (std::int64_t{1} << 16);
    case 24:
        return std::int64_t{static_cast<std::int32_t>(
            std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 24)};
    default:
        return std::int64_t{static_cast<std::int32_t>(read32(p))};
    }
}

// The mean of the frame's channels, rounded to nearest 16-bit value and kept
// inside the 16-bit range (a full-scale 24-bit peak rounds up past it).
static std::int16_t frame_sample(const unsigned char* frame, std::uint16_t channels,
                                 std::uint16_t bits) {
    std::int64_t sum = 0;
    for (std::uint16_t c = 0; c < channels; ++c) {
        sum += sample_at(frame + std::size_t{c} * (bits / 8), bits);
    }
    const std::int64_t divisor = std::int64_t{channels} << 16;
    std::int64_t value = (sum + divisor / 2) / divisor;
    if (sum + divisor / 2 < 0 && (sum + divisor / 2) % divisor != 0) {
        --value; // floor, so that rounding is the same on both sides of zero
    }
    if (value > INT16_MAX) {
        value = INT16_MAX;
    }
    if (value < INT16_MIN) {
        value = INT16_MIN;
    }
    return static_cast<std::int16_t>(value);
}

struct Format {
    std::uint16_t tag;
    std::uint16_t channels;
    std::uint32_t rate;
    std::uint16_t block_align;
    std::uint16_t bits;
};

static bool read_format(const unsigned char* body, std::uint32_t length, Format* format,
                        std::string* reason) {
    if (length < PLAIN_FORMAT_BYTES) {
        return fail(reason, "its format chunk is " + std::to_string(length) +
                                " bytes long, shorter than the 16 a WAV file needs");
    }
    format->tag = read16(body);
    format->channels = read16(body + 2);
    format->rate = read32(body + 4);
    format->block_align = read16(body + 12);
    format->bits = read16(body + 14);
    if (format->tag == FORMAT_EXTENSIBLE) {
        if (length < EXTENSIBLE_FORMAT_BYTES || read16(body + 16) < 22) {
            return fail(reason, "its extensible format chunk is too short to name its format");
        }
        if (std::memcmp(body + 26, GUID_TAIL, sizeof GUID_TAIL) != 0) {
            return fail(reason, "its extensible format chunk names an unknown sub-format");
        }
        format->tag = read16(body + 24);
    }
    if (format->tag == FORMAT_FLOAT) {
        return fail(reason, "its samples are floating point; only integer PCM is read (convert "
                            "it, e.g. sox INPUT.wav -b 16 -e signed-integer OUTPUT.wav)");
    }
    if (format->tag != FORMAT_PCM) {
        char tag[8];
        std::snprintf(tag, sizeof tag, "0x%04X", format->tag);
        return fail(reason, std::string("its samples are in format ") + tag +
                                ", not PCM; compressed WAV files are not read");
    }
    if (format->channels != 1 && format->channels != 2) {
        return fail(reason, "it has " + std::to_string(format->channels) +
                                " channels; only mono and stereo are read");
    }
    if (format->bits != 8 && format->bits != 16 && format->bits != 24 && format->bits != 32) {
        return fail(reason, "its samples are " + std::to_string(format->bits) +
                                " bits wide; only 8, 16, 24 and 32 bits are read");
    }
    if (format->block_align != format->channels * (format->bits / 8)) {
        return fail(reason, "its format chunk gives " + std::to_string(format->block_align) +
                                " bytes per frame, which does not match its channels and bits");
    }
    if (format->rate == 0) {
        return fail(reason, "its sample rate is 0");
    }
    return true;
}

bool parse_wav(const unsigned char* bytes, std::size_t size, WavSound* sound, std::string* reason) {
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        return fail(reason, "it is not a WAV file (no RIFF/WAVE header)");
    }
    // The RIFF length is not trusted: programs that write to a pipe leave it
    // wrong. Chunks are read up to the end of the file instead.
    Format format{};
    bool have_format = false;
    const unsigned char* data = nullptr;
    std::uint32_t data_length = 0;
    std::size_t position = 12;
    while (data == nullptr) {
        if (size - position < 8) {
            if (size != position) {
                return fail(reason, "it ends inside a chunk header");
            }
            return fail(reason, have_format ? "it has no data chunk"
                                            : "it has no format chunk before its samples");
        }
        const unsigned char* header = bytes + position;
        const std::uint32_t length = read32(header + 4);
        position += 8;
        if (length > size - position) {
            const std::string id(reinterpret_cast<const char*>(header), 4);
            return fail(reason, "it is cut short: its '" + id + "' chunk claims " +
                                    std::to_string(length) + " bytes, the file holds " +
                                    std::to_string(size - position) + " after its header");
        }
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (have_format) {
                return fail(reason, "it has two format chunks");
            }
            if (!read_format(bytes + position, length, &format, reason)) {
                return false;
            }
            have_format = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!have_format) {
                return fail(reason, "its data chunk comes before any format chunk");
            }
            data = bytes + position;
            data_length = length;
        }
        // Chunks are padded to even lengths; the pad byte of a last chunk may
        // be missing.
        position += length;
        if (length % 2 != 0 && position < size) {
            ++position;
        }
    }
    if (data_length % format.block_align != 0) {
        return fail(reason, "its data chunk ends inside a sample frame");
    }
    if (data_length == 0) {
        return fail(reason, "its data chunk holds no samples");
    }
    sound->sample_rate = format.rate;
    sound->channels = format.channels;
    sound->bits = format.bits;
    const std::size_t frames = data_length / format.block_align;
    sound->samples.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        sound->samples[i] =
            frame_sample(data + i * format.block_align, format.channels, format.bits);
    }
    return true;
}
