// Event mixes shared by the benchmark container generator and the core
// benchmark, so that both measure the same streams.
#pragma once

#include <cstdint>
#include <vector>

namespace bench_mixes {

// A small, fast, deterministic generator (splitmix64).
struct random_source {
    std::uint64_t state;
    std::uint32_t next() {
        state += 0x9E3779B97F4A7C15u;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
};

struct mix_counts {
    std::uint64_t events = 0, running_note_ons = 0, pads = 0, bytes = 0;
};


// A delta time of the interleaved mix.
inline void put_interleaved_delta(std::vector<std::uint8_t>& out, random_source& rng) {
    const std::uint32_t roll = rng.below(100);
    if (roll < 45) {
        out.push_back(0x00);
    } else if (roll < 80) {
        out.push_back(static_cast<std::uint8_t>(1 + rng.below(0x7F)));
    } else if (roll < 90) {
        const std::uint32_t value = 0x80 + rng.below(0x3F80);
        out.push_back(static_cast<std::uint8_t>(0x80 | (value >> 7)));
        out.push_back(static_cast<std::uint8_t>(value & 0x7F));
    } else {
        const std::uint32_t value = 0x4000 + rng.below(0x1FC000);
        out.push_back(static_cast<std::uint8_t>(0x80 | (value >> 14)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((value >> 7) & 0x7F)));
        out.push_back(static_cast<std::uint8_t>(value & 0x7F));
    }
}

// Songs as a single track holds them: every channel's events interleaved.
// Per thousand events: 650 note ons, 125 note offs, 85 controllers, 60 pitch
// bends, 40 program changes, 25 texts, 10 tempo changes, 5 signatures.
inline void make_interleaved_track(std::vector<std::uint8_t>& out, std::size_t target, random_source& rng,
                            mix_counts& mix) {
    std::uint8_t running = 0;
    std::uint32_t channel = rng.below(16);
    const auto status_then_data = [&](std::uint32_t kind) {
        const auto status = static_cast<std::uint8_t>(kind | channel);
        if (status != running) out.push_back(status);
        running = status;
    };
    for (const unsigned b : {0x00u, 0xFFu, 0x51u, 0x03u, 0x07u, 0xA1u, 0x20u}) out.push_back(static_cast<std::uint8_t>(b));
    while (out.size() < target) {
        if (rng.below(10) >= 7) channel = rng.below(16);
        put_interleaved_delta(out, rng);
        const std::uint32_t roll = rng.below(1000);
        if (roll < 650) {
            if (running == (0x90 | channel)) ++mix.running_note_ons;
            status_then_data(0x90);
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            out.push_back(static_cast<std::uint8_t>(1 + rng.below(127)));
        } else if (roll < 775) {
            status_then_data(0x80);
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            ++mix.pads;
        } else if (roll < 860) {
            status_then_data(0xB0);
            out.push_back(static_cast<std::uint8_t>(rng.below(120)));
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
        } else if (roll < 920) {
            status_then_data(0xE0);
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            ++mix.pads;
        } else if (roll < 960) {
            status_then_data(0xC0);
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
        } else if (roll < 985) {
            const std::uint32_t length = 3 + rng.below(8);
            out.push_back(0xFF);
            out.push_back(static_cast<std::uint8_t>(rng.below(2) == 0 ? 0x05 : 0x01));
            out.push_back(static_cast<std::uint8_t>(length));
            for (std::uint32_t i = 0; i < length; ++i) out.push_back(static_cast<std::uint8_t>('a' + rng.below(26)));
        } else if (roll < 995) {
            for (const unsigned b : {0xFFu, 0x51u, 0x03u}) out.push_back(static_cast<std::uint8_t>(b));
            for (int i = 0; i < 3; ++i) out.push_back(static_cast<std::uint8_t>(rng.below(256)));
        } else if (rng.below(2) == 0) {
            for (const unsigned b : {0xFFu, 0x58u, 0x04u, 0x04u, 0x02u, 0x18u, 0x08u}) out.push_back(static_cast<std::uint8_t>(b));
        } else {
            for (const unsigned b : {0xFFu, 0x59u, 0x02u}) out.push_back(static_cast<std::uint8_t>(b));
            out.push_back(static_cast<std::uint8_t>(rng.below(15) - 7));
            out.push_back(static_cast<std::uint8_t>(rng.below(2)));
        }
        ++mix.events;
    }
    for (const unsigned b : {0x00u, 0xFFu, 0x2Fu, 0x00u}) out.push_back(static_cast<std::uint8_t>(b));
    ++mix.events;
}

}  // namespace bench_mixes
