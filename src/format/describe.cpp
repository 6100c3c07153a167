// What a song's track holds, found by walking it with the byte-at-a-time
// translation into a scratch block: the walk is the translation itself, so
// the description can never disagree with the output.
#include "format/container.hpp"
#include "format/event_stream.hpp"
#include "format/event_tables.hpp"

namespace tolvarin {
namespace {

// Notes what one event was: one more whole event; a meta or system event's
// type when it is outside the table; the track's first text event.
void note_event(byte_view image, const step_note& note, song_description& description) {
    if (!note.event) return;
    if (note.result != event_result::input_exhausted) ++description.events;
    if (note.status < 0xF0 || static_cast<std::size_t>(note.at) + 1 >= image.size()) return;
    const std::uint8_t type = image[note.at + 1];
    if (meta_kinds[type] == meta_kind::bare) description.unknown_meta_types[type / 64] |= std::uint64_t{1} << (type % 64);
    if (description.has_text || type < 0x01 || type > 0x07) return;
    const std::size_t length_at = static_cast<std::size_t>(note.at) + 2;
    if (length_at >= image.size()) return;
    description.has_text = true;
    description.text_type = type;
    description.text_position = static_cast<std::uint32_t>(length_at + 1);
    const std::size_t held = image.size() - (length_at + 1);
    description.text_length = static_cast<std::uint32_t>(image[length_at] < held ? image[length_at] : held);
}

}  // namespace

song_description describe_song(byte_view image, const container_plan& plan, std::uint32_t index) {
    song_description description;
    if (index >= plan.count || !plan_fits(plan, image.size())) return description;
    const song_place& song = plan.songs[index];
    std::uint8_t scratch[max_step_output];
    std::uint32_t position = song.first_event;
    std::uint8_t remembered = 0;
    step_note note;
    std::uint8_t* out = scratch;
    bool goes_on = make_opening_offer(image, position, out, &note);
    note_event(image, note, description);
    if (!goes_on) {
        // The image ended at the track's first byte, or inside its first event.
        description.ending = position > song.first_event ? track_ending::cut_short : track_ending::end_of_image;
    }
    // A step that read a delta-time byte of 0x80 or more stands inside a
    // delta time: the image ending there cuts the next event short.
    bool inside_delta = false;
    while (goes_on) {
        if (position >= image.size()) {
            description.ending = inside_delta ? track_ending::cut_short : track_ending::end_of_image;
            break;
        }
        out = scratch;
        goes_on = translate_step(image, position, remembered, out, &note);
        inside_delta = goes_on && !note.event && image[position - 1] >= 0x80;
        note_event(image, note, description);
        if (!goes_on) {
            description.ending =
                note.result == event_result::end_of_track ? track_ending::end_of_track : track_ending::cut_short;
        }
    }
    description.end_position = position;
    description.ran_past_next_song = position > song.planned_end && song.planned_end < image.size();
    return description;
}

}  // namespace tolvarin
