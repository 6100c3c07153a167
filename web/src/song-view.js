// A song's view: one row (title, length, size, Play, Download) and its
// details folded below it (facts, warnings, the piano roll and its legend,
// the audio download). Its `view` object is what playback and downloads
// work on: { root, title, container, name, blob, details, and, with a
// preview, preview, canvas, scroller, playhead, names, place }.
import { drawRoll, describeRoll, noteLabels, noteName, CHANNEL_COLOURS } from "./roll.js";
import { songWarnings, lengthFacts } from "./warnings.js";
import { togglePlay, showVerb } from "./playback.js";
import { audioDownload } from "./downloads.js";
import { makeUrl } from "./urls.js";
import { element, appendPresent } from "./dom.js";
import { plural, formatBytes, formatDuration, readableText } from "./text.js";

const TEXT_KINDS = { 1: "Text", 2: "Copyright", 3: "Track name", 4: "Instrument", 5: "Lyric", 6: "Marker", 7: "Cue point" };

const songViewOf = new WeakMap();  // song element -> its view, for the tests' hooks

export function songViewOfElement(songElement) {
  return songViewOf.get(songElement);
}

// The roll fits the width of the song's row; a roll wider than that scrolls
// sideways, and only then is it a place to tab to.
export function drawPreview(songView) {
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

// Each channel that plays, with its colour on the roll.
function channelLegend(notes) {
  const legend = element("ul", { className: "legend", "aria-label": "Channel colours" });
  for (const channel of [...new Set(notes.map((note) => note.channel))].sort((a, b) => a - b)) {
    legend.append(element("li", { "data-channel": channel },
      element("span", { className: "swatch", "data-colour": CHANNEL_COLOURS[channel], style: `background:${CHANNEL_COLOURS[channel]}` }),
      `Channel ${channel + 1}`));
  }
  return legend;
}

// The roll (drawn once the view is in the page), or why there is none.
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
  figure.append(element("div", { className: "roll-frame" }, scroller, names),
    element("figcaption", {}, channelLegend(preview.notes), audioDownload(songView)));
  Object.assign(songView, { preview, canvas, scroller, playhead, names });
  songViewOf.set(songView.root, songView);
  return figure;
}

function songTitle(song) {
  const text = song.text ? readableText(song.text.bytes).trim() : "";
  return text || `Song ${song.number}`;
}

function songFacts(song, length) {
  const text = song.text ? `${TEXT_KINDS[song.text.type]}: \u201c${readableText(song.text.bytes)}\u201d` : "none";
  const list = element("dl", { className: "facts" });
  for (const [term, value] of [
    ["Song", `${song.number}, ${song.name}`],
    ["Size", plural(song.size, "byte")],
    ["Events", song.events.toLocaleString("en")],
    ["Length", length.text],
    ["First text", text],
    ["Place", `its head starts at byte ${song.position.toLocaleString("en")} of the container`],
  ]) list.append(element("div", {}, element("dt", { text: term }), element("dd", { text: value })));
  return list;
}

function warningList(warnings) {
  if (warnings.length === 0) return null;
  const list = element("ul", { className: "warnings" });
  for (const text of warnings) list.append(element("li", { text }));
  return list;
}

// The song's details, folded: its facts, its warnings and its preview.
function songDetails(view, song) {
  const length = lengthFacts(song.division, song.walk);
  const warnings = songWarnings(song).concat(length.warnings);
  const details = element("details", { className: "song-more" },
    element("summary", { text: warnings.length > 0 ? `Details and ${plural(warnings.length, "warning")}` : "Details" }));
  view.details = details;
  appendPresent(details, songFacts(song, length), warningList(warnings), previewView(view, song));
  return details;
}

// Play, for a song with a preview; its roll is drawn again at the width it
// has once its details show.
function playControl(view, song) {
  if (!view.preview) return element("span", { className: "no-play", text: "No preview" });
  const play = element("button", { type: "button", className: "play", "aria-pressed": "false", "data-song": `${view.title} (${song.name}, file ${view.container.number})`, text: "Play" });
  showVerb(play, "Play");
  play.addEventListener("click", () => togglePlay(view, play));
  view.details.addEventListener("toggle", () => { if (view.details.open) drawPreview(view); });
  return play;
}

// `container` is the view of the container the song came from (container-view.js).
export function makeSongView(container, song) {
  const root = element("li", { className: "song", "data-output-name": song.name });
  const title = songTitle(song);
  const view = { root, title, container, name: song.name, blob: song.blob };
  const url = makeUrl(song.blob);
  container.urls.push(url);
  const seconds = song.walk.seconds;
  const row = element("div", { className: "song-row" },
    element("div", { className: "song-title" }, element("h3", { text: title, title }), element("span", { className: "output-name", text: song.name })),
    element("span", { className: "song-length", text: seconds === null ? "no time" : formatDuration(seconds) }),
    element("span", { className: "song-size", text: formatBytes(song.size) }));
  const details = songDetails(view, song);
  row.append(playControl(view, song));
  row.append(element("a", { className: "download", href: url, download: song.name, "aria-label": `Download ${title} (${song.name}, file ${container.number})`, text: "Download" }));
  root.append(row, details);
  return view;
}
