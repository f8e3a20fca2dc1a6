#include "tests/kit/test_patch.h"

#include "delta/adler32.h"
#include "tools/vcdiff/window_writer.h"

#include <cstring>

static std::uint64_t next_random(std::uint64_t* state) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return *state >> 33;
}

std::vector<unsigned char> make_test_source() {
    std::vector<unsigned char> source(TEST_SOURCE_BYTES);
    std::uint64_t state = 17;
    for (unsigned char& byte : source) {
        byte = static_cast<unsigned char>(next_random(&state));
    }
    return source;
}

// Collects one window's instructions and builds its target bytes alongside,
// the plain way: no code-table or address-cache concerns.
struct WindowBuilder {
    const std::vector<unsigned char>* source;
    VcdiffWindowSpec spec;
    std::vector<VcdiffInstruction> instructions;
    std::vector<unsigned char> target;
    std::vector<std::vector<unsigned char>> bytes; // ADD and RUN bytes, kept in place
};

static void start_window(WindowBuilder* window, bool has_source, std::uint64_t offset,
                         std::uint64_t length) {
    window->spec = VcdiffWindowSpec{has_source, offset, has_source ? length : 0, true, 0, 0};
    window->instructions.clear();
    window->target.clear();
    window->bytes.clear();
    window->bytes.reserve(64);
}

static void add(WindowBuilder* window, std::size_t size, std::uint64_t seed) {
    std::vector<unsigned char> data(size);
    for (unsigned char& byte : data) {
        byte = static_cast<unsigned char>(next_random(&seed));
    }
    window->target.insert(window->target.end(), data.begin(), data.end());
    window->bytes.push_back(std::move(data));
    window->instructions.push_back({VCDIFF_ADD, size, 0, window->bytes.back().data()});
}

static void run(WindowBuilder* window, unsigned char byte, std::size_t size) {
    window->target.insert(window->target.end(), size, byte);
    window->bytes.push_back({byte});
    window->instructions.push_back({VCDIFF_RUN, size, 0, window->bytes.back().data()});
}

static void copy_source(WindowBuilder* window, std::uint64_t address, std::size_t size) {
    const unsigned char* from = window->source->data() + window->spec.source_offset + address;
    window->target.insert(window->target.end(), from, from + size);
    window->instructions.push_back({VCDIFF_COPY, size, address, nullptr});
}

// From this window's own bytes at target position from; may overlap.
static void copy_target(WindowBuilder* window, std::size_t from, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        window->target.push_back(window->target[from + i]);
    }
    window->instructions.push_back({VCDIFF_COPY, size, window->spec.source_length + from, nullptr});
}

static bool finish_window(WindowBuilder* window, TestPatch* out) {
    window->spec.target_length = window->target.size();
    window->spec.checksum = adler32(1, window->target.data(), window->target.size());
    if (!vcdiff_write_window(&out->patch, window->spec, window->instructions.data(),
                             window->instructions.size())) {
        return false;
    }
    out->target.insert(out->target.end(), window->target.begin(), window->target.end());
    out->window_ends.push_back(out->patch.size());
    out->window_lengths.push_back(window->target.size());
    return true;
}

bool make_test_patch(std::size_t app_header_bytes, TestPatch* out) {
    const std::vector<unsigned char> source = make_test_source();
    *out = TestPatch{};
    std::vector<unsigned char> app_header(app_header_bytes, 'h');
    vcdiff_write_header(&out->patch, app_header_bytes != 0 ? app_header.data() : nullptr,
                        app_header_bytes);
    out->header_bytes = out->patch.size();

    WindowBuilder window{&source, {}, {}, {}, {}};
    // The whole source: blocks 3 and 4, then 0, then the short last block.
    start_window(&window, true, 0, TEST_SOURCE_BYTES);
    copy_source(&window, 3 * 16384 + 100, 20000);
    copy_source(&window, 5, 300);
    add(&window, 40000, 1);
    copy_source(&window, TEST_SOURCE_BYTES - 500, 500);
    run(&window, 0xAB, 3000);
    copy_target(&window, window.target.size() - 3, 1000);
    copy_target(&window, 0, 5000);
    copy_source(&window, 2 * 16384 - 10, 30);
    bool ok = finish_window(&window, out);

    // No source: the last byte repeated, and a copy of the window's start.
    start_window(&window, false, 0, 0);
    add(&window, 1000, 2);
    run(&window, 0x00, 20000);
    copy_target(&window, window.target.size() - 1, 50);
    copy_target(&window, 0, 500);
    ok = ok && finish_window(&window, out);

    // A segment that starts 4 bytes before block 1: address 10 is block 1, offset 6.
    start_window(&window, true, 16380, 40000);
    copy_source(&window, 10, 100);
    copy_source(&window, 39000, 1000);
    add(&window, 100, 3);
    copy_target(&window, 50, 700);
    ok = ok && finish_window(&window, out);

    // A segment that ends exactly where the source does.
    start_window(&window, true, TEST_SOURCE_BYTES - 1100, 1100);
    copy_source(&window, 0, 1100);
    ok = ok && finish_window(&window, out);

    start_window(&window, false, 0, 0);
    run(&window, 0x55, 10);
    add(&window, 17, 4);
    return ok && finish_window(&window, out);
}
