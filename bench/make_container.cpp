// Writes a large, well-formed container deterministically, for benchmarks.
//   make_container SIZE_BYTES OUT.dat [MIX]
// MIX is one of:
//   realistic    (the default) three songs of about a third of the size
//                each, with the event mix real songs have: runs of note ons
//                under running status, note offs and pitch bends (which gain a
//                pad byte each), controller and program changes, text and
//                tempo meta events; about a fifth of delta times take two bytes
//   realistic1   the same mix in one song
//   interleaved  three songs as songs stored in one track have them: all
//                sixteen channels interleaved (each event on the channel of
//                the one before with probability 0.7, otherwise on any), so
//                about a third of events change channel and carry their
//                status; 65% note ons, 12.5% note offs, 8.5% controllers, 6%
//                pitch bends, 4% program changes, 2.5% text events of 3-10
//                letters, 1% tempo changes, 0.5% time or key signatures;
//                delta times 45% zero, 35% one byte, 20% two or three bytes;
//                running status wherever a status repeats
//   interleaved1 the same mix in one song
//   note_ons     one song: one explicit note on, then only running note
//                ons with one-byte delta times (no byte of 0x80 or more)
//   offs_bends   one song: note offs and pitch bends alternating, each
//                with its explicit status (no running status)
// Prints the mix it produced: events, running-status share, output growth.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mixes.hpp"

namespace {

using bench_mixes::mix_counts;
using bench_mixes::random_source;

void put_delta(std::vector<std::uint8_t>& out, random_source& rng) {
    if (rng.below(5) == 0) {
        const std::uint32_t value = 0x80 + rng.below(0x3F80);
        out.push_back(static_cast<std::uint8_t>(0x80 | (value >> 7)));
        out.push_back(static_cast<std::uint8_t>(value & 0x7F));
    } else {
        out.push_back(static_cast<std::uint8_t>(rng.below(0x80)));
    }
}

// Appends events to `out` until it holds at least `target` bytes, then the end of track.
void make_track(std::vector<std::uint8_t>& out, std::size_t target, random_source& rng, mix_counts& mix) {
    std::uint8_t running = 0;
    const std::uint8_t channel = static_cast<std::uint8_t>(rng.below(16));
    const auto status_then_data = [&](std::uint8_t status) {
        if (status != running) out.push_back(status);
        running = status;
    };
    out.push_back(0x00);  // first delta time: one byte
    out.push_back(0xFF);
    out.push_back(0x51);
    out.push_back(0x03);
    out.push_back(0x07);
    out.push_back(0xA1);
    out.push_back(0x20);
    while (out.size() < target) {
        const std::uint32_t roll = rng.below(100);
        if (roll < 42) {  // a run of note ons (a chord or a phrase)
            const std::uint32_t run = 1 + rng.below(5);
            for (std::uint32_t i = 0; i < run; ++i) {
                put_delta(out, rng);
                if (running == (0x90 | channel)) ++mix.running_note_ons;
                status_then_data(static_cast<std::uint8_t>(0x90 | channel));
                out.push_back(static_cast<std::uint8_t>(rng.below(128)));
                out.push_back(static_cast<std::uint8_t>(1 + rng.below(127)));
                ++mix.events;
            }
        } else if (roll < 57) {  // note offs or a pitch-bend sweep: one data byte each, padded on output
            const std::uint8_t status = static_cast<std::uint8_t>((rng.below(4) == 0 ? 0xE0 : 0x80) | channel);
            const std::uint32_t run = 1 + rng.below(4);
            for (std::uint32_t i = 0; i < run; ++i) {
                put_delta(out, rng);
                status_then_data(status);
                out.push_back(static_cast<std::uint8_t>(rng.below(128)));
                ++mix.pads;
                ++mix.events;
            }
        } else if (roll < 83) {  // controller changes
            put_delta(out, rng);
            status_then_data(static_cast<std::uint8_t>(0xB0 | channel));
            out.push_back(static_cast<std::uint8_t>(rng.below(120)));
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            ++mix.events;
        } else if (roll < 90) {  // program change
            put_delta(out, rng);
            status_then_data(static_cast<std::uint8_t>(0xC0 | channel));
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            ++mix.events;
        } else if (roll < 96) {  // text: a lyric syllable or a marker
            put_delta(out, rng);
            const std::uint32_t length = 2 + rng.below(30);
            out.push_back(0xFF);
            out.push_back(static_cast<std::uint8_t>(rng.below(2) == 0 ? 0x05 : 0x01));
            out.push_back(static_cast<std::uint8_t>(length));
            for (std::uint32_t i = 0; i < length; ++i) out.push_back(static_cast<std::uint8_t>('a' + rng.below(26)));
            ++mix.events;
        } else {  // tempo change
            put_delta(out, rng);
            out.push_back(0xFF);
            out.push_back(0x51);
            out.push_back(0x03);
            for (int i = 0; i < 3; ++i) out.push_back(static_cast<std::uint8_t>(rng.below(256)));
            ++mix.events;
        }
    }
    for (const unsigned b : {0x00u, 0xFFu, 0x2Fu, 0x00u}) out.push_back(static_cast<std::uint8_t>(b));
    ++mix.events;
}

void put_u32_le(std::vector<std::uint8_t>& data, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) data[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Regular tracks: a stretch of running note ons with one-byte delta times,
// or note offs and pitch bends each with its status.
void make_regular_track(std::vector<std::uint8_t>& out, std::size_t target, bool note_ons, random_source& rng,
                        mix_counts& mix) {
    if (note_ons) {
        for (const unsigned b : {0x00u, 0x90u, 0x3Cu, 0x40u}) out.push_back(static_cast<std::uint8_t>(b));
    }
    while (out.size() < target) {
        out.push_back(static_cast<std::uint8_t>(rng.below(0x80)));
        if (note_ons) {
            ++mix.running_note_ons;
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            out.push_back(static_cast<std::uint8_t>(1 + rng.below(127)));
        } else {
            out.push_back(mix.events % 2 == 0 ? 0x83 : 0xE3);
            out.push_back(static_cast<std::uint8_t>(rng.below(128)));
            ++mix.pads;
        }
        ++mix.events;
    }
    for (const unsigned b : {0x00u, 0xFFu, 0x2Fu, 0x00u}) out.push_back(static_cast<std::uint8_t>(b));
    ++mix.events;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr,
                     "usage: make_container SIZE_BYTES OUT.dat "
                     "[realistic|realistic1|interleaved|interleaved1|note_ons|offs_bends]\n");
        return 2;
    }
    const std::size_t size = std::strtoull(argv[1], nullptr, 10);
    const std::string kind = argc == 4 ? argv[3] : "realistic";
    if (kind != "realistic" && kind != "realistic1" && kind != "interleaved" && kind != "interleaved1" &&
        kind != "note_ons" && kind != "offs_bends") {
        std::fprintf(stderr, "unknown mix %s\n", kind.c_str());
        return 2;
    }
    random_source rng{size};
    mix_counts mix;
    std::vector<std::uint8_t> image(16, 0);
    image.reserve(size + 4096);
    const std::uint8_t header[22] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0,
                                     'M', 'T', 'r', 'k', 0, 0, 0, 0};
    const int songs = kind == "realistic" || kind == "interleaved" ? 3 : 1;
    for (int song = 0; song < songs; ++song) {
        if (song > 0) put_u32_le(image, 4 * static_cast<std::size_t>(song), static_cast<std::uint32_t>(image.size() - 4));
        image.insert(image.end(), header, header + sizeof header);
        const std::size_t target = size * static_cast<std::size_t>(song + 1) / static_cast<std::size_t>(songs) - 4;
        if (kind == "note_ons" || kind == "offs_bends") {
            make_regular_track(image, target, kind == "note_ons", rng, mix);
        } else if (kind == "interleaved" || kind == "interleaved1") {
            bench_mixes::make_interleaved_track(image, target, rng, mix);
        } else {
            make_track(image, target, rng, mix);
        }
    }
    std::FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%s: %zu bytes, %llu events (%.2f bytes each), %.1f%% running-status note ons, output %.1f%% larger\n",
                argv[2], image.size(), static_cast<unsigned long long>(mix.events),
                static_cast<double>(image.size()) / static_cast<double>(mix.events),
                100.0 * static_cast<double>(mix.running_note_ons) / static_cast<double>(mix.events),
                100.0 * static_cast<double>(mix.pads) / static_cast<double>(image.size()));
    return 0;
}
