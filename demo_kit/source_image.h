#pragma once

// The synthetic Japanese image: the size and the two signatures the patcher
// identifies, zeros, and a 4 KiB pseudo-random chunk somewhere in every
// 256 KiB, so that a patch built on it reads source blocks from all over the
// image. Any range of it can be computed without the file.
//
// Size, offsets and signatures are a deliberately independent spelling of
// app/run.h's.

#include <cstddef>
#include <cstdint>

constexpr std::uint64_t KIT_SOURCE_SIZE = 1455587328;
constexpr std::uint64_t KIT_BOOT_SIGNATURE_OFFSET = 593928;
constexpr char KIT_BOOT_SIGNATURE[] = "cdrom0:\\SXKQ_805.17;1"; // 21 bytes
constexpr std::uint64_t KIT_SECOND_SIGNATURE_OFFSET = 2398042;
constexpr char KIT_SECOND_SIGNATURE[] = ".unknvma"; // 8 bytes

// The image's bytes from offset on; zeros past its end.
void kit_source_bytes(std::uint64_t offset, unsigned char* out, std::size_t length);

// Writes the image to path as a sparse file, seeking over the zeros. false
// when the file cannot be written in full.
bool kit_write_source_image(const char* path);
