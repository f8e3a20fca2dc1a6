#pragma once

#include <cstdint>

// splitmix64: small, fast and the same on every host, unlike the standard
// library's distributions.
inline std::uint64_t kit_random(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A value from 0 to bound - 1 (bound > 0); the slight bias does not matter here.
inline std::uint64_t kit_random_below(std::uint64_t* state, std::uint64_t bound) {
    return kit_random(state) % bound;
}
