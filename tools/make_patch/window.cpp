#include "tools/make_patch/window.h"

#include "delta/adler32.h"

bool encode_window(const std::vector<PlannedOp>& plan, const unsigned char* target,
                   std::size_t length, bool with_checksum, std::vector<VcdiffInstruction>* scratch,
                   std::vector<unsigned char>* out) {
    std::uint64_t low = ~std::uint64_t{0};
    std::uint64_t high = 0;
    for (const PlannedOp& op : plan) {
        if (op.kind == VCDIFF_COPY && op.from_source) {
            low = op.from < low ? op.from : low;
            high = op.from + op.size > high ? op.from + op.size : high;
        }
    }
    VcdiffWindowSpec window = {};
    if (high != 0) {
        window.has_source = true;
        window.source_offset = low;
        window.source_length = high - low;
    }
    window.target_length = length;
    window.with_checksum = with_checksum;
    if (with_checksum) {
        window.checksum = adler32(1, target, length);
    }
    scratch->clear();
    for (const PlannedOp& op : plan) {
        std::uint64_t address = 0;
        if (op.kind == VCDIFF_COPY) {
            address = op.from_source ? op.from - low : window.source_length + op.from;
        }
        scratch->push_back(VcdiffInstruction{op.kind, op.size, address, target + op.at});
    }
    return vcdiff_write_window(out, window, scratch->data(), scratch->size());
}
