#pragma once

#include <cstdint>

// The Japanese image: its exact length and two signatures. The demo kit
// spells them again in demo_kit/source_image.h, deliberately independently.
constexpr std::int64_t SOURCE_IMAGE_SIZE = 0x56C28000;
constexpr std::uint32_t BOOT_PATH_OFFSET = 593928;
constexpr char BOOT_PATH_SIGNATURE[] = "cdrom0:\\SXKQ_805.17;1";
constexpr std::uint32_t SECOND_SIGNATURE_OFFSET = 2398042;
constexpr char SECOND_SIGNATURE[] = ".unknvma";

// Size of the translated image, for the progress arithmetic.
constexpr std::uint32_t EXPECTED_OUTPUT_SIZE = 0x5C730000;

// The patched image is named after the source: its last four characters
// (".iso") give way to this.
constexpr char OUTPUT_SUFFIX[] = "_patched.iso";

// The player's whole run, from banner to the wait for Enter. Always 0.
int run_patcher();
