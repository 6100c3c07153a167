// What the piano roll and the player need from an output, read with a
// standard MIDI reader (midi-file): the notes, with their channel, pitch and
// ticks, the tempo changes and the time signatures. Outputs the reader
// refuses are reported in the page's own words, the reader's kept beside
// them; the song still downloads as it is.
import { parseMidi } from "midi-file";
import { secondsAt } from "./timing.js";

// Larger outputs are not read for a preview: the reader makes an object of
// every event, and a song this long is no longer drawn readably anyway.
export const PREVIEW_LIMIT = 4 * 1024 * 1024;

// `message`: the page's own reason; `detail`: the reader's words, or "".
export class PreviewRefused extends Error {
  constructor(message, detail = "") {
    super(message);
    this.detail = detail;
  }
}

// The reader's message without the file's bytes it may quote ("got: '...'"),
// and with anything but printable ASCII shown as "?".
function readerWords(error) {
  const text = error instanceof Error ? error.message : String(error);
  return text.replace(/,?\s*got:?\s*'[^]*$/, "").replace(/[^\x20-\x7e]/g, "?").trim();
}

// Notes from a track's events: a note on opens a note, the next note off
// (or note on of velocity 0) of the same channel and pitch closes the one
// opened first. A note still open at the track's end lasts until then.
function collectNotes(events) {
  const notes = [];
  const tempos = [];
  const signatures = [];
  const open = new Map();
  let tick = 0;
  for (const event of events) {
    if (!Number.isFinite(event.deltaTime)) break;  // cut short by the end of the file
    tick += event.deltaTime;
    if (event.type === "setTempo" && Number.isFinite(event.microsecondsPerBeat)) {
      tempos.push({ tick, microsecondsPerBeat: event.microsecondsPerBeat });
    } else if (event.type === "timeSignature" && event.numerator > 0 && event.denominator > 0) {
      // A bar of n/d holds n notes of 1/d, that is 4n/d beats of a quarter.
      signatures.push({ tick, beatsPerBar: (4 * event.numerator) / event.denominator });
    } else if (event.type === "noteOn" || event.type === "noteOff") {
      if (!Number.isFinite(event.noteNumber) || !Number.isFinite(event.velocity)) break;
      const key = event.channel * 128 + event.noteNumber;
      if (event.type === "noteOn") {
        if (!open.has(key)) open.set(key, []);
        open.get(key).push({ channel: event.channel, pitch: event.noteNumber, velocity: event.velocity, start: tick, end: tick });
      } else {
        const waiting = open.get(key);
        if (waiting && waiting.length > 0) {
          const note = waiting.shift();
          note.end = tick;
          notes.push(note);
        }
      }
    }
  }
  for (const waiting of open.values()) {
    for (const note of waiting) {
      note.end = tick;
      notes.push(note);
    }
  }
  notes.sort((a, b) => a.start - b.start || a.pitch - b.pitch);
  return { notes, tempos, signatures, ticks: tick };
}

// The preview of an output's bytes. Throws PreviewRefused with a reason a
// person can read.
export function readPreview(bytes) {
  if (bytes.length > PREVIEW_LIMIT) {
    throw new PreviewRefused(`it is longer than the ${PREVIEW_LIMIT / 1024 / 1024} MiB the page draws`);
  }
  let midi;
  try {
    midi = parseMidi(bytes);
  } catch (error) {
    throw new PreviewRefused("the MIDI reader refuses it, so the page cannot draw or play it", readerWords(error));
  }
  if (!midi.header.ticksPerBeat) {
    throw new PreviewRefused(midi.header.framesPerSecond ? "it is timed in SMPTE frames, not in beats" : "its division is 0 ticks a beat");
  }
  const { notes, tempos, signatures, ticks } = collectNotes(midi.tracks[0] || []);
  const ticksPerBeat = midi.header.ticksPerBeat;
  for (const note of notes) {
    note.startSeconds = secondsAt(note.start, ticksPerBeat, tempos);
    note.endSeconds = secondsAt(note.end, ticksPerBeat, tempos);
  }
  return { notes, tempos, signatures, ticks, ticksPerBeat, seconds: secondsAt(ticks, ticksPerBeat, tempos) };
}
