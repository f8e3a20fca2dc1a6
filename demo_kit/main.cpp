// make-demo-kit OUTDIR       writes the patch, the two soundtracks and the
//                            digest of the image the patcher should produce
// make-demo-kit --image PATH writes the synthetic Japanese image

#include "demo_kit/kit.h"
#include "demo_kit/source_image.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--image") == 0) {
        if (!kit_write_source_image(argv[2])) {
            std::fprintf(stderr, "make-demo-kit: cannot write the image %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: make-demo-kit OUTDIR | make-demo-kit --image PATH\n");
        return 2;
    }
    KitSummary summary;
    const char* reason = nullptr;
    if (!make_demo_kit(argv[1], &summary, &reason)) {
        std::fprintf(stderr, "make-demo-kit: %s\n", reason);
        return 1;
    }
    std::printf("make-demo-kit: %llu windows, patch of %llu bytes, expected image %s\n",
                static_cast<unsigned long long>(summary.window_count),
                static_cast<unsigned long long>(summary.patch_bytes), summary.digest);
    return 0;
}
