// The shape of every event the compact stream can hold, as tables indexed by
// a status or a meta type. Shared by the byte-at-a-time translation and the
// fast paths, so that both read the format from one place.
#pragma once

#include <array>
#include <cstdint>

namespace tolvarin {

// Channel events by status byte: how many data bytes follow the status in the
// compact stream, and whether a 0x00 is added behind them. Note off (8n) and
// pitch bend (En) keep only their first data byte in the container; the
// second is always zero. Bytes below 0x80 (no status) have no data bytes, so a
// data byte met without a remembered status is read as the next delta time.
struct channel_shape {
    std::uint8_t data_bytes;
    std::uint8_t pad;
};

inline constexpr std::array<channel_shape, 256> channel_shapes = [] {
    std::array<channel_shape, 256> shapes{};
    for (unsigned status = 0x80; status < 0xF0; ++status) {
        switch (status >> 4) {
            case 0x8: case 0xE: shapes[status] = {1, 1}; break;
            case 0x9: case 0xA: case 0xB: shapes[status] = {2, 0}; break;
            default: shapes[status] = {1, 0}; break;  // Cn, Dn
        }
    }
    return shapes;
}();

// System and meta events (status F0-FF) by their type byte: what follows it.
enum class meta_kind : std::uint8_t {
    bare,             // nothing: the next byte starts a delta time
    length_prefixed,  // a one-byte length L, then L bytes
    end_of_track,     // exactly one byte (the length, 0); the track ends
    tempo             // exactly four bytes: a length byte and three tempo bytes
};

inline constexpr std::array<meta_kind, 256> meta_kinds = [] {
    std::array<meta_kind, 256> kinds{};
    for (unsigned type = 0x00; type <= 0x07; ++type) kinds[type] = meta_kind::length_prefixed;
    for (unsigned type : {0x20u, 0x21u, 0x54u, 0x58u, 0x59u, 0x7Fu}) kinds[type] = meta_kind::length_prefixed;
    kinds[0x2F] = meta_kind::end_of_track;
    kinds[0x51] = meta_kind::tempo;
    return kinds;
}();

// Of the remembered (running) status, only its class matters to what is
// written: the running status byte itself is never written again, and a
// running event's shape depends on its class alone.
enum running_class : std::uint8_t {
    no_running,
    one_padded,  // note off, pitch bend: one data byte, then the pad
    two_data,    // note on, key pressure, controller
    one_data,    // program change, channel pressure
    running_class_count,
    // Only while a chunk is translated speculatively: the class is not known
    // yet, and has not mattered so far.
    unknown_running = running_class_count
};

// A status of each class, to carry the running status in and out.
inline constexpr std::uint8_t class_status[running_class_count] = {0x00, 0x80, 0x90, 0xC0};

// The class of a remembered status (0 is none).
constexpr running_class class_of_status(std::uint8_t status) {
    if (status < 0x80 || status >= 0xF0) return no_running;
    const channel_shape shape = channel_shapes[status];
    if (shape.pad != 0) return one_padded;
    return shape.data_bytes == 2 ? two_data : one_data;
}

}  // namespace tolvarin
