// The converter's C interface, compiled to WebAssembly, driven from the page.
// A container's bytes go into the WebAssembly heap once; each song's output
// leaves it piece by piece (each piece copied out before the next call, as
// a piece lives only until then) and is gathered into a Blob, so the heap
// holds the container and the converter's working memory, never an output.
import { outputName } from "./names.js";
import { formatBytes } from "./text.js";

// The command line takes containers up to 4 GiB; the page stops at 256 MiB
// so that the container, its outputs and the browser fit in memory.
export const MAX_CONTAINER_BYTES = 256 * 1024 * 1024;
const READ_SLICE = 16 * 1024 * 1024;

// Statuses and reasons, as include/tolvarin/tolvarin.h numbers them.
const TRACK_PIECE = 1;
const HEAD_PIECE = 2;
const DONE = 3;
const JOIN = 4;
const NO_MEMORY = -1;
const TRACK_TOO_LONG = -2;
export const WALK = { ABSENT_SLOT: 0, PAST_THE_END: 1, HEAD_CUT_SHORT: 2, LAST_SLOT: 3 };
export const ENDING = { END_OF_TRACK: 0, END_OF_IMAGE: 1, CUT_SHORT: 2 };

export class ConversionError extends Error {}

function describe(core, session, index, image) {
  const c = core;
  if (c._tolvarin_describe_song(session, index) !== 0) throw new ConversionError("The converter could not describe this song.");
  const unknownTypes = [];
  for (let type = 0; type < 256; ++type) {
    if (c._tolvarin_met_unknown_meta_type(session, type)) unknownTypes.push(type);
  }
  const textType = c._tolvarin_text_type(session) >>> 0;
  let text = null;
  if (textType !== 0) {
    const at = c._tolvarin_text_position(session) >>> 0;
    const length = c._tolvarin_text_length(session) >>> 0;
    text = { type: textType, bytes: c.HEAPU8.slice(image + at, image + at + length) };
  }
  return {
    ending: c._tolvarin_track_ending(session),
    ranPastNextSong: c._tolvarin_ran_past_next_song(session) === 1,
    events: c._tolvarin_event_count(session) >>> 0,
    unknownTypes,
    text,
  };
}

// Track bytes are gathered from the heap into blocks of BLOCK bytes: a Blob
// of a few large parts is made far faster than one of thousands of small
// pieces.
const BLOCK = 16 * 1024 * 1024;

// Copies pieces of the heap into blocks: `takeBlock()` gives an empty one,
// `filled(block, used)` takes one that is full, or, at `finish`, the last
// one as far as it is filled. A piece lives only until the next call on its
// session, so it is copied at once.
class BlockFiller {
  constructor(takeBlock, filled) {
    this.takeBlock = takeBlock;
    this.filled = filled;
    this.block = null;
    this.used = 0;
  }
  write(heap, data, length) {
    while (length > 0) {
      if (!this.block) {
        this.block = this.takeBlock();
        this.used = 0;
      }
      const count = Math.min(length, BLOCK - this.used);
      this.block.set(heap.subarray(data, data + count), this.used);
      this.used += count;
      data += count;
      length -= count;
      if (this.used === BLOCK) this.finish();
    }
  }
  finish() {
    if (this.block && this.used > 0) this.filled(this.block, this.used);
    this.block = null;
  }
}

// One output's track as Blob parts. Its one block, made into a part each
// time it fills (the Blob copies its bytes), is reused: no fresh memory for
// each part.
class BlobWriter {
  constructor(discard) {
    this.discard = discard;
    this.parts = [];
    let spare = null;
    this.filler = new BlockFiller(() => spare || new Uint8Array(BLOCK), (block, used) => {
      this.parts.push(new Blob([block.subarray(0, used)]));
      spare = block;
    });
  }
  write(heap, data, length) {
    if (!this.discard) this.filler.write(heap, data, length);
  }
  flush() {
    this.filler.finish();
  }
  // Blocks the partner filled ({ buffer, length }), from byte `skip` of
  // the first on: made into parts as they are, never copied into the heap.
  append(blocks, skip) {
    if (this.discard) return;
    this.flush();
    for (const { buffer, length } of blocks) {
      if (skip < length) this.parts.push(new Blob([new Uint8Array(buffer, skip, length - skip)]));
      skip = Math.max(skip - length, 0);
    }
  }
}

// Tracks this long or longer are split with the partner, where there is one.
export const SPLIT_BYTES = 4 * 1024 * 1024;
// This side's share of a split track: the partner's half also has its
// output copied out of its heap and sent here.
const SPLIT_SHARE = 0.55;

// Where each song's track is split with the partner: { at, end } (the part
// is the image's bytes from `at` to `end`), or null for a track too short.
// A track is planned to end at the nearest song record behind it (or the
// image's end); the part runs a little past that, so that the partner's
// translation of a track that ends there ends inside it. (A track that runs
// on past the next song runs to the part's end: the partner's output is then
// not used, and this side translates the rest itself.)
export function splitsOf(positions, size) {
  return positions.map((position) => {
    const first = position + 22;
    const trackEnd = plannedEnd(positions, position, size);
    if (trackEnd - first < SPLIT_BYTES) return null;
    return { at: first + Math.floor((trackEnd - first) * SPLIT_SHARE), end: Math.min(size, trackEnd + 16), trackEnd };
  });
}

// The partner's side: the parts of `file` at `ranges` ({ at, end }) read
// into the heap, a slice at a time. Their addresses, in order; freed with
// freeParts.
export async function readParts(core, file, ranges) {
  const parts = [];
  try {
    for (const { at, end } of ranges) {
      const address = core._malloc(Math.max(end - at, 1)) >>> 0;
      if (address === 0) throw new ConversionError("Cannot alloc memory for the parts.");
      parts.push(address);
      for (let from = at; from < end; from += READ_SLICE) {
        const slice = new Uint8Array(await file.slice(from, Math.min(end, from + READ_SLICE)).arrayBuffer());
        core.HEAPU8.set(slice, address + (from - at));
      }
    }
  } catch (error) {
    freeParts(core, parts);
    throw error;
  }
  return parts;
}

export function freeParts(core, parts) {
  for (const address of parts) core._free(address);
}

// The partner's translation of a part read into the heap at `address`
// (`size` bytes, the track planned to end at `trackEnd` within them): its
// output in blocks ({ buffer, length }; none with `discard`) taken from
// `takeBlock`, their bytes in all (`size`), and where the translation
// stopped in the part (`end`).
export function convertPart(core, address, size, trackEnd, discard, takeBlock) {
  const c = core;
  const part = c._tolvarin_open_part(address, size, trackEnd) >>> 0;
  if (part === 0) throw new ConversionError("Cannot alloc memory for the part.");
  try {
    const blocks = [];
    const filler = new BlockFiller(takeBlock, (block, used) => blocks.push({ buffer: block.buffer, length: used }));
    let total = 0;
    for (;;) {
      const piece = c._tolvarin_next_piece(part);
      if (piece === DONE) break;
      if (piece !== TRACK_PIECE) throw new ConversionError(`The part stopped with status ${piece}.`);
      const length = c._tolvarin_piece_size(part) >>> 0;
      total += length;
      if (!discard) filler.write(c.HEAPU8, c._tolvarin_piece_data(part) >>> 0, length);
    }
    filler.finish();
    return { blocks, size: total, end: c._tolvarin_part_end(part) >>> 0 };
  } finally {
    c._tolvarin_close(part);
  }
}

// A block for the partner's output: BLOCK bytes.
export function newBlock() {
  return new Uint8Array(BLOCK);
}

// One song's output as a Blob: the track's pieces in order, then the head
// (which holds the track's length, known only at the end), handed out last
// but put first. `discard` drops the pieces instead, to time the converter
// alone.
// With `split` ({ at, end, ask }), the track from `at` on is asked of the
// partner at once (ask() gives its output, or null) while this side
// translates up to there; the two meet a little past it.
async function convertSong(core, session, index, discard, onPiece, split, timing) {
  const c = core;
  const status = split ? c._tolvarin_start_song_split(session, index, split.at) : c._tolvarin_start_song(session, index);
  if (status === NO_MEMORY) throw new ConversionError("Cannot alloc memory: the browser gave the converter too little memory for this song.");
  if (status !== 0) throw new ConversionError(`The converter refused song ${index + 1} (status ${status}).`);
  const track = new BlobWriter(discard);
  const part = split ? split.ask() : null;
  let head = null;
  let size = 0;
  for (;;) {
    const piece = c._tolvarin_next_piece(session);
    if (piece === TRACK_PIECE || piece === HEAD_PIECE) {
      const data = c._tolvarin_piece_data(session) >>> 0;
      const length = c._tolvarin_piece_size(session) >>> 0;
      size += length;
      if (piece === HEAD_PIECE) {
        head = c.HEAPU8.slice(data, data + length);
      } else {
        track.write(c.HEAPU8, data, length);
        onPiece(length);
      }
    } else if (piece === JOIN) {
      // The 64-bit numbers go to the module as two halves, low first.
      const offset = c._tolvarin_join_offset(session) >>> 0;
      const done = await part;
      const joined = done ? c._tolvarin_join(session, split.end - split.at, 0, done.size, 0, done.end) : c._tolvarin_join(session, 0, 0, 0, 0, 0);
      if (done && done.blocks.length > 0) {
        if (joined === 1) track.append(done.blocks, offset);
        split.giveBack(done.blocks);
      }
      if (joined === 1) {
        timing.joined = (timing.joined || 0) + 1;
        size += done.size - offset;
        onPiece(done.size - offset);
      } else if (joined !== 0) {
        throw new ConversionError(`The converter stopped with status ${joined}.`);
      }
    } else if (piece === DONE) {
      break;
    } else if (piece === NO_MEMORY) {
      throw new ConversionError("Cannot alloc memory: the browser gave the converter too little memory for this song.");
    } else if (piece === TRACK_TOO_LONG) {
      throw new ConversionError("This song's track would pass 4 GiB, more than a MIDI file's length field can count.");
    } else {
      throw new ConversionError(`The converter stopped with status ${piece}.`);
    }
  }
  if (discard) return { size, blob: null };
  track.flush();
  return { size, blob: new Blob([head, ...track.parts], { type: "audio/midi" }) };
}

// Copies the file into the heap a slice at a time, so that the browser never
// holds a second copy of a large container. Returns the image's address.
async function readIntoHeap(core, file) {
  const image = core._malloc(Math.max(file.size, 1)) >>> 0;
  if (image === 0) throw new ConversionError("Cannot alloc memory: the browser gave the converter too little memory for this file.");
  try {
    for (let at = 0; at < file.size; at += READ_SLICE) {
      const slice = new Uint8Array(await file.slice(at, at + READ_SLICE).arrayBuffer());
      core.HEAPU8.set(slice, image + at);  // HEAPU8 is looked up anew: a grown heap replaces it
    }
  } catch (error) {
    core._free(image);
    if (error instanceof ConversionError) throw error;
    throw new ConversionError(`The file could not be read (${error.message || error}).`);
  }
  return image;
}

// Lets other tasks run between songs: a message to ourselves is a task of
// its own, and unlike a timer it is not slowed in a hidden tab.
function yieldToPage() {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => resolve();
    channel.port2.postMessage(0);
  });
}

// The bytes of track the container holds for the songs at `positions`
// (heads, in song order) in an image of `size` bytes: each track runs from
// behind its 22-byte head to the nearest song record after it, or to the
// end of the image when there is none or the track ran past it. It is what
// progress is counted against; an output's track is a little longer (note
// offs and pitch bends gain a byte), so progress is a close estimate.
export function trackBytes(positions, ranPast, size) {
  let total = 0;
  positions.forEach((position, index) => {
    const end = ranPast[index] ? size : plannedEnd(positions, position, size);
    total += Math.max(end - (position + 22), 0);
  });
  return total;
}

// Where the track of the song at `position` is planned to end: at the
// nearest song record behind it, or the image's end.
function plannedEnd(positions, position, size) {
  let end = size;
  for (const other of positions) if (other > position && other < end) end = other;
  return end;
}

// Whether song 1's head is a MIDI file's head: "MThd", the length 6, and the
// track chunk's tag "MTrk" at its byte 14. The converter copies any 22 bytes
// as a head, so a picture or a text file still yields a "song"; this is how
// the page tells a container from a file that only went through the
// converter. (The track is not judged: the format reads any bytes as events.)
const MIDI_HEAD = [0x4d, 0x54, 0x68, 0x64, 0, 0, 0, 6];
const TRACK_TAG = [0x4d, 0x54, 0x72, 0x6b];
export function looksLikeHead(head) {
  return head.length >= 22 && MIDI_HEAD.every((byte, i) => head[i] === byte) &&
    TRACK_TAG.every((byte, i) => head[14 + i] === byte);
}

// Converts a File: every song the command line would write, with what the
// converter says about it. Timings go to `timing` (milliseconds): `convert`
// from the bytes in the heap to every output in a Blob, `describe` for the
// descriptions; and `joined`, the songs whose track's second half the
// partner translated. `onSong(number, count)` is told which song comes next and
// `onProgress(done, total)` the bytes of track written out of the estimate
// of `trackBytes`. With `discard`, the outputs are dropped piece by piece:
// the time is then the converter's alone.
export async function convertFile(core, file, timing = {}, discard = false, onSong = () => {}, onProgress = () => {},
                                  partner = null) {
  if (file.size > MAX_CONTAINER_BYTES) {
    throw new ConversionError(`This file is ${formatBytes(file.size)}; the page converts containers up to 256 MiB. The command line takes larger ones.`);
  }
  const image = await readIntoHeap(core, file);
  const session = core._tolvarin_open(image, file.size) >>> 0;
  if (session === 0) {
    core._free(image);
    throw new ConversionError("Cannot alloc memory: the converter could not start on this file.");
  }
  const result = { songs: [], walkEnd: 0, stoppedAt: 0, error: null };
  let load = null;
  try {
    const count = core._tolvarin_song_count(session) >>> 0;
    // The partner reads its parts from the file while this side describes.
    const splits = partner ? splitsOf([...Array(count).keys()].map((index) => core._tolvarin_song_position(session, index) >>> 0), file.size) : [];
    if (splits.some((split) => split)) load = partner.load(file, splits.filter((split) => split));
    result.walkEnd = core._tolvarin_walk_end(session);
    result.stoppedAt = core._tolvarin_walk_stopped_at(session) >>> 0;
    const described = [];
    let started = performance.now();
    for (let index = 0; index < count; ++index) described.push(describe(core, session, index, image));
    timing.describe = performance.now() - started;
    timing.convert = 0;
    const positions = described.map((_, index) => core._tolvarin_song_position(session, index) >>> 0);
    result.looksLikeContainer = count === 0 || looksLikeHead(core.HEAPU8.subarray(image + 16, image + 38));
    const total = trackBytes(positions, described.map((song) => song.ranPastNextSong), file.size);
    let done = 0;
    const onPiece = (length) => {
      done += length;
      onProgress(done, total);
    };
    for (let index = 0; index < count; ++index) {
      onSong(index + 1, count);
      await yieldToPage();
      const number = core._tolvarin_song_number(session, index) >>> 0;
      const position = positions[index];
      let output;
      started = performance.now();
      try {
        const split = load && splits[index];
        output = await convertSong(core, session, index, discard, onPiece, split && {
          ...split,
          ask: () => partner.ask(load, split, discard),
          giveBack: (blocks) => partner.giveBack(blocks),
        }, timing);
        timing.convert += performance.now() - started;
      } catch (error) {
        // As the command line does: outputs before the failure stand, none after.
        if (!(error instanceof ConversionError)) throw error;
        result.error = error.message;
        break;
      }
      result.songs.push({ number, position, name: outputName(file.name, number), ...described[index], ...output });
    }
  } finally {
    if (load) partner.unload(load);
    core._tolvarin_close(session);
    core._free(image);
  }
  return result;
}
