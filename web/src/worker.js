// The page's worker: conversions and zips run here, off the page's thread,
// so that the page keeps drawing and answering while a large container
// converts. The page starts it from its own text (the core's script and
// this one, inlined in the page), so it needs no file of its own and works
// from file:// too. Cancelling is the page ending the worker.
//
// Messages in:  { kind: "convert", id, file, discard }  { kind: "zip", id, entries }
// Messages out: { kind: "ready" }  { kind: "progress", id, done, total }
//               { kind: "done", id, result, timing }  { kind: "failed", id, message, known }
import { convertFile, ConversionError } from "./core.js";
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
  const result = await convertFile(await getCore(), file, timing, discard, onSong, onProgress);
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
    if (data.kind === "convert") await convert(data);
    else if (data.kind === "zip") postMessage({ kind: "done", id: data.id, result: await zipOutputs(data.entries) });
  } catch (error) {
    const known = error instanceof ConversionError;
    // The WebAssembly instance may be left broken: the next file gets a new one.
    if (!known) corePromise = null;
    postMessage({ kind: "failed", id: data.id, message: error.message || String(error), known });
  }
};

postMessage({ kind: "ready" });
