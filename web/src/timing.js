// A song's length, read from its output the way the converter wrote it:
// delta times and events by the format's own rules (README: "The container
// format"), so that it reads every output, also those a MIDI reader refuses
// (F1-FE used as meta statuses, a tempo whose length byte is not 3, running
// status with nothing to run on). A MIDI reader is used for the piano roll;
// this walk only needs the ticks and the tempo changes.

// System and meta types that carry a length and that many bytes; 2F (end of
// track) is followed by one byte, 51 (tempo) by four; others by nothing.
const LENGTH_PREFIXED = new Set([0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x20, 0x21, 0x54, 0x58, 0x59, 0x7f]);
const DEFAULT_TEMPO = 500000;  // microseconds a beat, until a tempo event says otherwise

// Bytes of an output's track handed out in pieces, read in order.
class PieceReader {
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

function hexByte(value) {
  return `0x${value.toString(16).toUpperCase().padStart(2, "0")}`;
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
function readEvent(reader, status, explicit, tick, found) {
  if (status < 0x80) return true;
  if (explicit) reader.next();
  if (status < 0xf0) return reader.skip(channelDataBytes(status));
  const type = reader.next();
  if (type < 0) return false;
  if (type === 0x2f) {
    const length = reader.next();
    if (length > 0) found.oddLengths.add(`end of track ${hexByte(length)}`);
    return false;
  }
  if (type === 0x51) {
    const length = reader.next();  // copied as the container held it
    if (length >= 0 && length !== 3) found.oddLengths.add(`tempo ${hexByte(length)}`);
    const b0 = reader.next(), b1 = reader.next(), b2 = reader.next();
    if (b2 < 0) return false;
    found.tempos.push({ tick, microsecondsPerBeat: (b0 << 16) | (b1 << 8) | b2 });
    return true;
  }
  if (!LENGTH_PREFIXED.has(type)) return true;
  // The output counts these bytes with a variable-length quantity: one byte
  // below 128, two from 128 on.
  let length = reader.next();
  if (length < 0) return false;
  if (length >= 0x80) {
    const low = reader.next();
    if (low < 0) return false;
    length = ((length & 0x7f) << 7) | low;
  }
  return reader.skip(length);
}

// The track's length in ticks, its tempo changes, and what in it MIDI
// readers take differently from the converter: a delta time of more than
// four bytes (the format copies any), odd length bytes of tempo and end-of-
// track events (copied as they are), system statuses F1-FE other than F7
// written in the meta shape (status, type, then what the type says), and a
// data byte where an event starts with no running status to take (the
// converter reads it as the next delta time).
export function walkTrack(pieces) {
  const reader = new PieceReader(pieces);
  const found = { tempos: [], oddLengths: new Set() };
  const systemStatuses = new Set();
  let tick = 0;
  let deltaBytes = 0;
  let longDelta = false;
  let strayData = false;
  // The track's first byte, when it is a status, is an event with no delta
  // time in front; it does not set the running status.
  const first = reader.peek();
  const noteStatus = (status) => {
    if (status > 0xf0 && status < 0xff && status !== 0xf7) systemStatuses.add(status);
  };
  if (first >= 0x80) {
    noteStatus(first);
    if (!readEvent(reader, first, true, tick, found)) return { ticks: tick, ...found, longDelta, systemStatuses, strayData };
  }
  let remembered = 0;
  let delta = 0;
  for (;;) {
    const byte = reader.next();
    if (byte < 0) break;
    delta = delta * 128 + (byte & 0x7f);
    ++deltaBytes;
    if (byte >= 0x80) continue;
    if (deltaBytes > 4) longDelta = true;
    tick += delta;
    delta = 0;
    deltaBytes = 0;
    const next = reader.peek();
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
    if (!readEvent(reader, explicit ? next : remembered, explicit, tick, found)) break;
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

export function formatDuration(seconds) {
  const whole = Math.round(seconds);
  const hours = Math.floor(whole / 3600);
  const minutes = Math.floor((whole % 3600) / 60);
  const rest = String(whole % 60).padStart(2, "0");
  return hours > 0 ? `${hours}:${String(minutes).padStart(2, "0")}:${rest}` : `${minutes}:${rest}`;
}
