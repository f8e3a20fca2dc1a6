#include "demo_kit/movie.h"
#include "movie/adpcm.h"
#include "movie/rewrite.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A fresh temporary folder, removed with its contents at the end of the scope.
struct TempFolder {
    fs::path path;

    TempFolder() : path(make_temp_folder("audio")) {}
    ~TempFolder() {
        remove_temp_folder(path);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

std::string le16(std::uint32_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF)};
}

std::string le32(std::uint32_t value) {
    return le16(value & 0xFFFF) + le16(value >> 16);
}

// A chunk with its pad byte.
std::string chunk(const char* id, const std::string& body) {
    std::string bytes = std::string(id, 4) + le32(static_cast<std::uint32_t>(body.size())) + body;
    if (body.size() % 2 != 0) {
        bytes.push_back('\0');
    }
    return bytes;
}

std::string riff(const std::string& chunks) {
    return "RIFF" + le32(static_cast<std::uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

struct Format {
    std::uint16_t tag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 48000;
    std::uint16_t bits = 16;
    bool extensible = false;
};

std::string format_body(const Format& f) {
    const std::uint16_t align = static_cast<std::uint16_t>(f.channels * (f.bits / 8));
    std::string body = le16(f.extensible ? 0xFFFE : f.tag) + le16(f.channels) + le32(f.rate) +
                       le32(f.rate * align) + le16(align) + le16(f.bits);
    if (f.extensible) {
        body += le16(22) + le16(f.bits) + le32(f.channels == 1 ? 4 : 3) + le16(f.tag) +
                std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    }
    return body;
}

// Frames of samples given as 32-bit values (the sample in the top bits), one
// vector per channel, in the width of the format.
std::string pcm_bytes(const std::vector<std::vector<std::int32_t>>& channels, std::uint16_t bits) {
    std::string bytes;
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        for (const std::vector<std::int32_t>& channel : channels) {
            const std::uint32_t value = static_cast<std::uint32_t>(channel[i]);
            if (bits == 8) {
                bytes.push_back(static_cast<char>((value >> 24) ^ 0x80));
            } else {
                for (unsigned byte = 4 - bits / 8; byte < 4; ++byte) {
                    bytes.push_back(static_cast<char>(value >> (8 * byte) & 0xFF));
                }
            }
        }
    }
    return bytes;
}

std::string wav(const Format& format, const std::vector<std::vector<std::int32_t>>& channels) {
    return riff(chunk("fmt ", format_body(format)) +
                chunk("data", pcm_bytes(channels, format.bits)));
}

std::vector<std::int32_t> top_aligned(const std::vector<std::int16_t>& samples) {
    std::vector<std::int32_t> wide;
    for (std::int16_t sample : samples) {
        wide.push_back(std::int32_t{sample} * 65536);
    }
    return wide;
}

std::string mono16(const std::vector<std::int16_t>& samples, std::uint32_t rate = 48000) {
    Format format;
    format.rate = rate;
    return wav(format, {top_aligned(samples)});
}

// A tone whose samples are multiples of 256, so that 8-bit files carry it
// exactly too.
std::vector<std::int16_t> coarse_tone(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(
            std::lround(100 * std::sin(static_cast<double>(i) * 0.05)) * 256);
    }
    return samples;
}

ProcessResult make_audio(const fs::path& folder, std::vector<std::string> arguments) {
    return run_process(MAKE_AUDIO, folder, "", arguments, true);
}

std::vector<std::int16_t> decode(const std::string& adpcm) {
    std::vector<unsigned char> bytes(adpcm.begin(), adpcm.end());
    std::vector<unsigned char> pcm(bytes.size() / ADPCM_BLOCK_BYTES * ADPCM_BLOCK_SAMPLES * 2);
    EXPECT_EQ(1, decode_ps_adpcm(bytes.data(), pcm.data(), static_cast<std::uint32_t>(bytes.size()),
                                 false));
    std::vector<std::int16_t> samples(pcm.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
    }
    return samples;
}

// Blocks as the shipped soundtracks have them.
void expect_well_formed(const std::string& adpcm, const std::string& what) {
    ASSERT_FALSE(adpcm.empty()) << what;
    ASSERT_EQ(adpcm.size() % ADPCM_BLOCK_BYTES, 0u) << what;
    for (std::size_t b = 0; b < adpcm.size(); b += ADPCM_BLOCK_BYTES) {
        const unsigned char head = static_cast<unsigned char>(adpcm[b]);
        ASSERT_LE(head >> 4, 4) << what << " block " << b / 16;
        ASSERT_LE(head & 15, 12) << what << " block " << b / 16;
        ASSERT_EQ(adpcm[b + 1], b + ADPCM_BLOCK_BYTES == adpcm.size() ? 1 : 0)
            << what << " block " << b / 16;
    }
}

double signal_to_noise(const std::vector<std::int16_t>& wanted,
                       const std::vector<std::int16_t>& decoded, int* largest_error) {
    double signal = 0;
    double noise = 0;
    *largest_error = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const int error = std::abs(int{wanted[i]} - int{decoded[i]});
        *largest_error = error > *largest_error ? error : *largest_error;
        signal += double{1} * wanted[i] * wanted[i];
        noise += double{1} * error * error;
    }
    return 10 * std::log10(signal / noise);
}

// The figure make-audio prints.
double printed_snr(const std::string& output) {
    const std::string label = "Signal-to-noise ratio of the decoded soundtrack: ";
    const std::size_t at = output.find(label);
    return at == std::string::npos ? -1 : std::atof(output.c_str() + at + label.size());
}

struct Refusal {
    const char* what;
    std::string file;
    std::string message;
};

TEST(MakeAudio, RefusesWhatItCannotReadAndWritesNothing) {
    const std::vector<std::int32_t> tone = top_aligned(coarse_tone(280));
    const std::string format = chunk("fmt ", format_body(Format{}));
    const std::string samples = pcm_bytes({tone}, 16);
    Format stereo6;
    stereo6.channels = 6;
    Format bits12;
    bits12.bits = 12;
    Format floats;
    floats.tag = 3;
    floats.bits = 32;
    Format floats_extensible = floats;
    floats_extensible.extensible = true;
    Format compressed;
    compressed.tag = 2;
    std::string odd_guid = format_body(Format{1, 1, 48000, 16, true});
    odd_guid[30] = 0x11;
    std::string misaligned = format_body(Format{});
    misaligned[12] = 4;
    const Refusal cases[] = {
        {"empty file", "", "not a WAV file (no RIFF/WAVE header)"},
        {"not RIFF", "RIFX" + le32(4) + "WAVE", "not a WAV file (no RIFF/WAVE header)"},
        {"not WAVE", "RIFF" + le32(4) + "AVI ", "not a WAV file (no RIFF/WAVE header)"},
        {"no chunks", riff(""), "it has no format chunk before its samples"},
        {"no data chunk", riff(format + chunk("LIST", "abc")), "it has no data chunk"},
        {"data before format", riff(chunk("data", samples) + format),
         "its data chunk comes before any format chunk"},
        {"two formats", riff(format + format + chunk("data", samples)), "it has two format chunks"},
        {"cut inside a chunk header", riff(format).append("dat"), "it ends inside a chunk header"},
        {"data cut short", riff(format + chunk("data", samples)).substr(0, 12 + 24 + 8 + 100),
         "it is cut short: its 'data' chunk claims 560 bytes, the file holds 100 after its header"},
        {"huge chunk size", riff(format + "LIST" + le32(0xFFFFFFFFu) + "xx"),
         "it is cut short: its 'LIST' chunk claims 4294967295 bytes, the file holds 2 after its "
         "header"},
        {"short format", riff(chunk("fmt ", format_body(Format{}).substr(0, 14))),
         "its format chunk is 14 bytes long, shorter than the 16 a WAV file needs"},
        {"extensible too short",
         riff(chunk("fmt ", format_body(Format{1, 1, 48000, 16, true}).substr(0, 30))),
         "its extensible format chunk is too short to name its format"},
        {"extensible, unknown sub-format", riff(chunk("fmt ", odd_guid)),
         "its extensible format chunk names an unknown sub-format"},
        {"float", riff(chunk("fmt ", format_body(floats))),
         "its samples are floating point; only integer PCM is read (convert it, e.g. sox "
         "INPUT.wav -b 16 -e signed-integer OUTPUT.wav)"},
        {"extensible float", riff(chunk("fmt ", format_body(floats_extensible))),
         "its samples are floating point"},
        {"compressed", riff(chunk("fmt ", format_body(compressed))),
         "its samples are in format 0x0002, not PCM; compressed WAV files are not read"},
        {"six channels", riff(chunk("fmt ", format_body(stereo6))),
         "it has 6 channels; only mono and stereo are read"},
        {"12 bits", riff(chunk("fmt ", format_body(bits12))),
         "its samples are 12 bits wide; only 8, 16, 24 and 32 bits are read"},
        {"frame size", riff(chunk("fmt ", misaligned)),
         "its format chunk gives 4 bytes per frame, which does not match its channels and bits"},
        {"zero rate", riff(chunk("fmt ", format_body(Format{1, 1, 0, 16, false}))),
         "its sample rate is 0"},
        {"partial frame", riff(format + chunk("data", samples + "x")),
         "its data chunk ends inside a sample frame"},
        {"no samples", riff(format + chunk("data", "")), "its data chunk holds no samples"},
        {"44.1 kHz", mono16(coarse_tone(280), 44100),
         "its sample rate is 44100 Hz; the movies play 48000 Hz. Convert it first, e.g. with "
         "sox: sox INPUT.wav -r 48000 OUTPUT.wav"},
    };
    TempFolder folder;
    const fs::path input = folder.path / "in.wav";
    const fs::path output = folder.path / "out.adpcm";
    for (const Refusal& c : cases) {
        write_file(input, c.file);
        const ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
        EXPECT_EQ(1, run.exit_code) << c.what;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << c.what << ": " << run.output;
        EXPECT_FALSE(fs::exists(output)) << c.what;
        EXPECT_FALSE(fs::exists(output.string() + ".part")) << c.what;
    }
    // Nothing to read, and nowhere to write.
    fs::remove(input);
    ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_NE(std::string::npos, run.output.find("cannot open")) << run.output;
    make_sparse_file(input, (std::uint64_t{128} << 20) + 1);
    run = make_audio(folder.path, {input.string(), output.string()});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_NE(std::string::npos, run.output.find("larger than 128 MiB")) << run.output;
    fs::remove(input);
    write_file(input, mono16(coarse_tone(280)));
    run = make_audio(folder.path, {input.string(), (folder.path / "none" / "out").string()});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_NE(std::string::npos, run.output.find("cannot write")) << run.output;
}

TEST(MakeAudio, RefusesBadArguments) {
    TempFolder folder;
    const std::string input = (folder.path / "in.wav").string();
    write_file(input, mono16(coarse_tone(280)));
    const std::string output = (folder.path / "out.adpcm").string();
    const std::vector<std::string> cases[] = {
        {},
        {input},
        {input, output, "extra"},
        {input, output, "--rate"},
        {input, output, "--rate", "0"},
        {input, output, "--rate", "48k"},
        {input, output, "--movie", "2", "--image", input},
        {input, output, "--movie", "0"},
        {input, output, "--image", input},
        {input, output, "--loud"},
        {input, "--", output, "--rate", "48000"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        const ProcessResult run = make_audio(folder.path, arguments);
        EXPECT_EQ(2, run.exit_code) << arguments.size();
        EXPECT_NE(std::string::npos, run.output.find("usage: make-audio")) << run.output;
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST(MakeAudio, TakesOptionsAnywhere) {
    TempFolder folder;
    const std::string input = (folder.path / "in.wav").string();
    write_file(input, mono16(coarse_tone(280)));
    const std::string output = (folder.path / "out.adpcm").string();
    const std::vector<std::string> cases[] = {
        {"--rate", "48000", input, output},
        {input, "--rate", "48000", output},
        {"--rate", "48000", "--", input, output},
    };
    for (const std::vector<std::string>& arguments : cases) {
        fs::remove(output);
        const ProcessResult run = make_audio(folder.path, arguments);
        EXPECT_EQ(0, run.exit_code) << run.output;
        EXPECT_TRUE(fs::exists(output));
    }
}

// Every layout the tool reads carries the same mono signal, so every one
// must give the same soundtrack, byte for byte, as plain 16-bit mono.
TEST(MakeAudio, ReadsEveryLayoutToTheSameSoundtrack) {
    const std::vector<std::int16_t> tone = coarse_tone(28 * 40 + 5);
    const std::vector<std::int32_t> wide = top_aligned(tone);
    // Left and right differ but average to the tone.
    std::vector<std::int32_t> left = wide;
    std::vector<std::int32_t> right = wide;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        left[i] += (i % 7) * 65536 * 16;
        right[i] -= (i % 7) * 65536 * 16;
    }
    Format stereo;
    stereo.channels = 2;
    Format stereo_extensible = stereo;
    stereo_extensible.extensible = true;
    Format bits8;
    bits8.bits = 8;
    Format bits24;
    bits24.bits = 24;
    bits24.channels = 2;
    Format bits32;
    bits32.bits = 32;
    const std::string reference = mono16(tone);
    std::string wrong_riff_size = reference;
    wrong_riff_size.replace(4, 4, le32(0xFFFFFFFFu));
    const std::string format = chunk("fmt ", format_body(Format{}));
    const struct {
        const char* what;
        std::string file;
    } cases[] = {
        {"16-bit mono", reference},
        {"16-bit stereo", wav(stereo, {left, right})},
        {"extensible 16-bit stereo", wav(stereo_extensible, {left, right})},
        {"8-bit mono", wav(bits8, {wide})},
        {"24-bit stereo", wav(bits24, {left, right})},
        {"32-bit mono", wav(bits32, {wide})},
        {"RIFF size left unset", wrong_riff_size},
        {"other chunks, odd sized, around the format",
         riff(chunk("LIST", "odd") + format + chunk("fact", "x") +
              chunk("data", pcm_bytes({wide}, 16)) + chunk("id3 ", "tag"))},
    };
    TempFolder folder;
    const fs::path input = folder.path / "in.wav";
    const fs::path output = folder.path / "out.adpcm";
    std::string expected;
    for (const auto& c : cases) {
        write_file(input, c.file);
        const ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
        ASSERT_EQ(0, run.exit_code) << c.what << ": " << run.output;
        const std::string adpcm = read_file(output);
        if (expected.empty()) {
            expected = adpcm;
            expect_well_formed(adpcm, c.what);
            // The last block is filled out with silence.
            EXPECT_EQ(41u * ADPCM_BLOCK_BYTES, adpcm.size());
            int largest = 0;
            std::vector<std::int16_t> decoded = decode(adpcm);
            decoded.resize(tone.size());
            EXPECT_GT(signal_to_noise(tone, decoded, &largest), 40.0);
        }
        EXPECT_EQ(expected, adpcm) << c.what;
        EXPECT_FALSE(fs::exists(output.string() + ".part")) << c.what;
    }
}

// Test signals at full scale, 48 kHz, made here so that the Windows build
// checks them too.
std::vector<std::int16_t> normalised(const std::vector<double>& signal) {
    double peak = 0;
    for (double v : signal) {
        peak = std::fabs(v) > peak ? std::fabs(v) : peak;
    }
    std::vector<std::int16_t> samples;
    for (double v : signal) {
        samples.push_back(static_cast<std::int16_t>(std::lround(v / peak * 32000)));
    }
    return samples;
}

const double PI = 3.14159265358979323846;

// Chords of plucked notes: sixteen harmonics each (up to 6 kHz and more),
// fast attack, exponential decay.
std::vector<std::int16_t> music_like() {
    const double chords[4][3] = {
        {261.6, 329.6, 392.0}, {220.0, 261.6, 329.6}, {174.6, 220.0, 261.6}, {196.0, 246.9, 293.7}};
    std::vector<double> signal(48000 * 3, 0.0);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const double t = static_cast<double>(i % 36000) / 48000;
        const double* chord = chords[i / 36000];
        const double envelope = (t < 0.005 ? t / 0.005 : 1) * std::exp(-t * 3);
        for (int note = 0; note < 3; ++note) {
            for (int harmonic = 1; harmonic <= 16; ++harmonic) {
                signal[i] += envelope / harmonic *
                             std::sin(2 * PI * chord[note] * harmonic * t + note + harmonic);
            }
        }
    }
    return normalised(signal);
}

// A voice: a glottal pulse train whose pitch glides, through three formant
// resonators that move from vowel to vowel, in syllables that open on a
// hiss of noise.
std::vector<std::int16_t> speech_like() {
    const double formants[5][3] = {{730, 1090, 2440},
                                   {270, 2290, 3010},
                                   {530, 1840, 2480},
                                   {300, 870, 2240},
                                   {660, 1720, 2410}};
    std::vector<double> signal(48000 * 3, 0.0);
    double phase = 0;
    double y1[3] = {0, 0, 0};
    double y2[3] = {0, 0, 0};
    std::uint32_t noise = 12345;
    double last_noise = 0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const double t = static_cast<double>(i) / 48000;
        const double pitch = 120 + 30 * std::sin(2 * PI * 0.7 * t);
        phase += pitch / 48000;
        double excitation = 0;
        if (phase >= 1) {
            phase -= 1;
            excitation = 1;
        }
        const std::size_t syllable = i / 9600;
        const double within = static_cast<double>(i % 9600) / 9600;
        const double loudness = std::sin(PI * within);
        double value = excitation;
        for (int f = 0; f < 3; ++f) {
            // A two-pole resonator at the formant, 80 Hz wide.
            const double radius = std::exp(-PI * 80 / 48000);
            const double angle = 2 * PI * formants[syllable % 5][f] / 48000;
            const double out =
                value + 2 * radius * std::cos(angle) * y1[f] - radius * radius * y2[f];
            y2[f] = y1[f];
            y1[f] = out;
            value = out;
        }
        signal[i] = value * loudness;
        noise = noise * 1664525u + 1013904223u;
        const double white = static_cast<double>(noise >> 8) / (1u << 24) - 0.5;
        if (within < 0.15) {
            // A high-passed hiss, as in s or f.
            signal[i] += (white - last_noise) * 2;
        }
        last_noise = white;
    }
    return normalised(signal);
}

// Square waves near both ends of the range: the decoder keeps the unwrapped
// prediction, so a single sample past the range would wrap.
std::vector<std::int16_t> hard_edges() {
    std::vector<std::int16_t> samples(48000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i / 37) % 2 == 0 ? 32767 : -32768;
    }
    return samples;
}

TEST(MakeAudio, DecodedSoundtrackIsNearTheInputAndThePrintedFigureIsTrue) {
    const struct {
        const char* what;
        std::vector<std::int16_t> samples;
        double least_snr;
    } cases[] = {
        {"music", music_like(), 40},
        {"speech", speech_like(), 40},
        {"hard edges", hard_edges(), 10},
    };
    TempFolder folder;
    const fs::path input = folder.path / "in.wav";
    const fs::path output = folder.path / "out.adpcm";
    for (const auto& c : cases) {
        write_file(input, mono16(c.samples));
        const ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
        ASSERT_EQ(0, run.exit_code) << c.what << ": " << run.output;
        const std::string adpcm = read_file(output);
        expect_well_formed(adpcm, c.what);
        std::vector<std::int16_t> decoded = decode(adpcm);
        decoded.resize(c.samples.size());
        int largest = 0;
        const double snr = signal_to_noise(c.samples, decoded, &largest);
        EXPECT_GE(snr, c.least_snr) << c.what;
        EXPECT_NEAR(snr, printed_snr(run.output), 0.06) << c.what << ": " << run.output;
        // A wrapped sample would be tens of thousands off.
        EXPECT_LT(largest, 16384) << c.what;
    }
}

// A translated image as far as make-audio reads it: sparse, with the
// movie's region made of the kit's audio sectors and zeros after them.
void make_image(const fs::path& path, int movie, std::uint32_t first_payload, std::uint32_t payload,
                std::size_t sectors) {
    const MovieRegion& region = MOVIE_REGIONS[movie];
    make_sparse_file(path, std::uint64_t{region.offset} + region.length);
    std::string bytes;
    unsigned char sector[KIT_SECTOR_BYTES];
    for (std::size_t s = 0; s < sectors; ++s) {
        const Sector kind{s == 0 ? SECTOR_FIRST_AUDIO : SECTOR_AUDIO,
                          static_cast<std::uint16_t>(s == 0 ? first_payload : payload)};
        kit_sector_bytes(kind, sector);
        bytes.append(reinterpret_cast<const char*>(sector), sizeof sector);
    }
    write_at(path, region.offset, bytes);
}

TEST(MakeAudio, ComparesTheSoundtrackWithTheMovie) {
    TempFolder folder;
    const fs::path image = folder.path / "target.iso";
    const fs::path input = folder.path / "in.wav";
    const fs::path output = folder.path / "out.adpcm";
    // 1,960 - 40 + 99 x 1,920 = 192,000 bytes of stereo PCM: one second.
    const struct {
        int movie;
        std::size_t samples;
        const char* message;
    } cases[] = {
        {0, 24000, "The soundtrack is 0.500 s too short: the movie's last 0.500 s will be silent."},
        {1, 72000, "The soundtrack is 0.500 s too long: its last 0.500 s will be cut."},
        {1, 48000 - 20, "The soundtrack fits the movie."},
        {0, 48000 + 20, "The soundtrack fits the movie."},
    };
    for (int movie = 0; movie < MOVIE_COUNT; ++movie) {
        const fs::path path = folder.path / ("target" + std::to_string(movie) + ".iso");
        make_image(path, movie, 1960, 1920, 100);
    }
    for (const auto& c : cases) {
        const fs::path path = folder.path / ("target" + std::to_string(c.movie) + ".iso");
        write_file(input, mono16(coarse_tone(c.samples)));
        const ProcessResult run =
            make_audio(folder.path, {input.string(), output.string(), "--image", path.string(),
                                     "--movie", std::to_string(c.movie)});
        EXPECT_EQ(0, run.exit_code) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
        EXPECT_NE(std::string::npos,
                  run.output.find(std::string("Movie ") + std::to_string(c.movie) + " (" +
                                  MOVIE_REGIONS[c.movie].resource_name +
                                  ") has room for 1.000 s of audio"))
            << run.output;
        EXPECT_TRUE(fs::exists(output));
        fs::remove(output);
    }

    // Not the translated image: too short, or no audio where the movie lies.
    write_file(image, "not an image");
    const fs::path silent = folder.path / "silent.iso";
    make_sparse_file(silent, std::uint64_t{MOVIE_REGIONS[1].offset} + MOVIE_REGIONS[1].length);
    const struct {
        fs::path image;
        const char* message;
    } refusals[] = {
        {image, "is too short to hold movie 1 (Ry_op): it is not the translated image"},
        {silent, "has no audio packets: it is not the translated image"},
        {folder.path / "missing.iso", "cannot open"},
    };
    for (const auto& c : refusals) {
        const ProcessResult run =
            make_audio(folder.path, {input.string(), output.string(), "--image", c.image.string(),
                                     "--movie", "1"});
        EXPECT_EQ(1, run.exit_code) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
        EXPECT_FALSE(fs::exists(output));
    }
}

// Files as other programs write them. sox and espeak-ng run on the build
// machine only.
bool have(const char* program) {
    return program[0] != '\0' && fs::exists(program);
}

ProcessResult run_tool(const char* program, const fs::path& folder,
                       const std::vector<std::string>& arguments) {
    return run_process(program, folder, "", arguments, true);
}

TEST(MakeAudio, ReadsWhatSoxWrites) {
    if (!have(SOX)) {
        GTEST_SKIP() << "sox is not available here";
    }
    TempFolder folder;
    const fs::path output = folder.path / "out.adpcm";
    const std::string music = "synth 3 pluck C3 pluck E3 pluck G3 pluck C4 remix - lowpass 5000";
    const struct {
        const char* what;
        std::string sox_arguments;
        int exit_code;
        const char* message;
    } cases[] = {
        {"16-bit stereo music", "-r 48000 -b 16 -c 2 %s " + music + " gain -n -0.5", 0, "dB"},
        {"24-bit mono", "-r 48000 -b 24 %s synth 1 sine 440 gain -n -0.5", 0, "24 bits"},
        {"8-bit mono", "-r 48000 -b 8 %s synth 1 sine 440", 0, "8 bits"},
        {"32-bit float", "-r 48000 -e floating-point -b 32 %s synth 1 sine 440", 1,
         "floating point"},
        {"44.1 kHz", "-r 44100 -b 16 %s synth 1 sine 440", 1, "sox INPUT.wav -r 48000"},
        {"A-law", "-r 48000 -e a-law %s synth 1 sine 440", 1, "format 0x0006, not PCM"},
    };
    for (const auto& c : cases) {
        const fs::path input = folder.path / "in.wav";
        std::vector<std::string> arguments = {"-n"};
        std::string rest = c.sox_arguments;
        std::size_t start = 0;
        while (start < rest.size()) {
            std::size_t end = rest.find(' ', start);
            end = end == std::string::npos ? rest.size() : end;
            const std::string word = rest.substr(start, end - start);
            arguments.push_back(word == "%s" ? input.string() : word);
            start = end + 1;
        }
        ASSERT_EQ(0, run_tool(SOX, folder.path, arguments).exit_code) << c.what;
        const ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
        EXPECT_EQ(c.exit_code, run.exit_code) << c.what << ": " << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << c.what << ": " << run.output;
        if (c.exit_code == 0) {
            expect_well_formed(read_file(output), c.what);
            EXPECT_GE(printed_snr(run.output), 40.0) << c.what << ": " << run.output;
        }
        fs::remove(output);
    }
}

TEST(MakeAudio, EncodesSynthesizedSpeechWell) {
    if (!have(SOX) || !have(ESPEAK)) {
        GTEST_SKIP() << "sox or espeak-ng is not available here";
    }
    TempFolder folder;
    const fs::path voice = folder.path / "voice.wav";
    const fs::path input = folder.path / "speech.wav";
    const fs::path output = folder.path / "out.adpcm";
    ASSERT_EQ(0, run_tool(ESPEAK, folder.path,
                          {"-w", voice.string(),
                           "Los traductores preparan el parche con su propio audio doblado."})
                     .exit_code);
    ASSERT_EQ(0, run_tool(SOX, folder.path,
                          {voice.string(), "-r", "48000", input.string(), "gain", "-n", "-0.1"})
                     .exit_code);
    const ProcessResult run = make_audio(folder.path, {input.string(), output.string()});
    ASSERT_EQ(0, run.exit_code) << run.output;
    EXPECT_GE(printed_snr(run.output), 40.0) << run.output;
}

} // namespace
