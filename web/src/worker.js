// The page's worker: conversions and zips run here, off the page's thread,
// so that the page keeps drawing and answering while a large container
// converts. The page starts it from its own text (the core's script and
// this one, inlined in the page), so it needs no file of its own and works
// from file:// too. Cancelling is the page ending the worker.
//
// Messages in:  { kind: "convert", id, file, discard }  { kind: "zip", id, entries }
//               { kind: "partner", port }  { kind: "partner-lost" }  { kind: "serve", port }
// Messages out: { kind: "ready" }  { kind: "progress", id, done, total }
//               { kind: "done", id, result, timing }  { kind: "failed", id, message, known }
//
// The converting worker may have a partner, another worker running this
// script, reached over `port`, that translates the second half of each long
// song's track (see core.js). Over the port, to the partner:
//   { kind: "load", load, file, ranges }  the parts to read from the file
//   { kind: "part", id, load, index, trackEnd, discard }  translate one
//   { kind: "unload", load }  { kind: "blocks", buffers }  output blocks back
// and from it: { kind: "part-done", id, blocks, size, end } { kind: "part-failed", id }.
import { convertFile, convertPart, readParts, freeParts, newBlock, ConversionError } from "./core.js";
import { formatBytes } from "./text.js";
import { walkTrack, readDivision, secondsAt } from "./timing.js";
import { readPreview, PreviewRefused } from "./preview.js";
import { zipOutputs } from "./zip.js";

let corePromise = null;

function getCore() {
  // createTolvarinCore comes from the core's script, which runs before this one.
  if (!corePromise) corePromise = Promise.resolve().then(() => createTolvarinCore().ready);
  return corePromise;
}

// Progress is sent at most every PROGRESS_MS: a piece can be a few bytes.
const PROGRESS_MS = 100;

// The song's length in seconds, when its division gives it one.
function songSeconds(division, walk) {
  if (!Number.isSafeInteger(walk.ticks)) return null;
  if (division.smpte) return division.framesPerSecond * division.ticksPerFrame > 0 ? walk.ticks / (division.framesPerSecond * division.ticksPerFrame) : null;
  if (division.ticksPerBeat === 0) return null;
  return secondsAt(walk.ticks, division.ticksPerBeat, walk.tempos);
}

// What the page shows of a song that needs its bytes: the length walk and
// the preview (or why there is none). The walk's tempo changes stay here: a
// long song has hundreds of thousands, and the page's thread would take
// seconds to receive them; it gets the seconds they add up to.
function readSong(song, bytes) {
  const division = readDivision(bytes.subarray(0, 22));
  const walk = walkTrack([bytes.subarray(22)]);
  song.division = division;
  song.walk = { ...walk, tempos: null, seconds: songSeconds(division, walk) };
  try {
    song.preview = readPreview(bytes);
  } catch (error) {
    if (!(error instanceof PreviewRefused)) throw error;
    song.refusal = { reason: error.message, detail: error.detail };
  }
}

// The converting side: its partner's port and the parts asked of it.
let partnerPort = null;
const partsAsked = new Map();  // id -> the resolve of the part's promise
let nextPart = 1;
let nextLoad = 1;

function losePartner() {
  partnerPort = null;
  for (const resolve of partsAsked.values()) resolve(null);
  partsAsked.clear();
}

// What the converting side asks of its partner. The partner reads its parts
// from the file itself (a page's workers share no memory, and a copy sent
// from this side's heap would cost this side the time it saves); the
// output's blocks come back moved, not copied, and go back to it once made
// into Blobs, so that it fills memory already its own.
const partner = {
  load(file, ranges) {
    if (!partnerPort) return null;
    const load = nextLoad++;
    partnerPort.postMessage({ kind: "load", load, file, ranges: ranges.map(({ at, end }) => ({ at, end })) });
    return { load, ranges };
  },
  // The output of a load's part `range` (one of those it was given), or
  // null when there is none (the partner failed or stopped).
  ask({ load, ranges }, range, discard) {
    if (!partnerPort) return Promise.resolve(null);
    const id = nextPart++;
    const index = ranges.indexOf(range);
    const { at, trackEnd } = range;
    return new Promise((resolve) => {
      partsAsked.set(id, resolve);
      partnerPort.postMessage({ kind: "part", id, load, index, trackEnd: trackEnd - at, discard });
    });
  },
  unload({ load }) {
    if (partnerPort) partnerPort.postMessage({ kind: "unload", load });
  },
  giveBack(blocks) {
    const buffers = blocks.map((block) => block.buffer);
    if (partnerPort) partnerPort.postMessage({ kind: "blocks", buffers }, buffers);
  },
  get present() { return partnerPort !== null; },
};

function takePartner(port) {
  partnerPort = port;
  port.onmessage = ({ data }) => {
    const resolve = partsAsked.get(data.id);
    if (!resolve) return;
    partsAsked.delete(data.id);
    resolve(data.kind === "part-done" ? data : null);
  };
}

// The partner's side: the parts of each load read into the heap as soon as
// they are known, and each translated when it is asked for.
const loads = new Map();  // load -> a promise of the parts' addresses and sizes
// Blocks given back, for the next parts' output; beyond a few (64 MiB) they
// are let go, so that the memory of one large container is not kept for good.
const freeBlocks = [];
const KEPT_BLOCKS = 4;

function takeBlock() {
  return freeBlocks.pop() || newBlock();
}

async function loadParts(file, ranges) {
  const core = await getCore();
  const addresses = await readParts(core, file, ranges);
  return ranges.map(({ at, end }, index) => ({ address: addresses[index], size: end - at }));
}

function serve(port) {
  getCore();  // compiled now, not when the first part comes
  port.onmessage = async ({ data }) => {
    if (data.kind === "load") {
      const loading = loadParts(data.file, data.ranges);
      loading.catch(() => {});  // a failed load fails its parts
      loads.set(data.load, loading);
    } else if (data.kind === "unload") {
      const loading = loads.get(data.load);
      loads.delete(data.load);
      if (loading) loading.then(async (parts) => freeParts(await getCore(), parts.map((part) => part.address)), () => {});
    } else if (data.kind === "blocks") {
      for (const buffer of data.buffers) if (freeBlocks.length < KEPT_BLOCKS) freeBlocks.push(new Uint8Array(buffer));
    } else if (data.kind === "part") {
      try {
        const core = await getCore();
        // Nothing waited for between the parts' addresses and their
        // translation: an unload that came meanwhile frees them only after.
        const parts = await loads.get(data.load);
        const { address, size } = parts[data.index];
        const part = convertPart(core, address, size, data.trackEnd, data.discard, takeBlock);
        port.postMessage({ kind: "part-done", id: data.id, ...part }, part.blocks.map((block) => block.buffer));
      } catch (error) {
        if (!(error instanceof ConversionError)) {
          // The instance may be broken: a new one, and the parts read into
          // this one's heap are gone with it.
          corePromise = null;
          loads.clear();
        }
        port.postMessage({ kind: "part-failed", id: data.id });
      }
    }
  };
}

async function convert({ id, file, discard }) {
  const timing = {};
  let sentAt = 0;
  const onProgress = (done, total) => {
    const now = performance.now();
    if (now - sentAt < PROGRESS_MS) return;
    sentAt = now;
    postMessage({ kind: "progress", id, done, total });
  };
  const onSong = (number, count) => postMessage({ kind: "progress", id, song: number, count });
  const result = await convertFile(await getCore(), file, timing, discard, onSong, onProgress,
                                   partner.present ? partner : null);
  if (!discard) {
    postMessage({ kind: "progress", id, reading: true });
    const reader = new FileReaderSync();
    for (let index = 0; index < result.songs.length; ++index) {
      const song = result.songs[index];
      let bytes;
      try {
        bytes = new Uint8Array(reader.readAsArrayBuffer(song.blob));
      } catch (error) {
        // The browser could not keep the output (its room for files made by
        // pages is full): like the command line at a failed write, the songs
        // before it stand and none after.
        result.error = `The browser could not keep ${song.name} (${formatBytes(song.size)}): ${error.message || error} Its room for files made by pages may be full; converting fewer or smaller containers at a time, or the command line, gets this song.`;
        result.songs.length = index;
        break;
      }
      readSong(song, bytes);
    }
  }
  postMessage({ kind: "done", id, result, timing });
}

onmessage = async ({ data }) => {
  try {
    if (data.kind === "partner") takePartner(data.port);
    else if (data.kind === "partner-lost") losePartner();
    else if (data.kind === "serve") serve(data.port);
    else if (data.kind === "convert") await convert(data);
    else if (data.kind === "zip") postMessage({ kind: "done", id: data.id, result: await zipOutputs(data.entries) });
  } catch (error) {
    const known = error instanceof ConversionError;
    // The WebAssembly instance may be left broken: the next file gets a new one.
    if (!known) corePromise = null;
    postMessage({ kind: "failed", id: data.id, message: error.message || String(error), known });
  }
};

postMessage({ kind: "ready" });
