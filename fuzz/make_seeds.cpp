// Writes the seed corpora of the fuzz targets: a handful of small, valid (and
// a few nearly valid) inputs each, so that fuzzing starts from inputs that
// reach deep into the code rather than from noise.
//
//   make-fuzz-seeds <folder>   (writes <folder>/<target>/<name>)

#include "delta/format.h"
#include "fuzz/decode_feed.h"
#include "tests/support/vcdiff/encoder.h"

#include <cstdio>
#include <string>

namespace {

bool write_seed(const std::string& folder, const char* target, const char* name,
                const Bytes& bytes) {
    const std::string path = folder + "/" + target + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "make-fuzz-seeds: cannot create %s\n", path.c_str());
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

Bytes random_bytes(std::uint64_t* state, std::size_t length) {
    Bytes bytes(length);
    for (unsigned char& b : bytes) {
        b = static_cast<unsigned char>(next_random(state) >> 56);
    }
    return bytes;
}

// A target made of the source's pieces, a few new bytes, a run and a repeat
// of itself: every kind of instruction the encoder writes.
Bytes edited_copy(const Bytes& source, std::size_t from, std::size_t length) {
    Bytes target(source.begin() + static_cast<std::ptrdiff_t>(from),
                 source.begin() + static_cast<std::ptrdiff_t>(from + length));
    target[length / 3] ^= 0x5A;
    target.insert(target.begin() + static_cast<std::ptrdiff_t>(length / 2), 24, 'r');
    target.insert(target.end(), target.begin(), target.begin() + 40);
    return target;
}

Bytes encode(const Bytes& source, const Bytes& target, const VcdiffEncodeOptions& options) {
    Bytes delta;
    vcdiff_encode(source.empty() ? nullptr : source.data(), source.size(), target.data(),
                  target.size(), options, &delta);
    return delta;
}

Bytes with_prefix(Bytes prefix, const Bytes& rest) {
    prefix.insert(prefix.end(), rest.begin(), rest.end());
    return prefix;
}

// A window header announcing three sections of nearly 4 GiB each, with a
// few bytes of them present: no allocation may follow the announcement.
Bytes announced_sections() {
    const std::uint64_t huge = 0xFFFF0000u;
    Bytes lengths;
    for (int i = 0; i < 3; i++) {
        append_integer(&lengths, huge);
    }
    Bytes delta(VCDIFF_MAGIC, VCDIFF_MAGIC + sizeof VCDIFF_MAGIC);
    delta.push_back(0); // Hdr_Indicator
    delta.push_back(0); // Win_Indicator
    append_integer(&delta, 1 + 1 + lengths.size() + 3 * huge);
    delta.push_back(1); // target length
    delta.push_back(0); // Delta_Indicator
    delta.insert(delta.end(), lengths.begin(), lengths.end());
    delta.insert(delta.end(), {'x', 'y', 'z'});
    return delta;
}

bool decoder_seeds(const std::string& folder) {
    const Bytes& source = fuzz_source();
    const Bytes target = edited_copy(source, 2900, 420);
    VcdiffEncodeOptions plain = {};
    plain.window_size = 200;
    plain.with_checksum = true;
    plain.match_block = 16;
    const Bytes delta = encode(source, target, plain);

    VcdiffEncodeOptions styled = plain;
    static const unsigned char APPLICATION[] = "seed";
    styled.app_header = APPLICATION;
    styled.app_header_length = 4;
    styled.style.seed = 7;
    styled.window_size = 97;
    const Bytes styled_delta = encode(source, target, styled);

    Bytes runs(300, 'a');
    runs.insert(runs.end(), 50, 'b');
    runs.insert(runs.end(), runs.begin(), runs.begin() + 120);
    VcdiffEncodeOptions no_source = plain;
    no_source.with_checksum = false;
    const Bytes runs_delta = encode(Bytes(), runs, no_source);

    Bytes bad_sum = delta;
    bad_sum[bad_sum.size() - 1] ^= 1;
    const Bytes cut(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(delta.size() / 2));

    // Prefix: options, block size - 1 (2 bytes), failing allocation, chunk
    // seed (2 bytes), largest piece - 1.
    return write_seed(folder, "decoder", "cut_block512",
                      with_prefix({0x00, 0x01, 0xFF, 0, 0, 7, 40}, delta)) &&
           write_seed(folder, "decoder", "whole_hook_block1",
                      with_prefix({0x24, 0x00, 0x00, 0, 0, 0, 0}, delta)) &&
           write_seed(folder, "decoder", "styled_skip_checksum",
                      with_prefix({0x09, 0x00, 0x3F, 0, 0, 3, 5}, styled_delta)) &&
           write_seed(folder, "decoder", "no_source_runs",
                      with_prefix({0x02, 0x40, 0x00, 0, 0, 9, 200}, runs_delta)) &&
           write_seed(folder, "decoder", "bad_checksum",
                      with_prefix({0x20, 0x3F, 0xFF, 0, 0, 0, 0}, bad_sum)) &&
           write_seed(folder, "decoder", "cut_short_failing_alloc",
                      with_prefix({0x10, 0x00, 0x7F, 2, 0, 1, 16}, cut)) &&
           write_seed(folder, "decoder", "announced_sections",
                      with_prefix({0x02, 0x00, 0x00, 0, 0, 5, 6}, announced_sections()));
}

// One block: filter and shift, flag, 14 bytes of nibbles.
void put_adpcm_block(Bytes* out, unsigned filter, unsigned shift, unsigned flag,
                     std::uint64_t* state) {
    out->push_back(static_cast<unsigned char>(filter << 4 | shift));
    out->push_back(static_cast<unsigned char>(flag));
    const Bytes nibbles = random_bytes(state, 14);
    out->insert(out->end(), nibbles.begin(), nibbles.end());
}

bool adpcm_seeds(const std::string& folder) {
    std::uint64_t state = 2;
    Bytes filters;
    for (unsigned filter = 0; filter < 5; filter++) {
        put_adpcm_block(&filters, filter, 4 + filter, filter == 4 ? 1 : 0, &state);
    }
    Bytes stopped;
    put_adpcm_block(&stopped, 2, 6, 0, &state);
    put_adpcm_block(&stopped, 3, 6, 2, &state);
    put_adpcm_block(&stopped, 1, 6, 7, &state);
    put_adpcm_block(&stopped, 1, 6, 0, &state);
    Bytes loud; // shift 0 with strong filters leaves 16 bits quickly
    for (int i = 0; i < 20; i++) {
        put_adpcm_block(&loud, 2 + i % 3, 0, 0, &state);
    }
    Bytes partial = filters;
    partial.resize(partial.size() - 9);
    Bytes unusual; // filter rows above 4 and shifts above 12
    for (unsigned filter = 5; filter < 16; filter++) {
        put_adpcm_block(&unusual, filter, 13 + filter % 3, 0, &state);
    }
    return write_seed(folder, "adpcm", "filters", filters) &&
           write_seed(folder, "adpcm", "end_flag", stopped) &&
           write_seed(folder, "adpcm", "loud", loud) &&
           write_seed(folder, "adpcm", "partial_block", partial) &&
           write_seed(folder, "adpcm", "unusual_filters", unusual);
}

void put_pack_header(Bytes* out) {
    const Bytes header = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                          0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    out->insert(out->end(), header.begin(), header.end());
}

// A packet of stream id with payload bytes after a 17-byte header; audio
// packets carry the PCM sub-stream's signature at 19-22.
void put_packet(Bytes* out, unsigned char id, std::size_t payload, bool audio) {
    const std::size_t length = 17 + payload;
    const Bytes prefix = {0x00,
                          0x00,
                          0x01,
                          id,
                          static_cast<unsigned char>(length >> 8),
                          static_cast<unsigned char>(length)};
    out->insert(out->end(), prefix.begin(), prefix.end());
    Bytes header(17, 0x81);
    if (audio) {
        header[13] = 0xFF;
        header[14] = 0xA0;
        header[15] = 0x00;
        header[16] = 0x00;
    }
    out->insert(out->end(), header.begin(), header.end());
    out->insert(out->end(), payload, 0x11);
}

Bytes walk_input(std::size_t pcm_length, const Bytes& region, std::uint64_t* state) {
    Bytes input = {static_cast<unsigned char>(pcm_length >> 8),
                   static_cast<unsigned char>(pcm_length)};
    const Bytes pcm = random_bytes(state, pcm_length);
    input.insert(input.end(), pcm.begin(), pcm.end());
    input.insert(input.end(), region.begin(), region.end());
    return input;
}

bool movie_walk_seeds(const std::string& folder) {
    std::uint64_t state = 3;
    Bytes movie;
    put_pack_header(&movie);
    put_packet(&movie, 0xE0, 60, false);
    put_packet(&movie, 0xBD, 120, true); // the first keeps 40 bytes
    put_pack_header(&movie);
    put_packet(&movie, 0xBD, 100, true);
    put_packet(&movie, 0xBD, 2, false); // another sub-stream
    const Bytes short_packet = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x05, 1, 2, 3, 4, 5};
    movie.insert(movie.end(), short_packet.begin(), short_packet.end());
    put_packet(&movie, 0xBD, 80, true);
    Bytes cut = movie;
    cut.resize(cut.size() - 30);
    return write_seed(folder, "movie_walk", "movie", walk_input(160, movie, &state)) &&
           write_seed(folder, "movie_walk", "soundtrack_runs_out", walk_input(20, movie, &state)) &&
           write_seed(folder, "movie_walk", "no_pcm", walk_input(0, movie, &state)) &&
           write_seed(folder, "movie_walk", "cut_in_packet", walk_input(400, cut, &state));
}

bool encoder_seeds(const std::string& folder) {
    std::uint64_t state = 4;
    const Bytes source = random_bytes(&state, 300);
    const Bytes target = edited_copy(source, 20, 260);
    Bytes runs(90, 0);
    runs.insert(runs.end(), source.begin(), source.begin() + 30);
    runs.insert(runs.end(), runs.begin(), runs.begin() + 60);

    // Prefix: options, window size / 16, match block - 1, style seed,
    // preferred mode, shortest run, block size exponent, chunk seed, source
    // length (2 bytes).
    auto input = [](Bytes prefix, const Bytes& from, const Bytes& to) {
        prefix.push_back(static_cast<unsigned char>(from.size() >> 8));
        prefix.push_back(static_cast<unsigned char>(from.size()));
        prefix.insert(prefix.end(), from.begin(), from.end());
        prefix.insert(prefix.end(), to.begin(), to.end());
        return prefix;
    };
    return write_seed(folder, "encoder_round_trip", "plain",
                      input({0x01, 8, 15, 0, 0, 0, 9, 1}, source, target)) &&
           write_seed(folder, "encoder_round_trip", "random_codes",
                      input({0x13, 2, 3, 5, 0, 4, 2, 7}, source, target)) &&
           write_seed(folder, "encoder_round_trip", "no_source",
                      input({0x20, 0, 7, 0, 0, 3, 0, 2}, Bytes(), runs)) &&
           write_seed(folder, "encoder_round_trip", "whole_segment",
                      input({0x0D, 1, 31, 9, 7, 0, 14, 3}, source, runs));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-fuzz-seeds <folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool written = decoder_seeds(folder) && adpcm_seeds(folder) && movie_walk_seeds(folder) &&
                         encoder_seeds(folder);
    return written ? 0 : 1;
}
