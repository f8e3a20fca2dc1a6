#pragma once

// splitmix64: small, fast and the same on every host, unlike the standard
// library's distributions. The demo kit's content, the test encoder's random
// styles, the tests, the fuzz targets and the benchmarks all draw from it, so
// a seed means the same bytes everywhere.

#include <cstdint>

inline std::uint64_t next_random(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// A value from 0 to bound - 1 (bound > 0); the slight bias does not matter here.
inline std::uint64_t random_below(std::uint64_t* state, std::uint64_t bound) {
    return next_random(state) % bound;
}
