#include "demo_kit/music.h"

#include <vector>

static constexpr unsigned SINE_BITS = 12;
static constexpr std::int32_t SINE_SIZE = 1 << SINE_BITS;
static constexpr std::int32_t SAMPLE_LIMIT = 28000;

// One wave of a sine, amplitude 32767, from a fixed-point Taylor series: no
// library floating point, whose last bits differ between C runtimes.
static void build_sine(std::int32_t* table) {
    // pi / 2 in units of 2^-30.
    const std::int64_t HALF_PI = 1686629713;
    for (std::int32_t i = 0; i < SINE_SIZE; ++i) {
        std::int32_t quarter = i % (SINE_SIZE / 2);
        if (quarter > SINE_SIZE / 4) {
            quarter = SINE_SIZE / 2 - quarter;
        }
        const std::int64_t x = HALF_PI * quarter / (SINE_SIZE / 4);
        const std::int64_t x2 = (x * x) >> 30;
        std::int64_t term = x;
        std::int64_t sum = x;
        for (std::int64_t k = 1; k <= 7; ++k) {
            term = -((term * x2) >> 30) / ((2 * k) * (2 * k + 1));
            sum += term;
        }
        std::int32_t value =
            static_cast<std::int32_t>((sum * 32767 + (std::int64_t{1} << 29)) >> 30);
        table[i] = i < SINE_SIZE / 2 ? value : -value;
    }
}

// Phase step per sample (a full turn is 2^32) of a MIDI note, A4 = 440 Hz.
static std::uint32_t phase_step(int note) {
    // 2^(k/12) in units of 2^-16.
    static const std::int64_t SEMITONE[12] = {65536, 69433, 73562,  77936,  82570,  87480,
                                              92682, 98193, 104032, 110218, 116772, 123715};
    const int offset = note - 69;
    const int octave = (offset >= 0 ? offset : offset - 11) / 12;
    const int semitone = offset - 12 * octave;
    std::int64_t frequency = (std::int64_t{440} << 16) * SEMITONE[semitone] >> 16;
    frequency = octave >= 0 ? frequency << octave : frequency >> -octave;
    return static_cast<std::uint32_t>((frequency << 16) / KIT_SAMPLE_RATE);
}

enum Voice { VOICE_PAD, VOICE_BASS, VOICE_LEAD };

struct Song {
    std::uint32_t beat_samples;
    int chords[4][3]; // one chord per bar, cycling
    int bass[4];      // root under each chord
    int melody[4][8]; // eighth notes over each chord; 0 is a rest
};

static const Song SONGS[2] = {
    {30000,
     {{60, 64, 67}, {55, 59, 62}, {57, 60, 64}, {53, 57, 60}},
     {36, 43, 45, 41},
     {{72, 76, 79, 76, 74, 72, 74, 76},
      {74, 71, 67, 71, 74, 79, 77, 74},
      {76, 72, 69, 72, 76, 81, 79, 76},
      {77, 72, 69, 72, 77, 76, 74, 0}}},
    {34286,
     {{57, 60, 64}, {53, 57, 60}, {55, 60, 64}, {55, 59, 62}},
     {45, 41, 48, 43},
     {{69, 72, 76, 72, 76, 79, 81, 0},
      {77, 72, 69, 72, 77, 81, 77, 72},
      {76, 72, 67, 72, 76, 79, 76, 72},
      {74, 71, 67, 71, 74, 79, 83, 0}}},
};

// Adds one note to the mix. Pads swell in and fade out over their last
// tenth of a second; bass and lead are plucked and die away exponentially.
static void add_note(const std::int32_t* sine, Voice voice, int note, std::int64_t level,
                     std::size_t start, std::size_t length, std::int32_t* mix, std::size_t count) {
    const std::uint32_t step = phase_step(note);
    std::uint32_t phase = 0;
    std::int64_t decay = std::int64_t{1} << 30;
    const std::size_t attack = voice == VOICE_PAD ? 4800 : 96;
    const std::size_t release = 4800;
    const unsigned decay_shift = voice == VOICE_BASS ? 13 : 14;
    for (std::size_t t = 0; t < length && start + t < count; ++t) {
        std::int64_t envelope = 32768; // 1.0 in units of 2^-15
        if (t < attack) {
            envelope = static_cast<std::int64_t>(32768 * t / attack);
        }
        if (voice == VOICE_PAD) {
            if (length - t < release) {
                envelope = envelope * static_cast<std::int64_t>(length - t) / release;
            }
        } else {
            envelope = (envelope * decay) >> 30;
            decay -= decay >> decay_shift;
        }
        const std::int64_t fundamental = sine[phase >> (32 - SINE_BITS)];
        const std::int64_t second = sine[(phase * 2) >> (32 - SINE_BITS)];
        const std::int64_t third = sine[(phase * 3) >> (32 - SINE_BITS)];
        const std::int64_t wave = voice == VOICE_LEAD ? fundamental + second / 4 + third / 8
                                                      : fundamental + second / 3 + third / 5;
        mix[start + t] += static_cast<std::int32_t>((wave * envelope * level) >> 30);
        phase += step;
    }
}

void kit_compose_song(unsigned song, std::int16_t* samples, std::size_t count) {
    std::vector<std::int32_t> sine(SINE_SIZE);
    build_sine(sine.data());
    std::vector<std::int32_t> mix(count, 0);
    const Song& plan = SONGS[song % 2];
    const std::size_t beat = plan.beat_samples;
    const std::size_t bar = 4 * beat;
    const std::size_t bars = (count + bar - 1) / bar;
    for (std::size_t b = 0; b < bars; ++b) {
        const std::size_t start = b * bar;
        const std::size_t chord = b % 4;
        const bool last_bar = b + 1 == bars;
        for (int n = 0; n < 3; ++n) {
            add_note(sine.data(), VOICE_PAD, plan.chords[chord][n], 2600, start, bar + 2400,
                     mix.data(), count);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            // Root on the strong beats, the fifth above on the others.
            const int note = plan.bass[chord] + (k % 2 == 0 ? 0 : 7);
            add_note(sine.data(), VOICE_BASS, note, 5200, start + k * beat, beat, mix.data(),
                     count);
        }
        // Two bars of chords and bass before the tune comes in; the tune
        // rests in the closing bar.
        if (b < 2 || last_bar) {
            continue;
        }
        for (std::size_t e = 0; e < 8; ++e) {
            const int note = plan.melody[chord][e];
            if (note != 0) {
                // Every third pass of the progression plays the tune an octave lower.
                const int octave = b / 4 % 3 == 2 ? -12 : 0;
                add_note(sine.data(), VOICE_LEAD, note + octave, 5600, start + e * beat / 2, beat,
                         mix.data(), count);
            }
        }
    }
    // Two seconds of fade at the end.
    const std::size_t fade = 2 * KIT_SAMPLE_RATE < count ? 2 * KIT_SAMPLE_RATE : count;
    for (std::size_t t = 0; t < count; ++t) {
        std::int64_t value = mix[t];
        if (t >= count - fade) {
            value = value * static_cast<std::int64_t>(count - t) / static_cast<std::int64_t>(fade);
        }
        if (value > SAMPLE_LIMIT) {
            value = SAMPLE_LIMIT;
        } else if (value < -SAMPLE_LIMIT) {
            value = -SAMPLE_LIMIT;
        }
        samples[t] = static_cast<std::int16_t>(value);
    }
}
