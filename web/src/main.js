// The page: containers dropped or chosen, converted one after another in a
// worker (worker.js), each shown with one row per song (title, length,
// size, Play, Download) and its details folded below (facts, warnings, a
// piano roll), a zip of each container's songs and of every song.
//
// What the tests rely on (keep it stable; web/README.md says the same):
//   #containers             the file input, several files at once
//   [data-container=NAME]   one element per dropped file, in order, with
//                           data-state "waiting", "working", then "done" or "error"
//   [data-output-name=NAME] one element per song inside it, holding a[download]
//                           whose href is a blob: URL of exactly the output
//   [data-error]            the message of a container that gave one
//   [data-no-songs]         the note of a container with no song
//   [data-not-container]    the note of a file that does not look like a container
//   [data-progress]         a container's progress while it converts
//   button.cancel, .zip-one a container's Cancel (while waiting or working) and zip
//   #zip, #zip-link         the zip's button, then its a[download] (data-state "done")
//   #demo, #clear           the demo's button; Clear
//   #soundfont, #soundfont-off, #instruments
//                           the SoundFont's input, back to the oscillators, which play
//   button.wav, a.wav-link  a song's WAV download
//   canvas.roll-canvas      the piano roll, its layout in data attributes
//   window.tolvarinPage     conversions, lastConversionMs, urls(), channelColours,
//                           timeConverter(index), renderSong(songElement, seconds, rate)
//                           and renderSamples(songElement, seconds, rate)
import { ConversionError, formatBytes, WALK, ENDING, MAX_CONTAINER_BYTES } from "./core.js";
import { formatDuration } from "./timing.js";
import { drawRoll, describeRoll, formatBeats, noteLabels, noteName, CHANNEL_COLOURS } from "./roll.js";
import { Player, SamplePlayer, renderOffline, wavFile } from "./synth.js";
import { readSoundFont, renderWithSoundFont } from "./soundfont.js";
import { uniqueFolders } from "./names.js";

const TEXT_KINDS = { 1: "Text", 2: "Copyright", 3: "Track name", 4: "Instrument", 5: "Lyric", 6: "Marker", 7: "Cue point" };

const results = document.getElementById("results");
const status = document.getElementById("status");
const zipButton = document.getElementById("zip");
const zipLink = document.getElementById("zip-link");
const clearButton = document.getElementById("clear");
const demoButton = document.getElementById("demo");
const input = document.getElementById("containers");
const chosen = document.getElementById("chosen");
const overlay = document.getElementById("drop-overlay");
const fontInput = document.getElementById("soundfont");
const fontStatus = document.getElementById("instruments");
const fontOff = document.getElementById("soundfont-off");

const page = { lastConversionMs: null, lastDescribeMs: null, conversions: [] };
window.tolvarinPage = page;

// Everything the page knows of each dropped container, in drop order.
const containers = [];
const songViewOf = new WeakMap();  // song element -> its view, for the tests' hooks
// Every object URL the page made and has not revoked: Clear revokes them all.
const liveUrls = new Set();
let player = null;

function makeUrl(blob) {
  const url = URL.createObjectURL(blob);
  liveUrls.add(url);
  return url;
}

function dropUrl(url) {
  if (!liveUrls.delete(url)) return;
  URL.revokeObjectURL(url);
}

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
function lengthFacts(division, walk) {
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
  return { text: lengthText(division, walk.ticks, walk.seconds), warnings };
}

function lengthText(division, ticks, seconds) {
  if (!Number.isSafeInteger(ticks)) return "too long to count: its delta times add up to more than 2\u2075\u00b3 ticks";
  const tickText = plural(ticks, "tick");
  if (division.smpte) {
    return `${tickText}, timed in SMPTE frames, not beats (division 0x${division.value.toString(16).toUpperCase()}: ${division.framesPerSecond} frames a second, ${division.ticksPerFrame} ticks a frame)`;
  }
  if (division.ticksPerBeat === 0) return `${tickText}; the division is 0 ticks a beat, so the song has no length in beats or time`;
  const beats = ticks / division.ticksPerBeat;
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


// The worker runs from the page's own text: the core's script and the
// worker's, inlined in the page as text. A blob: URL of them starts it, from
// file:// as from a server, and is let go once it has started.
function startWorker(onMessage) {
  const url = makeUrl(new Blob([
    document.getElementById("core-source").textContent, ";\n",
    document.getElementById("worker-source").textContent,
  ], { type: "text/javascript" }));
  const worker = new Worker(url);
  worker.onmessage = ({ data }) => {
    if (data.kind === "ready") dropUrl(url);
    else onMessage(data);
  };
  worker.onerror = (event) => {
    event.preventDefault();
    onMessage({ kind: "failed", id: null, message: event.message || "the worker stopped", known: false });
  };
  return { worker, url };
}

// Jobs for workers: one worker converts the queue one container at a time
// (they share its heap); zips get a worker of their own. A job ends with
// `done` or `failed`; ending a worker (Cancel, Clear) ends its job unheard.
class Runner {
  constructor() {
    this.current = null;  // { worker, url }
    this.job = null;      // { id, resolve, reject, onProgress }
    this.nextId = 1;
  }
  run(message, onProgress = () => {}) {
    if (!this.current) this.current = startWorker((data) => this.heard(data));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.job = { id, resolve, reject, onProgress };
      this.current.worker.postMessage({ ...message, id });
    });
  }
  heard(data) {
    const job = this.job;
    if (!job || (data.id !== null && data.id !== job.id)) return;
    if (data.kind === "progress") {
      job.onProgress(data);
      return;
    }
    this.job = null;
    if (data.kind === "done") job.resolve(data);
    else job.reject(data.known ? new ConversionError(data.message) : new Error(data.message));
  }
  // Ends the worker and whatever it was doing; the job's promise never settles.
  stop() {
    if (!this.current) return;
    this.current.worker.terminate();
    dropUrl(this.current.url);
    this.current = null;
    this.job = null;
  }
}

const converter = new Runner();
const zipper = new Runner();

function stopPlayer() {
  if (!player) return;
  player.instance.stop();
  player.finish();
  player = null;
}

// The roll fits the width of the song's row; a roll wider than that scrolls
// sideways, and only then is it a place to tab to.
function drawPreview(songView) {
  const { preview, canvas, scroller, names } = songView;
  const width = Math.max(songView.root.clientWidth - 2, 200);
  songView.place = drawRoll(canvas, preview, width);
  canvas.setAttribute("aria-label", describeRoll(preview));
  names.style.width = `${songView.place.left}px`;
  names.style.height = `${songView.place.height}px`;
  names.replaceChildren(...noteLabels(songView.place).map(([pitch, top]) =>
    element("span", { style: `top:${top}px`, text: noteName(pitch) })));
  if (songView.place.width > width) {
    Object.assign(scroller, { tabIndex: 0 });
    scroller.setAttribute("role", "group");
    scroller.setAttribute("aria-label", `Piano roll of ${songView.title}, scrolls sideways`);
  } else {
    scroller.removeAttribute("tabindex");
    scroller.removeAttribute("role");
    scroller.removeAttribute("aria-label");
  }
}

// The page's own sentence for a song with no preview; the reader's words,
// when there are any, folded beside it.
function refusalView(refusal) {
  const note = element("div", { className: "preview-note", "data-preview": "refused" },
    element("p", { text: `No piano roll or playing for this song: ${refusal.reason}. It still downloads exactly as the command line writes it.` }));
  if (refusal.detail) {
    note.append(element("details", { className: "reader-words" }, element("summary", { text: "What the MIDI reader said" }),
      element("p", { text: refusal.detail })));
  }
  return note;
}

function previewView(songView, song) {
  const figure = element("figure", { className: "roll" });
  if (song.refusal) {
    figure.append(refusalView(song.refusal));
    return figure;
  }
  const preview = song.preview;
  if (preview.notes.length === 0) {
    figure.append(element("p", { className: "preview-note", "data-preview": "no-notes", text: "This song has no notes to draw or play." }));
    return figure;
  }
  const canvas = element("canvas", { className: "roll-canvas", role: "img" });
  const playhead = element("div", { className: "playhead", hidden: "" });
  const scroller = element("div", { className: "roll-scroll" }, canvas, playhead);
  const names = element("div", { className: "roll-names", "aria-hidden": "true" });
  const legend = element("ul", { className: "legend", "aria-label": "Channel colours" });
  for (const channel of [...new Set(preview.notes.map((note) => note.channel))].sort((a, b) => a - b)) {
    legend.append(element("li", { "data-channel": channel },
      element("span", { className: "swatch", "data-colour": CHANNEL_COLOURS[channel], style: `background:${CHANNEL_COLOURS[channel]}` }),
      `Channel ${channel + 1}`));
  }
  figure.append(element("div", { className: "roll-frame" }, scroller, names), element("figcaption", {}, legend, audioDownload(songView)));
  Object.assign(songView, { preview, canvas, scroller, playhead, names });
  songViewOf.set(songView.root, songView);
  return figure;
}

// The instruments Play uses: the oscillators, or the person's SoundFont.
let soundFont = null;

// `seconds` of the song's sound at `sampleRate`, with the instruments of the
// moment: the SoundFont playing the song's MIDI file, or the oscillators
// rendered in an OfflineAudioContext.
async function renderSongSamples(songView, seconds, sampleRate, onProgress) {
  if (soundFont) {
    const bytes = new Uint8Array(await songView.blob.arrayBuffer());
    return renderWithSoundFont(soundFont, bytes, seconds, sampleRate, onProgress);
  }
  return renderOffline(songView.preview, seconds, sampleRate, onProgress);
}

// The song as a WAV file, rendered offline with the player's instruments of
// the moment; the rendering's progress beside the button meanwhile.
const WAV_RATE = 44100;
const WAV_TAIL = 0.5;  // seconds after the last note, for its release

function audioDownload(songView) {
  const button = element("button", { type: "button", className: "wav secondary", text: "Download as audio (WAV)" });
  const progress = element("progress", { max: "1", value: "0", hidden: "", "aria-label": "Rendering the audio" });
  const link = element("a", { className: "wav-link", hidden: "" });
  button.addEventListener("click", async () => {
    if (button.getAttribute("aria-busy") === "true") return;
    button.setAttribute("aria-busy", "true");
    progress.hidden = false;
    progress.value = 0;
    try {
      const samples = await renderSongSamples(songView, songView.preview.seconds + WAV_TAIL, WAV_RATE, (share) => { progress.value = share; });
      if (!songView.container.root.isConnected) return;
      if (link.href.startsWith("blob:")) dropUrl(link.href);
      const url = makeUrl(wavFile(samples, WAV_RATE));
      songView.container.urls.push(url);
      const name = songView.name.replace(/\.mid$/, ".wav");
      Object.assign(link, { href: url, download: name, textContent: `Save ${name} again`, hidden: false });
      link.click();
    } catch (error) {
      status.textContent = `The audio could not be made: ${error.message || error}.`;
    } finally {
      progress.hidden = true;
      button.removeAttribute("aria-busy");
    }
  });
  return element("div", { className: "audio" }, button, progress, link);
}

// A Play button shows what pressing it does; its name says it of the song.
function showVerb(button, verb) {
  button.textContent = verb;
  button.setAttribute("aria-label", `${verb} ${button.dataset.song}`);
}

async function togglePlay(songView, button) {
  const mine = player && player.view === songView;
  stopPlayer();
  if (mine || button.getAttribute("aria-busy") === "true") return;
  const context = page.audio || (page.audio = new AudioContext());
  context.resume();
  const { preview, playhead, scroller } = songView;
  // The roll shows what plays.
  if (!songView.details.open) songView.details.open = true;
  const finish = () => {
    showVerb(button, "Play");
    button.setAttribute("aria-pressed", "false");
    playhead.hidden = true;
  };
  // The roll follows the playhead until the person scrolls it themselves.
  let followed = scroller.scrollLeft;
  let following = true;
  const onTick = (second) => {
    const x = songView.place.left + (tickAt(preview, second) / preview.ticksPerBeat) * songView.place.beatWidth;
    playhead.style.transform = `translateX(${x}px)`;
    if (Math.abs(scroller.scrollLeft - followed) > 1) following = false;
    if (following && (x < scroller.scrollLeft || x > scroller.scrollLeft + scroller.clientWidth - 20)) {
      scroller.scrollLeft = Math.max(x - 40, 0);
      followed = scroller.scrollLeft;
    }
  };
  const onEnd = () => {
    finish();
    player = null;
  };
  let instance;
  if (soundFont) {
    // A SoundFont's sound is rendered whole first, then played.
    button.setAttribute("aria-busy", "true");
    showVerb(button, "Preparing\u2026");
    const font = soundFont;
    let samples;
    try {
      samples = await renderSongSamples(songView, preview.seconds + WAV_TAIL, context.sampleRate, () => {});
    } finally {
      button.removeAttribute("aria-busy");
      showVerb(button, "Play");
    }
    if (font !== soundFont || !songView.root.isConnected || player) return;
    instance = new SamplePlayer(context, samples, context.sampleRate, onTick, onEnd);
  } else {
    instance = new Player(context, preview, onTick, onEnd);
  }
  showVerb(button, "Stop");
  button.setAttribute("aria-pressed", "true");
  playhead.hidden = false;
  player = { view: songView, instance, finish };
}

function songTitle(song) {
  const text = song.text ? readableText(song.text.bytes).trim() : "";
  return text || `Song ${song.number}`;
}

function makeSongView(container, song) {
  const root = element("li", { className: "song", "data-output-name": song.name });
  const title = songTitle(song);
  const view = { root, title, container, name: song.name, blob: song.blob };
  const url = makeUrl(song.blob);
  container.urls.push(url);
  const text = song.text ? `${TEXT_KINDS[song.text.type]}: \u201c${readableText(song.text.bytes)}\u201d` : "none";
  const length = lengthFacts(song.division, song.walk);
  const warnings = songWarnings(song).concat(length.warnings);
  const seconds = song.walk.seconds;
  const row = element("div", { className: "song-row" },
    element("div", { className: "song-title" }, element("h3", { text: title, title }), element("span", { className: "output-name", text: song.name })),
    element("span", { className: "song-length", text: seconds === null ? "no time" : formatDuration(seconds) }),
    element("span", { className: "song-size", text: formatBytes(song.size) }));
  const details = element("details", { className: "song-more" },
    element("summary", { text: warnings.length > 0 ? `Details and ${plural(warnings.length, "warning")}` : "Details" }));
  view.details = details;
  appendPresent(details,
    facts([
      ["Song", `${song.number}, ${song.name}`],
      ["Size", plural(song.size, "byte")],
      ["Events", song.events.toLocaleString("en")],
      ["Length", length.text],
      ["First text", text],
      ["Place", `its head starts at byte ${song.position.toLocaleString("en")} of the container`],
    ]),
    warningList(warnings),
    previewView(view, song),
  );
  if (view.preview) {
    const play = element("button", { type: "button", className: "play", "aria-pressed": "false", "data-song": `${title} (${song.name}, file ${container.number})`, text: "Play" });
    showVerb(play, "Play");
    play.addEventListener("click", () => togglePlay(view, play));
    row.append(play);
    // Drawn again at the width it has once it shows.
    details.addEventListener("toggle", () => { if (details.open) drawPreview(view); });
  } else {
    row.append(element("span", { className: "no-play", text: "No preview" }));
  }
  row.append(element("a", { className: "download", href: url, download: song.name, "aria-label": `Download ${title} (${song.name}, file ${container.number})`, text: "Download" }));
  root.append(row, details);
  return view;
}

// Files are numbered as they come, so that controls of a file dropped twice
// have names of their own.
let filesAdded = 0;

function containerView(file) {
  const root = element("li", { className: "container", "data-container": file.name, "data-state": "waiting" });
  const heading = element("h2", { tabindex: "-1" }, file.name, " ", element("span", { className: "size", text: formatBytes(file.size) }));
  const summary = element("p", { className: "summary", text: "Waiting\u2026" });
  const cancel = element("button", { type: "button", className: "cancel secondary", "aria-label": `Cancel ${file.name}`, text: "Cancel" });
  const tools = element("div", { className: "container-tools" }, cancel);
  root.append(element("div", { className: "container-head" }, heading, tools), summary);
  results.append(root);
  const view = { file, number: ++filesAdded, root, heading, summary, tools, cancel, songs: [], songViews: [], urls: [], zipUrl: null };
  cancel.addEventListener("click", () => cancelContainer(view));
  containers.push(view);
  return view;
}

function showProgress(view, data) {
  if (data.song) {
    view.songOf = `song ${data.song} of ${data.count}`;
  }
  if (data.reading) {
    view.summary.textContent = "Reading the songs\u2026";
    return;
  }
  if (!view.bar) {
    view.bar = element("progress", { max: "1", value: "0", "data-progress": "", "aria-label": `Converting ${view.file.name}` });
    view.summary.replaceChildren(view.bar, element("span"));
  }
  if (data.total) {
    // The total is the container's track bytes; outputs run a little longer.
    const share = Math.min(data.done / data.total, 0.99);
    view.bar.value = share;
    view.bar.dataset.done = data.done;
    view.bar.dataset.total = data.total;
    view.summary.lastChild.textContent = ` Converting ${view.songOf || ""}: ${Math.floor(share * 100)}% of ${formatBytes(data.total)} of tracks`;
  } else {
    view.summary.lastChild.textContent = ` Converting ${view.songOf || ""}\u2026`;
  }
}

async function convert(view) {
  const { file, root, summary } = view;
  root.dataset.state = "working";
  summary.textContent = "Converting\u2026";
  if (file.size > MAX_CONTAINER_BYTES) {
    fail(view, `This file is ${formatBytes(file.size)}; the page converts containers up to 256 MiB. The command line takes larger ones.`);
    return;
  }
  let answer;
  try {
    answer = await converter.run({ kind: "convert", file, discard: false }, (data) => showProgress(view, data));
  } catch (error) {
    fail(view, error instanceof ConversionError ? error.message : `The converter failed on this file (${error.message}).`);
    return;
  }
  const { result, timing } = answer;
  page.lastConversionMs = timing.convert;
  page.lastDescribeMs = timing.describe;
  page.conversions.push({ name: file.name, size: file.size, convertMs: timing.convert, describeMs: timing.describe });
  try {
    showSongs(view, result);
  } catch (error) {
    root.append(element("p", { className: "error", "data-error": "", role: "alert", text: `The songs could not all be shown (${error.message || error}); the downloads above are complete.` }));
    root.dataset.state = "error";
  }
}

function fail(view, message) {
  view.summary.textContent = "Not converted.";
  view.root.append(element("p", { className: "error", "data-error": "", role: "alert", text: message }));
  view.root.dataset.state = "error";
  view.message = message;
}

function notContainerNote(count) {
  return element("p", { className: "not-container", "data-not-container": "", role: "note",
    text: `This file does not look like a Zarq container: a container's first song begins with the head of a MIDI file, and this one does not. The command line would still make ${plural(count, "file")} of it, below if you want ${count === 1 ? "it" : "them"} anyway.` });
}

function showSongs(view, result) {
  const { file, root, summary } = view;
  const count = result.songs.length;
  const list = element("ol", { className: "songs" });
  if (count > 0 && !result.looksLikeContainer) {
    summary.textContent = "Not a container.";
    root.append(notContainerNote(count));
    root.append(element("details", { className: "anyway" }, element("summary", { text: "Download anyway" }), list));
    view.notContainer = true;
  } else {
    summary.textContent = count > 0 ? plural(count, "song") : "No song";
    const warning = walkWarning(result);
    if (warning) root.append(warningList([warning]));
    if (count === 0 && !result.error) root.append(element("p", { className: "no-songs", "data-no-songs": "", text: noSongReason(file) }));
    root.append(list);
  }
  for (const song of result.songs) {
    const songViewed = makeSongView(view, song);
    list.append(songViewed.root);
    if (songViewed.preview) drawPreview(songViewed);
    view.songViews.push(songViewed);
    view.songs.push({ name: song.name, blob: song.blob });
  }
  if (result.error) {
    fail(view, `${result.error} The songs before it are complete.`);
    summary.textContent = `${view.songs.length} song${view.songs.length === 1 ? "" : "s"} kept.`;
  } else {
    root.dataset.state = "done";
  }
}

// Converts the queued containers one at a time, in drop order.
const queue = [];
let running = null;

function finished(view) {
  if (view.notContainer) return `${view.file.name} does not look like a container.`;
  if (view.root.dataset.state === "error") return view.message ? `${view.file.name} is not converted: ${view.message}` : `${view.file.name}: not converted.`;
  return `${view.file.name}: ${view.songs.length > 0 ? plural(view.songs.length, "song") : "no song"}.`;
}

async function pump() {
  if (running || queue.length === 0) return;
  const view = queue.shift();
  running = view;
  try {
    await convert(view);
  } catch (error) {
    fail(view, `The page failed on this file (${error.message || error}).`);
  }
  if (running !== view) return;  // cancelled or cleared meanwhile: nothing to say
  running = null;
  view.cancel.remove();
  if (view.songs.length > 0 && !view.notContainer) view.tools.append(containerZipButton(view));
  updateButtons();
  status.textContent = finished(view);
  pump();
}

function updateButtons() {
  zipButton.disabled = !containers.some((view) => view.songs.length > 0);
  clearButton.disabled = containers.length === 0;
}

// Takes an .sf2 file for the instruments; says what came of it.
async function useSoundFont(file) {
  stopPlayer();
  fontStatus.textContent = `Reading ${file.name}\u2026`;
  try {
    soundFont = readSoundFont(await file.arrayBuffer());
    fontStatus.textContent = `Instruments: ${file.name}, your SoundFont.`;
    fontOff.hidden = false;
  } catch (error) {
    soundFont = null;
    fontStatus.textContent = `${file.name} could not be read as a SoundFont; the page's own oscillators play.`;
    fontOff.hidden = true;
  }
}

function useOscillators() {
  stopPlayer();
  soundFont = null;
  fontStatus.textContent = "Instruments: the page's own oscillators.";
  fontOff.hidden = true;
  fontInput.focus();
}

const isSoundFont = (file) => /\.sf2$/i.test(file.name);

function addFiles(files) {
  const all = [...files];
  const font = all.find(isSoundFont);
  if (font) useSoundFont(font);
  const list = all.filter((file) => !isSoundFont(file));
  if (list.length === 0) return;
  chosen.textContent = `Chosen: ${list.map((file) => file.name).join(", ")}`;
  for (const file of list) queue.push(containerView(file));
  updateButtons();
  status.textContent = `Converting ${plural(list.length, "file")}\u2026`;
  pump();
}

// Removes a container, its work and its URLs; says so.
function cancelContainer(view) {
  const index = containers.indexOf(view);
  if (index < 0) return;
  if (running === view) {
    converter.stop();
    running = null;
  }
  const queued = queue.indexOf(view);
  if (queued >= 0) queue.splice(queued, 1);
  forget(view);
  containers.splice(index, 1);
  // Focus goes to the next container, or the one before, or the picker.
  const next = containers[index] || containers[index - 1];
  view.root.remove();
  (next ? next.heading : input).focus();
  updateButtons();
  status.textContent = `${view.file.name}: cancelled.`;
  pump();
}

function forget(view) {
  if (player && view.songViews.includes(player.view)) stopPlayer();
  for (const url of view.urls) dropUrl(url);
  if (view.zipUrl) dropUrl(view.zipUrl);
}

// Zips in the zip worker; the zip's entries: [{ path, blob }].
async function zipInWorker(entries) {
  return (await zipper.run({ kind: "zip", entries })).result;
}

function containerZipButton(view) {
  const button = element("button", { type: "button", className: "zip-one secondary", text: "Zip" , "aria-label": `Download the songs of ${view.file.name} as a zip` });
  button.addEventListener("click", async () => {
    if (button.getAttribute("aria-busy") === "true") return;
    button.setAttribute("aria-busy", "true");
    status.textContent = `Making the zip of ${view.file.name}\u2026`;
    try {
      const zip = await zipInWorker(view.songs.map((song) => ({ path: song.name, blob: song.blob })));
      if (!containers.includes(view)) return;
      if (view.zipUrl) dropUrl(view.zipUrl);
      view.zipUrl = makeUrl(zip);
      const link = element("a", { href: view.zipUrl, download: `${view.file.name}.zip` });
      link.click();
      status.textContent = `The zip of ${view.file.name} holds ${plural(view.songs.length, "song")}.`;
    } catch (error) {
      status.textContent = `The zip could not be made: ${error.message || error}.`;
    } finally {
      button.removeAttribute("aria-busy");
    }
  });
  return button;
}

// The zip button is never disabled while it works, so that focus stays on
// it; a second press meanwhile is ignored.
async function makeZip() {
  if (zipButton.getAttribute("aria-busy") === "true") return;
  zipButton.setAttribute("aria-busy", "true");
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
    const zip = await zipInWorker(entries);
    if (zipLink.href.startsWith("blob:")) dropUrl(zipLink.href);
    zipLink.href = makeUrl(zip);
    zipLink.textContent = `Save the zip again (${formatBytes(zip.size)})`;
    zipLink.hidden = false;
    zipLink.dataset.state = "done";
    status.textContent = `The zip holds ${plural(entries.length, "song")}.`;
    zipLink.click();
  } catch (error) {
    zipLink.dataset.state = "error";
    status.textContent = `The zip could not be made: ${error.message || error}.`;
  } finally {
    zipButton.removeAttribute("aria-busy");
  }
}

// Stops every conversion and zip, queued or running, and revokes every URL
// the page made: after it, nothing is converted or announced.
function clearAll() {
  stopPlayer();
  converter.stop();
  zipper.stop();
  running = null;
  queue.length = 0;
  for (const view of containers) forget(view);
  for (const url of [...liveUrls]) dropUrl(url);
  containers.length = 0;
  results.replaceChildren();
  zipLink.hidden = true;
  zipLink.removeAttribute("href");
  delete zipLink.dataset.state;
  zipButton.removeAttribute("aria-busy");
  chosen.textContent = "";
  input.focus();
  updateButtons();
  status.textContent = "The list is empty.";
}

input.addEventListener("change", () => {
  addFiles(input.files);
  input.value = "";
});
zipButton.addEventListener("click", makeZip);
fontInput.addEventListener("change", () => {
  if (fontInput.files.length > 0) useSoundFont(fontInput.files[0]);
  fontInput.value = "";
});
fontOff.addEventListener("click", useOscillators);
clearButton.addEventListener("click", clearAll);
demoButton.addEventListener("click", () => {
  const bytes = Uint8Array.from(atob(DEMO_CONTAINER), (c) => c.charCodeAt(0));
  addFiles([new File([bytes], "demo.dat")]);
});

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

// For the tests: `seconds` of the song's samples, as Play would sound them now.
page.renderSamples = async (songElement, seconds, sampleRate) => {
  const songView = songViewOf.get(songElement);
  return songView ? [...await renderSongSamples(songView, seconds, sampleRate)] : null;
};

// For the tests: the object URLs the page holds now; the channels' colours.
page.urls = () => [...liveUrls];
page.channelColours = CHANNEL_COLOURS;

// For the benchmark: the converter alone on the file of container `index`
// (in drop order), its outputs dropped piece by piece; milliseconds. Run
// once the queue is done.
page.timeConverter = async (index) => {
  const { timing } = await converter.run({ kind: "convert", file: containers[index].file, discard: true });
  return timing.convert;
};

// For the tests: the song's sound, rendered offline by the player's own
// synthesiser, as the loudness (root mean square) of each 10 ms (at 24 kHz
// unless `sampleRate` says otherwise).
page.renderSong = async (songElement, seconds, sampleRate = 24000) => {
  const songView = songViewOf.get(songElement);
  if (!songView) return null;
  const samples = await renderSongSamples(songView, seconds, sampleRate);
  const span = sampleRate / 100;  // a whole number of samples
  const loudness = [];
  for (let start = 0; start + span <= samples.length; start += span) {
    let sum = 0;
    for (let i = start; i < start + span; ++i) sum += samples[i] * samples[i];
    loudness.push(Math.sqrt(sum / span));
  }
  return loudness;
};

status.textContent = "Ready.";
