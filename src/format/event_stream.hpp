// Translation of a compact event stream into Standard MIDI File track data,
// one byte at a time: the statement of the format that everything faster
// (src/fast/) is tested against.
//
// A compact stream differs from a standard track in a few fixed ways: note-off
// and pitch-bend events carry one data byte instead of two (the second is
// always 0x00 and is restored here), and meta/system events use a one-byte
// length, which becomes a variable-length quantity (two bytes from 128 on).
// Everything else is copied byte for byte, running status included.
//
// The translation is resumable: `translate_track` fills the room it is given
// and returns, keeping its place in a `track_state`, so a caller can stream a
// track of any size through a fixed block buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

// A meta or system event's length as a standard track writes it, a
// variable-length quantity: one byte below 0x80; from 0x80 on two, 0x81 and
// the low seven bits (a byte of 0x80 or more says that more length bytes
// follow). Returns the bytes written.
inline std::size_t write_length(std::uint8_t length, std::uint8_t* out) {
    if (length < 0x80) {
        out[0] = length;
        return 1;
    }
    out[0] = static_cast<std::uint8_t>(0x80 | (length >> 7));
    out[1] = static_cast<std::uint8_t>(length & 0x7F);
    return 2;
}

enum class event_result : std::uint8_t {
    next_event,      // the event was written; the track goes on
    end_of_track,    // an end-of-track meta event was written
    input_exhausted  // the input image ended inside the event; the track ends here
};

// The most bytes one step of the translation writes: a delta-time byte and the
// event it completes (status, type, a length of two bytes and 255 data bytes:
// 260 exactly), or the opening offer. Callers must offer at least this much
// room to make progress.
inline constexpr std::size_t max_step_output = 260;

struct track_state {
    std::uint32_t read_position = 0;    // next byte of the input image to read
    std::uint8_t remembered_status = 0;  // running status; 0 means none
    bool offer_pending = true;           // the opening offer has not been made yet
    bool finished = false;               // end of track written or input exhausted
};

// The state for a track whose compact events start at `first_event_position`.
track_state start_track(std::uint32_t first_event_position);

// Copies the byte at `read_position` to `out` and advances both. Returns false,
// copying nothing, when `read_position` is at or past the end of the image.
// `out` must have room for the byte.
bool copy_byte(byte_view image, std::uint32_t& read_position, std::uint8_t*& out,
               std::uint8_t& byte);

// Reads a meta or system event's one-byte length into `length` and writes it
// as a variable-length quantity: one byte below 128, two from 128 on. False,
// writing nothing, when `read_position` is at or past the end of the image.
bool copy_length(byte_view image, std::uint32_t& read_position, std::uint8_t*& out, std::uint8_t& length);

// Writes one event whose status is `status`. With `explicit_status` the status
// byte stands at `read_position` and is copied; otherwise only data bytes are
// read (running status). `out` must have room for `max_step_output` bytes.
event_result copy_event(std::uint8_t status, bool explicit_status, byte_view image,
                        std::uint32_t& read_position, std::uint8_t*& out);

// The remembered status after an explicit status byte: a channel status
// becomes the running status; a system-common status (F0-F7) cancels it;
// real-time and meta statuses (F8-FF) leave it.
std::uint8_t next_remembered_status(std::uint8_t remembered, std::uint8_t status);

// What a step of the translation met, for a caller that describes a track
// rather than only writes it.
struct step_note {
    bool event = false;          // an event was written (not only a delta-time byte)
    std::uint8_t status = 0;     // its status, explicit or running
    std::uint32_t at = 0;        // where its status byte (or, running, its first data byte) stands
    event_result result = event_result::input_exhausted;  // how the event ended
};

// The opening offer: the byte at `read_position` is tried as an explicit
// status. It normally is a delta time (below 0x80) and nothing happens; a
// stream that starts with a status has that event copied with no delta time
// in front. Its result is not consulted and it does not set the running
// status, except that a stream cut short there ends the track: false then.
// `out` must have room for `max_step_output` bytes.
bool make_opening_offer(byte_view image, std::uint32_t& read_position, std::uint8_t*& out,
                        step_note* note = nullptr);

// One turn of the track's loop: a delta-time byte and, when it completes the
// delta time, the event behind it. False when the track has ended (an end of
// track written, or the image ran out). `out` must have room for
// `max_step_output` bytes.
bool translate_step(byte_view image, std::uint32_t& read_position, std::uint8_t& remembered,
                    std::uint8_t*& out, step_note* note = nullptr);

// Writes as much of the track as fits in `out` and returns the number of bytes
// written. It returns when the track is finished (state.finished) or when fewer
// than `max_step_output` bytes of room are left. The image must be smaller
// than 4 GiB.
std::size_t translate_track(byte_view image, track_state& state, std::span<std::uint8_t> out);

}  // namespace tolvarin
