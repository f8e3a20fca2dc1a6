#include "demo_kit/kit.h"

#include "delta/adler32.h"
#include "demo_kit/adpcm.h"
#include "demo_kit/movie.h"
#include "demo_kit/music.h"
#include "demo_kit/plan.h"
#include "demo_kit/sha256.h"
#include "tools/adpcm_encoder/encoder.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

static const char APP_HEADER[] = "Veltrane demo kit: Japanese image to Spanish image";

void kit_make_soundtrack(unsigned movie, std::vector<unsigned char>* adpcm) {
    const std::size_t blocks = KIT_MOVIES[movie].resource_bytes / KIT_ADPCM_BLOCK_BYTES;
    std::vector<std::int16_t> samples(blocks * KIT_ADPCM_BLOCK_SAMPLES);
    kit_compose_song(movie, samples.data(), samples.size());
    adpcm->assign(blocks * KIT_ADPCM_BLOCK_BYTES, 0);
    encode_ps_adpcm(samples.data(), blocks, adpcm->data());
}

static bool write_whole_file(const std::string& path, const void* bytes, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

// The PCM each movie receives, as the player's shared buffer holds it when
// that movie is rewritten: zeros, then Ru_op laid out in stereo; then Ry_op
// laid out over it.
static void movie_pcm(const std::vector<unsigned char> adpcm[2],
                      std::vector<unsigned char> pcm[2]) {
    std::size_t buffer_bytes = 0;
    for (unsigned movie = 0; movie < 2; ++movie) {
        const std::size_t samples =
            adpcm[movie].size() / KIT_ADPCM_BLOCK_BYTES * KIT_ADPCM_BLOCK_SAMPLES;
        const std::size_t bytes = kit_stereo_bytes(samples);
        buffer_bytes = bytes > buffer_bytes ? bytes : buffer_bytes;
    }
    std::vector<unsigned char> buffer(buffer_bytes, 0);
    for (unsigned movie = 0; movie < 2; ++movie) {
        const std::size_t blocks = adpcm[movie].size() / KIT_ADPCM_BLOCK_BYTES;
        std::vector<std::int16_t> samples(blocks * KIT_ADPCM_BLOCK_SAMPLES);
        const std::size_t count = kit_decode_adpcm(adpcm[movie].data(), blocks, samples.data());
        kit_place_stereo(samples.data(), count, buffer.data());
        pcm[movie] = buffer;
    }
}

// Puts the PCM over the audio payload bytes that lie in the window.
static void rewrite_window_audio(const MovieLayout movies[2],
                                 const std::vector<unsigned char> pcm[2], const KitWindow& window,
                                 unsigned char* target) {
    const std::uint64_t window_end = window.target_offset + window.length;
    for (unsigned movie = 0; movie < 2; ++movie) {
        for (const AudioSpan& span : movies[movie].spans) {
            const std::uint64_t low = span.target_offset > window.target_offset
                                          ? span.target_offset
                                          : window.target_offset;
            const std::uint64_t span_end = span.target_offset + span.length;
            const std::uint64_t high = span_end < window_end ? span_end : window_end;
            if (low < high) {
                std::memcpy(target + (low - window.target_offset),
                            pcm[movie].data() + span.pcm_offset + (low - span.target_offset),
                            high - low);
            }
        }
    }
}

bool make_demo_kit(const char* folder, KitSummary* summary, const char** reason) {
    const std::filesystem::path base(folder);
    std::error_code error;
    std::filesystem::create_directories(base, error);
    if (error) {
        *reason = "cannot create the output folder";
        return false;
    }
    std::vector<unsigned char> adpcm[2];
    static const char* const SOUNDTRACK_NAMES[2] = {"Ru_op.adpcm", "Ry_op.adpcm"};
    for (unsigned movie = 0; movie < 2; ++movie) {
        kit_make_soundtrack(movie, &adpcm[movie]);
        if (!write_whole_file((base / SOUNDTRACK_NAMES[movie]).string(), adpcm[movie].data(),
                              adpcm[movie].size())) {
            *reason = "cannot write a soundtrack";
            return false;
        }
    }
    std::vector<unsigned char> pcm[2];
    movie_pcm(adpcm, pcm);

    MovieLayout movies[2];
    for (unsigned movie = 0; movie < 2; ++movie) {
        if (!kit_plan_movie(movie, &movies[movie])) {
            *reason = "a movie region cannot hold its soundtrack";
            return false;
        }
        for (const AudioSpan& span : movies[movie].spans) {
            if (span.pcm_offset + static_cast<std::uint64_t>(span.length) > pcm[movie].size()) {
                *reason = "a movie takes more PCM than the player holds";
                return false;
            }
        }
    }

    const std::string patch_path = (base / "Delta_patch.vcdiff").string();
    std::FILE* patch = std::fopen(patch_path.c_str(), "wb");
    if (patch == nullptr) {
        *reason = "cannot create the patch";
        return false;
    }
    std::vector<unsigned char> encoded;
    vcdiff_write_header(&encoded, reinterpret_cast<const unsigned char*>(APP_HEADER),
                        sizeof APP_HEADER - 1);
    const std::vector<KitWindow> windows = kit_windows();
    std::vector<unsigned char> target;
    WindowPlan plan;
    Sha256 hash;
    sha256_init(&hash);
    std::uint64_t patch_bytes = 0;
    bool ok = true;
    for (std::size_t index = 0; index < windows.size() && ok; ++index) {
        kit_plan_window(windows[index], index, movies, &plan);
        target.resize(plan.window.length);
        kit_build_window(plan, target.data());

        VcdiffWindowSpec spec;
        spec.has_source = plan.window.has_source;
        spec.source_offset = plan.window.source_offset;
        spec.source_length = plan.window.source_length;
        spec.with_checksum = true;
        spec.checksum = adler32(1, target.data(), target.size());
        spec.target_length = plan.window.length;
        const std::vector<VcdiffInstruction> instructions = kit_encoder_instructions(plan);
        if (!vcdiff_write_window(&encoded, spec, instructions.data(), instructions.size())) {
            *reason = "the encoder refused a window";
            ok = false;
            break;
        }
        ok = std::fwrite(encoded.data(), 1, encoded.size(), patch) == encoded.size();
        patch_bytes += encoded.size();
        encoded.clear();

        rewrite_window_audio(movies, pcm, plan.window, target.data());
        sha256_update(&hash, target.data(), target.size());
    }
    if (std::fclose(patch) != 0 || !ok) {
        if (ok) {
            *reason = "cannot write the patch";
        }
        return false;
    }

    unsigned char digest[SHA256_DIGEST_BYTES];
    sha256_final(&hash, digest);
    sha256_hex(digest, summary->digest);
    const std::string line = std::string(summary->digest) + "\n";
    if (!write_whole_file((base / "expected.sha256").string(), line.data(), line.size())) {
        *reason = "cannot write the expected digest";
        return false;
    }
    summary->patch_bytes = patch_bytes;
    summary->window_count = windows.size();
    return true;
}
