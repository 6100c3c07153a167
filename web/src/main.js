// The page: containers dropped or chosen, converted one after another by the
// WebAssembly core, each shown with its songs (facts, warnings, a download
// link, a piano roll and a player), and every song as one zip.
//
// What the tests rely on (keep it stable; web/README.md says the same):
//   #containers             the file input, several files at once
//   [data-container=NAME]   one element per dropped file, in order, with
//                           data-state "waiting", "working", then "done" or "error"
//   [data-output-name=NAME] one element per song inside it, holding a[download]
//                           whose href is a blob: URL of exactly the output
//   [data-error]            the message of a container that gave one
//   [data-no-songs]         the note of a container with no song
//   #zip, #zip-link         the zip's button, then its a[download] (data-state "done")
//   canvas.roll-canvas      the piano roll, its layout in data attributes
//   window.tolvarinPage     conversions, lastConversionMs, timeConverter(index)
//                           and renderSong(songElement, seconds)
import { convertFile, ConversionError, formatBytes, WALK, ENDING } from "./core.js";
import { walkTrack, readDivision, secondsAt, formatDuration } from "./timing.js";
import { readPreview, PreviewRefused } from "./preview.js";
import { drawRoll, describeRoll, formatBeats, CHANNEL_COLOURS } from "./roll.js";
import { Player, renderOffline } from "./synth.js";
import { zipOutputs } from "./zip.js";
import { uniqueFolders } from "./names.js";

const TEXT_KINDS = { 1: "Text", 2: "Copyright", 3: "Track name", 4: "Instrument", 5: "Lyric", 6: "Marker", 7: "Cue point" };

const results = document.getElementById("results");
const status = document.getElementById("status");
const zipButton = document.getElementById("zip");
const zipLink = document.getElementById("zip-link");
const clearButton = document.getElementById("clear");
const input = document.getElementById("containers");
const overlay = document.getElementById("drop-overlay");

const page = { lastConversionMs: null, lastDescribeMs: null, conversions: [] };
window.tolvarinPage = page;

// Everything the page knows of each dropped container, in drop order.
const containers = [];
const previews = new WeakMap();  // song element -> its preview
let corePromise = null;
let player = null;

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "text") node.textContent = value;
    else if (name === "className") node.className = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) if (child) node.append(child);
  return node;
}

function getCore() {
  // The module compiles on the spot (its bytes are in the page); `ready`
  // settles once it runs.
  if (!corePromise) corePromise = Promise.resolve().then(() => createTolvarinCore().ready);
  return corePromise;
}

function plural(count, word) {
  return `${count.toLocaleString("en")} ${word}${count === 1 ? "" : "s"}`;
}

function hexByte(value) {
  return `0x${value.toString(16).toUpperCase().padStart(2, "0")}`;
}

// Text bytes as a person can read them: one character a byte, controls shown as dots.
function readableText(bytes) {
  const text = new TextDecoder("windows-1252").decode(bytes);
  return text.replace(/[\u0000-\u001f\u007f]/g, "\u00b7");
}

// Why the walk over the slots found no further song, when that is worth a word.
function walkWarning(result) {
  const next = result.songs.length + 1;
  const at = result.stoppedAt.toLocaleString("en");
  if (result.walkEnd === WALK.PAST_THE_END && next > 1) {
    return `Slot ${next} points to byte ${at}, at or past the end of the file: song ${next} and any after it are not there.`;
  }
  if (result.walkEnd === WALK.HEAD_CUT_SHORT && next > 1) {
    return `Slot ${next} points to byte ${at}, too near the end of the file for a song's 22-byte head: song ${next} and any after it are not there.`;
  }
  return null;
}

function noSongReason(file) {
  if (file.size < 38) {
    return `No song: the file is ${plural(file.size, "byte")}, too short for one (a container's first song starts at byte 16 and its head takes 22 bytes). The command line writes no file for it either.`;
  }
  return "No song: the command line writes no file for it either.";
}

function songWarnings(song) {
  const warnings = [];
  if (song.ranPastNextSong) {
    warnings.push("This track has no end-of-track event before the next song's place: it runs on through the bytes behind it, another song's among them, to the end of the file. The command line's output holds those bytes too.");
  } else if (song.ending === ENDING.END_OF_IMAGE || song.ending === ENDING.CUT_SHORT) {
    warnings.push("This track has no end-of-track event: it runs on to the end of the file.");
  }
  if (song.ending === ENDING.CUT_SHORT) {
    warnings.push("The file ends inside an event: its last event is cut short, and the output ends where the bytes run out.");
  }
  if (song.unknownTypes.length > 0) {
    warnings.push(`Meta or system event types the format does not know (${song.unknownTypes.map(hexByte).join(", ")}): each is written as its status and type alone, and the bytes after it are read as the next delta time. MIDI readers may read these events differently.`);
  }
  return warnings;
}

// The song's length, and warnings for what MIDI readers take differently
// from the converter.
function lengthFacts(head, track) {
  const division = readDivision(head);
  const walk = walkTrack([track]);
  const warnings = [];
  if (walk.longDelta) {
    warnings.push("A delta time here takes more than four bytes: the format copies it whole, but MIDI readers refuse it or read it differently.");
  }
  if (walk.systemStatuses.size > 0) {
    const statuses = [...walk.systemStatuses].sort((a, b) => a - b).map(hexByte).join(", ");
    warnings.push(`System statuses (${statuses}) are written as the format makes them, like meta events with a type byte: MIDI readers refuse them or read them differently.`);
  }
  if (walk.oddLengths.size > 0) {
    warnings.push(`Length bytes that MIDI readers do not expect (${[...walk.oddLengths].join(", ")}; they expect 3 for a tempo and 0 for an end of track): the format copies them as they are, and MIDI readers refuse them.`);
  }
  if (walk.strayData) {
    warnings.push("A data byte stands where an event starts, with no running status to take: the converter reads it as the next delta time; MIDI readers refuse it.");
  }
  return { text: lengthText(division, walk.ticks, walk.tempos), warnings };
}

function lengthText(division, ticks, tempos) {
  if (!Number.isSafeInteger(ticks)) return "too long to count: its delta times add up to more than 2\u2075\u00b3 ticks";
  const tickText = plural(ticks, "tick");
  if (division.smpte) {
    return `${tickText}, timed in SMPTE frames, not beats (division 0x${division.value.toString(16).toUpperCase()}: ${division.framesPerSecond} frames a second, ${division.ticksPerFrame} ticks a frame)`;
  }
  if (division.ticksPerBeat === 0) return `${tickText}; the division is 0 ticks a beat, so the song has no length in beats or time`;
  const beats = ticks / division.ticksPerBeat;
  const seconds = secondsAt(ticks, division.ticksPerBeat, tempos);
  return `${formatBeats(beats)} beats (${tickText} at ${division.ticksPerBeat} a beat), ${formatDuration(seconds)}`;
}

// Appends the children that are there (a part with nothing to say is null).
function appendPresent(node, ...children) {
  node.append(...children.filter((child) => child));
}

function facts(entries) {
  const list = element("dl", { className: "facts" });
  for (const [term, value] of entries) list.append(element("div", {}, element("dt", { text: term }), element("dd", { text: value })));
  return list;
}

function warningList(warnings) {
  if (warnings.length === 0) return null;
  const list = element("ul", { className: "warnings" });
  for (const text of warnings) list.append(element("li", { text }));
  return list;
}

// The roll's tick under the song's second `second`.
function tickAt(preview, second) {
  let from = 0;
  let fromSecond = 0;
  let tempo = 500000;
  for (const change of preview.tempos) {
    const at = fromSecond + ((change.tick - from) / preview.ticksPerBeat) * (tempo / 1e6);
    if (at > second) break;
    from = change.tick;
    fromSecond = at;
    tempo = change.microsecondsPerBeat;
  }
  return from + ((second - fromSecond) * 1e6 / tempo) * preview.ticksPerBeat;
}

function stopPlayer() {
  if (!player) return;
  player.instance.stop();
  player.finish();
  player = null;
}

function drawPreview(songView) {
  const { preview, canvas, scroller } = songView;
  const width = Math.max(scroller.clientWidth, 200);
  songView.place = drawRoll(canvas, preview, width);
  canvas.setAttribute("aria-label", describeRoll(preview));
}

function previewView(songView, bytes) {
  const figure = element("figure", { className: "roll" });
  let preview;
  try {
    preview = readPreview(bytes);
  } catch (error) {
    if (!(error instanceof PreviewRefused)) throw error;
    figure.append(element("p", { className: "preview-note", "data-preview": "refused", text: `No piano roll or playing for this song: ${error.message}. It still downloads exactly as the command line writes it.` }));
    return figure;
  }
  if (preview.notes.length === 0) {
    figure.append(element("p", { className: "preview-note", "data-preview": "no-notes", text: "This song has no notes to draw or play." }));
    return figure;
  }
  const canvas = element("canvas", { className: "roll-canvas", role: "img" });
  const playhead = element("div", { className: "playhead", hidden: "" });
  const scroller = element("div", { className: "roll-scroll", tabindex: "0", "aria-label": "Piano roll, scrolls sideways" }, canvas, playhead);
  const legend = element("ul", { className: "legend", "aria-label": "Channel colours" });
  for (const channel of [...new Set(preview.notes.map((note) => note.channel))].sort((a, b) => a - b)) {
    legend.append(element("li", { "data-channel": channel },
      element("span", { className: "swatch", "data-colour": CHANNEL_COLOURS[channel], style: `background:${CHANNEL_COLOURS[channel]}` }),
      `Channel ${channel + 1}`));
  }
  const play = element("button", { type: "button", className: "play", "aria-pressed": "false", text: "Play" });
  figure.append(scroller, element("figcaption", {}, play, legend));
  Object.assign(songView, { preview, canvas, scroller, playhead });
  previews.set(songView.root, preview);
  play.addEventListener("click", () => togglePlay(songView, play));
  return figure;
}

function togglePlay(songView, button) {
  const mine = player && player.view === songView;
  stopPlayer();
  if (mine) return;
  const context = page.audio || (page.audio = new AudioContext());
  context.resume();
  const { preview, playhead, scroller } = songView;
  button.textContent = "Stop";
  button.setAttribute("aria-pressed", "true");
  playhead.hidden = false;
  const finish = () => {
    button.textContent = "Play";
    button.setAttribute("aria-pressed", "false");
    playhead.hidden = true;
  };
  const instance = new Player(context, preview, (second) => {
    const x = songView.place.left + (tickAt(preview, second) / preview.ticksPerBeat) * songView.place.beatWidth;
    playhead.style.transform = `translateX(${x}px)`;
    if (x < scroller.scrollLeft || x > scroller.scrollLeft + scroller.clientWidth - 20) scroller.scrollLeft = Math.max(x - 40, 0);
  }, () => {
    finish();
    player = null;
  });
  player = { view: songView, instance, finish };
}

// `bytes`: the song's output, read back from its Blob.
function makeSongView(container, song, bytes) {
  const root = element("li", { className: "song", "data-output-name": song.name });
  const view = { root };
  const url = URL.createObjectURL(song.blob);
  container.urls.push(url);
  const text = song.text ? `${TEXT_KINDS[song.text.type]}: \u201c${readableText(song.text.bytes)}\u201d` : "none";
  const length = lengthFacts(bytes.subarray(0, 22), bytes.subarray(22));
  appendPresent(root,
    element("h3", { text: `Song ${song.number}: ${song.name}` }),
    facts([
      ["Size", plural(song.size, "byte")],
      ["Events", song.events.toLocaleString("en")],
      ["Length", length.text],
      ["First text", text],
      ["Place", `its head starts at byte ${song.position.toLocaleString("en")} of the container`],
    ]),
    warningList(songWarnings(song).concat(length.warnings)),
    element("p", { className: "download" }, element("a", { href: url, download: song.name, text: `Download ${song.name}` })),
    previewView(view, bytes),
  );
  return view;
}

function containerView(file) {
  const root = element("li", { className: "container", "data-container": file.name, "data-state": "waiting" });
  const summary = element("p", { className: "summary", text: "Waiting\u2026" });
  root.append(element("h2", {}, file.name, " ", element("span", { className: "size", text: formatBytes(file.size) })), summary);
  results.append(root);
  const view = { file, root, summary, songs: [], songViews: [], urls: [] };
  containers.push(view);
  return view;
}

async function convert(view) {
  const { file, root, summary } = view;
  root.dataset.state = "working";
  summary.textContent = "Converting\u2026";
  let result;
  try {
    const core = await getCore();
    const timing = {};
    result = await convertFile(core, file, timing, false, (number, count) => {
      summary.textContent = `Converting song ${number} of ${count}\u2026`;
    });
    page.lastConversionMs = timing.convert;
    page.lastDescribeMs = timing.describe;
    page.conversions.push({ name: file.name, size: file.size, convertMs: timing.convert, describeMs: timing.describe });
  } catch (error) {
    let message = error.message || String(error);
    if (!(error instanceof ConversionError)) {
      // The WebAssembly instance may be left broken: the next file gets a new one.
      corePromise = null;
      message = `The converter failed on this file (${message}).`;
    }
    summary.textContent = "Not converted.";
    root.append(element("p", { className: "error", "data-error": "", role: "alert", text: message }));
    root.dataset.state = "error";
    return;
  }
  try {
    await showSongs(view, result);
  } catch (error) {
    root.append(element("p", { className: "error", "data-error": "", role: "alert", text: `The songs could not all be shown (${error.message || error}); the downloads above are complete.` }));
    root.dataset.state = "error";
  }
}

async function showSongs(view, result) {
  const { file, root, summary } = view;
  const count = result.songs.length;
  summary.textContent = count > 0 ? plural(count, "song") : "No song";
  const warning = walkWarning(result);
  if (warning) root.append(warningList([warning]));
  if (count === 0 && !result.error) root.append(element("p", { className: "no-songs", "data-no-songs": "", text: noSongReason(file) }));
  const list = element("ol", { className: "songs" });
  root.append(list);
  for (let index = 0; index < count; ++index) {
    const song = result.songs[index];
    // Read back once for its length and its preview, then let go: the
    // Blob holds the bytes. A browser that could not keep them (its room for
    // files made by pages is full) says so here: like the command line at a
    // failed write, the page keeps the songs before it and stops.
    let bytes;
    try {
      bytes = new Uint8Array(await song.blob.arrayBuffer());
    } catch (error) {
      result.error = `The browser could not keep ${song.name} (${formatBytes(song.size)}): ${error.message || error} Its room for files made by pages may be full; converting fewer or smaller containers at a time, or the command line, gets this song.`;
      break;
    }
    const songViewed = makeSongView(view, song, bytes);
    list.append(songViewed.root);
    if (songViewed.preview) drawPreview(songViewed);
    view.songViews.push(songViewed);
    view.songs.push({ name: song.name, blob: song.blob });
  }
  if (result.error) {
    summary.textContent = `${view.songs.length} of ${plural(count, "song")} kept`;
    root.append(element("p", { className: "error", "data-error": "", role: "alert", text: `${result.error} The songs before it are complete.` }));
    root.dataset.state = "error";
  } else {
    root.dataset.state = "done";
  }
}

// Converts the queued containers one at a time: they share the heap.
let queue = Promise.resolve();
function addFiles(files) {
  const list = [...files];
  if (list.length === 0) return;
  clearButton.disabled = false;
  zipLink.hidden = true;
  for (const file of list) {
    const view = containerView(file);
    queue = queue.then(() => convert(view)).catch((error) => {
      // Whatever went wrong, the next file still gets its turn.
      view.root.append(element("p", { className: "error", "data-error": "", role: "alert", text: `The page failed on this file (${error.message || error}).` }));
      view.root.dataset.state = "error";
    }).then(() => {
      const songs = containers.reduce((sum, each) => sum + each.songs.length, 0);
      zipButton.disabled = songs === 0;
      status.textContent = `${file.name}: ${view.root.dataset.state === "error" ? "not converted whole" : plural(view.songs.length, "song")}.`;
    });
  }
}

async function makeZip() {
  zipButton.disabled = true;
  zipLink.hidden = true;
  zipLink.dataset.state = "working";
  status.textContent = "Making the zip\u2026";
  const withSongs = containers.filter((view) => view.songs.length > 0);
  const folders = uniqueFolders(withSongs.map((view) => view.file.name));
  const entries = [];
  withSongs.forEach((view, index) => {
    for (const song of view.songs) entries.push({ path: `${folders[index]}/${song.name}`, blob: song.blob });
  });
  try {
    const zip = await zipOutputs(entries);
    if (zipLink.href.startsWith("blob:")) URL.revokeObjectURL(zipLink.href);
    zipLink.href = URL.createObjectURL(zip);
    zipLink.textContent = `Save the zip again (${formatBytes(zip.size)})`;
    zipLink.hidden = false;
    zipLink.dataset.state = "done";
    status.textContent = `The zip holds ${plural(entries.length, "song")}.`;
    zipLink.click();
  } catch (error) {
    zipLink.dataset.state = "error";
    status.textContent = `The zip could not be made: ${error.message || error}.`;
  } finally {
    zipButton.disabled = false;
  }
}

function clearAll() {
  stopPlayer();
  for (const view of containers) for (const url of view.urls) URL.revokeObjectURL(url);
  containers.length = 0;
  results.replaceChildren();
  zipButton.disabled = true;
  clearButton.disabled = true;
  zipLink.hidden = true;
  status.textContent = "The list is empty.";
}

input.addEventListener("change", () => {
  addFiles(input.files);
  input.value = "";
});
zipButton.addEventListener("click", makeZip);
clearButton.addEventListener("click", clearAll);

// A file dragged anywhere over the page can be dropped anywhere on it.
let dragDepth = 0;
const carriesFiles = (event) => event.dataTransfer && [...event.dataTransfer.types].includes("Files");
document.addEventListener("dragenter", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  ++dragDepth;
  overlay.hidden = false;
});
document.addEventListener("dragover", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  event.dataTransfer.dropEffect = "copy";
});
document.addEventListener("dragleave", () => {
  dragDepth = Math.max(dragDepth - 1, 0);
  if (dragDepth === 0) overlay.hidden = true;
});
document.addEventListener("drop", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  dragDepth = 0;
  overlay.hidden = true;
  addFiles(event.dataTransfer.files);
});

// Rolls fit the page's width again when it changes.
let resizeTimer = 0;
let lastWidth = results.clientWidth;
window.addEventListener("resize", () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(() => {
    if (results.clientWidth === lastWidth) return;
    lastWidth = results.clientWidth;
    for (const view of containers) for (const songViewed of view.songViews) if (songViewed.preview) drawPreview(songViewed);
  }, 150);
});

// For the benchmark: the converter alone on the file of container `index`
// (in drop order), its outputs dropped piece by piece; milliseconds.
page.timeConverter = async (index) => {
  const timing = {};
  await convertFile(await getCore(), containers[index].file, timing, true);
  return timing.convert;
};

// For the tests: the song's sound, rendered offline by the player's own
// synthesiser, as the loudness (root mean square) of each 10 ms.
page.renderSong = async (songElement, seconds) => {
  const preview = previews.get(songElement);
  if (!preview) return null;
  const sampleRate = 24000;
  const samples = await renderOffline(preview, seconds, sampleRate);
  const span = sampleRate / 100;  // a whole number of samples
  const loudness = [];
  for (let start = 0; start + span <= samples.length; start += span) {
    let sum = 0;
    for (let i = start; i < start + span; ++i) sum += samples[i] * samples[i];
    loudness.push(Math.sqrt(sum / span));
  }
  return loudness;
};

getCore().then(
  () => { status.textContent = "Ready."; },
  (error) => { status.textContent = `The converter could not start in this browser: ${error.message || error}.`; },
);
