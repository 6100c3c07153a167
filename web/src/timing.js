// A song's length, read from its output the way the converter wrote it:
// delta times and events by the format's own rules (README: "The container
// format"), so that it reads every output, also those a MIDI reader refuses
// (F1-FE used as meta statuses, a tempo whose length byte is not 3, running
// status with nothing to run on). A MIDI reader is used for the piano roll
// (preview.js); this walk only needs the ticks and the tempo changes. Both
// read each output, as they answer different questions: what the converter
// wrote, and what a MIDI reader or player makes of it.
import { hexByte } from "./text.js";

// System and meta events by their type byte, as the format's table has them
// (META_KINDS, read from src/format/event_tables.hpp by build.mjs). In an
// output a length-prefixed type's length is a variable-length quantity and
// then that many bytes; an end of track is followed by one byte (its length,
// 0) and the track ends; a tempo by four (a length byte and three tempo
// bytes); any other type by nothing.
const metaTable = META_KINDS;  // named once: the bundler writes the table out wherever it is named
const LENGTH_PREFIXED = new Set(metaTable.length_prefixed);
const END_OF_TRACK = new Set(metaTable.end_of_track);
const TEMPO = new Set(metaTable.tempo);
const DEFAULT_TEMPO = 500000;  // microseconds a beat, until a tempo event says otherwise

// Bytes of an output's track handed out in pieces, read in order.
class OutputBytes {
  constructor(pieces) {
    this.pieces = pieces;
    this.index = 0;
    this.at = 0;
  }
  // The next byte, or -1 at the end.
  peek() {
    while (this.index < this.pieces.length) {
      const piece = this.pieces[this.index];
      if (this.at < piece.length) return piece[this.at];
      ++this.index;
      this.at = 0;
    }
    return -1;
  }
  next() {
    const byte = this.peek();
    if (byte >= 0) ++this.at;
    return byte;
  }
  skip(count) {
    for (let i = 0; i < count; ++i) if (this.next() < 0) return false;
    return true;
  }
}

// Data bytes a channel event has in the output (note off and pitch bend have
// gained their second byte).
function channelDataBytes(status) {
  const kind = status >> 4;
  return kind === 0xc || kind === 0xd ? 1 : 2;
}

// Reads one event with status `status`; false when the track ends with it
// (its end of track, or the bytes running out). Tempo changes go to
// `found.tempos`; length bytes of tempo and end-of-track events other than
// the 3 and 0 MIDI readers expect, to `found.oddLengths`.
function readEvent(bytes, status, explicit, tick, found) {
  if (status < 0x80) return true;
  if (explicit) bytes.next();
  if (status < 0xf0) return bytes.skip(channelDataBytes(status));
  const type = bytes.next();
  if (type < 0) return false;
  if (END_OF_TRACK.has(type)) {
    const length = bytes.next();
    if (length > 0) found.oddLengths.add(`end of track ${hexByte(length)}`);
    return false;
  }
  if (TEMPO.has(type)) {
    const length = bytes.next();  // copied as the container held it
    if (length >= 0 && length !== 3) found.oddLengths.add(`tempo ${hexByte(length)}`);
    const b0 = bytes.next(), b1 = bytes.next(), b2 = bytes.next();
    if (b2 < 0) return false;
    found.tempos.push({ tick, microsecondsPerBeat: (b0 << 16) | (b1 << 8) | b2 });
    return true;
  }
  if (!LENGTH_PREFIXED.has(type)) return true;
  // The output counts these bytes with a variable-length quantity: one byte
  // below 128, two from 128 on.
  let length = bytes.next();
  if (length < 0) return false;
  if (length >= 0x80) {
    const low = bytes.next();
    if (low < 0) return false;
    length = ((length & 0x7f) << 7) | low;
  }
  return bytes.skip(length);
}

// The track's length in ticks, its tempo changes, and what in it MIDI
// readers take differently from the converter: a delta time of more than
// four bytes (the format copies any), odd length bytes of tempo and end-of-
// track events (copied as they are), system statuses F1-FE other than F7
// written in the meta shape (status, type, then what the type says), and a
// data byte where an event starts with no running status to take (the
// converter reads it as the next delta time).
export function walkTrack(pieces) {
  const bytes = new OutputBytes(pieces);
  const found = { tempos: [], oddLengths: new Set() };
  const systemStatuses = new Set();
  let tick = 0;
  let deltaBytes = 0;
  let longDelta = false;
  let strayData = false;
  // The track's first byte, when it is a status, is an event with no delta
  // time in front; it does not set the running status.
  const first = bytes.peek();
  const noteStatus = (status) => {
    if (status > 0xf0 && status < 0xff && status !== 0xf7) systemStatuses.add(status);
  };
  if (first >= 0x80) {
    noteStatus(first);
    if (!readEvent(bytes, first, true, tick, found)) return { ticks: tick, ...found, longDelta, systemStatuses, strayData };
  }
  let remembered = 0;
  let delta = 0;
  for (;;) {
    const byte = bytes.next();
    if (byte < 0) break;
    delta = delta * 128 + (byte & 0x7f);
    ++deltaBytes;
    if (byte >= 0x80) continue;
    if (deltaBytes > 4) longDelta = true;
    tick += delta;
    delta = 0;
    deltaBytes = 0;
    const next = bytes.peek();
    if (next < 0) break;
    const explicit = next >= 0x80;
    if (explicit) {
      noteStatus(next);
      if (next < 0xf0) remembered = next;
      else if (next < 0xf8) remembered = 0;
    } else if (remembered === 0) {
      strayData = true;
    }
    // A data byte with no status to run on is read as the next delta time.
    if (!readEvent(bytes, explicit ? next : remembered, explicit, tick, found)) break;
  }
  return { ticks: tick, ...found, longDelta, systemStatuses, strayData };
}

// The head's division: ticks a beat, or SMPTE frames when its top bit is set.
export function readDivision(head) {
  const value = (head[12] << 8) | head[13];
  if (value & 0x8000) {
    return { smpte: true, value, framesPerSecond: 256 - (value >> 8), ticksPerFrame: value & 0xff };
  }
  return { smpte: false, value, ticksPerBeat: value };
}

// Seconds from the start to `tick`, with the tempo changes in effect.
export function secondsAt(tick, ticksPerBeat, tempos) {
  let seconds = 0;
  let from = 0;
  let tempo = DEFAULT_TEMPO;
  for (const change of tempos) {
    if (change.tick >= tick) break;
    seconds += ((change.tick - from) / ticksPerBeat) * (tempo / 1e6);
    from = change.tick;
    tempo = change.microsecondsPerBeat;
  }
  return seconds + ((tick - from) / ticksPerBeat) * (tempo / 1e6);
}

// The tick at the song's second `second`, with the tempo changes in effect:
// secondsAt's inverse.
export function tickAt(second, ticksPerBeat, tempos) {
  let from = 0;
  let fromSecond = 0;
  let tempo = DEFAULT_TEMPO;
  for (const change of tempos) {
    const at = fromSecond + ((change.tick - from) / ticksPerBeat) * (tempo / 1e6);
    if (at > second) break;
    from = change.tick;
    fromSecond = at;
    tempo = change.microsecondsPerBeat;
  }
  return from + ((second - fromSecond) * 1e6 / tempo) * ticksPerBeat;
}
