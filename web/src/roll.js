// The piano roll: notes by pitch (rows, high at the top) over time (beats,
// left to right), coloured by channel. A short song is stretched to the
// width it is given; a long one keeps at least MIN_BEAT_WIDTH pixels a beat
// and scrolls sideways.
import { formatBeats } from "./text.js";

// One colour per channel, each as far from the others as could be found
// (no two closer than 36 in CIELAB) and at least 4.5:1 against the roll's
// dark ground, which it keeps in both themes.
export const CHANNEL_COLOURS = [
  "#4fc3f7", "#ff1a1a", "#1aff1a", "#ff1aff", "#ffd11a", "#ff8fbc", "#85e097", "#6675ff",
  "#d17e47", "#f1dbc6", "#d1ff1a", "#ff1aa3", "#1affff", "#cdb8ff", "#cd64d8", "#f4ff8f",
];
// The roll's colours come from the page's styles (--roll-*), with these
// when a style is missing.
const ROLL_COLOURS = { ground: "#15181e", sharp: "#1c2029", beat: "#2b303b", bar: "#6b7588", label: "#b4bccb" };

function rollColours(canvas) {
  const style = getComputedStyle(canvas);
  const colours = {};
  for (const [name, fallback] of Object.entries(ROLL_COLOURS)) {
    colours[name] = style.getPropertyValue(`--roll-${name}`).trim() || fallback;
  }
  return colours;
}
const GUTTER = 34;     // note names on the left
const AXIS = 18;       // beat numbers below
const MIN_BEAT_WIDTH = 14;
const MAX_CANVAS_WIDTH = 16000;  // browsers refuse far larger canvases
const NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"];

// Lowest and highest pitch (no spreading: a song may hold more notes than a call takes arguments).
function pitchRange(notes) {
  let low = 127;
  let high = 0;
  for (const note of notes) {
    low = Math.min(low, note.pitch);
    high = Math.max(high, note.pitch);
  }
  return { low, high };
}

export function noteName(pitch) {
  return `${NOTE_NAMES[pitch % 12]}${Math.floor(pitch / 12) - 1}`;
}

// Where everything goes, for a song of `beats` beats drawn `width` pixels
// wide at the least.
export function layout(preview, width) {
  const range = pitchRange(preview.notes);
  let low = Math.max(range.low - 1, 0);
  let high = Math.min(range.high + 1, 127);
  // At least an octave and a half of rows, so a few notes do not fill the roll.
  while (high - low < 18) {
    if (low > 0) --low;
    if (high - low < 18 && high < 127) ++high;
  }
  const rows = high - low + 1;
  const rowHeight = Math.max(3, Math.min(12, Math.floor(220 / rows)));
  // The roll runs to the whole beat after the song's end.
  const beats = Math.max(Math.ceil(preview.ticks / preview.ticksPerBeat), 1);
  let beatWidth = Math.max((width - GUTTER) / beats, MIN_BEAT_WIDTH);
  if (GUTTER + beats * beatWidth > MAX_CANVAS_WIDTH) beatWidth = (MAX_CANVAS_WIDTH - GUTTER) / beats;
  return {
    low, high, rowHeight, beats, beatWidth,
    left: GUTTER, top: 0,
    width: Math.ceil(GUTTER + beats * beatWidth),
    height: rows * rowHeight + AXIS,
  };
}

// Beats between numbered lines: enough pixels apart for their labels.
function labelStep(beatWidth) {
  for (const step of [1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024]) if (step * beatWidth >= 36) return step;
  return 2048;
}

// Beats (from the song's start) where bars begin: every 4 beats until a time
// signature says otherwise, then every beatsPerBar of the signature in force,
// counted afresh from where it stands.
export function barBeats(preview, beats) {
  const bars = [];
  const changes = [{ tick: 0, beatsPerBar: 4 }, ...(preview.signatures || [])];
  changes.forEach((change, index) => {
    const from = change.tick / preview.ticksPerBeat;
    const last = index + 1 === changes.length;
    const to = last ? beats : changes[index + 1].tick / preview.ticksPerBeat;
    for (let beat = from; last ? beat <= to : beat < to; beat += change.beatsPerBar) bars.push(beat);
  });
  return bars;
}

// The note names beside the rows, as [pitch, top in CSS pixels]: the Cs,
// and the lowest row when rows are tall enough. Each label (LABEL_HEIGHT
// high) is centred on its row but kept inside the rows.
const LABEL_HEIGHT = 14;
export function noteLabels(place) {
  const labels = [];
  const rowsBottom = place.top + (place.high - place.low + 1) * place.rowHeight;
  for (let pitch = place.low; pitch <= place.high; ++pitch) {
    if (pitch % 12 !== 0 && !(place.rowHeight >= 10 && pitch === place.low)) continue;
    const middle = place.top + (place.high - pitch + 0.5) * place.rowHeight;
    labels.push([pitch, Math.min(Math.max(middle - LABEL_HEIGHT / 2, place.top), rowsBottom - LABEL_HEIGHT)]);
  }
  return labels;
}

// Draws the roll on `canvas` and records its layout in data attributes, so
// that a test can find where a note must be. The note names are not drawn
// here but by the page beside the canvas (noteLabels), so that they stay in
// view when the roll scrolls sideways.
export function drawRoll(canvas, preview, width) {
  const colour = rollColours(canvas);
  const place = layout(preview, width);
  const scale = window.devicePixelRatio || 1;
  canvas.width = Math.round(place.width * scale);
  canvas.height = Math.round(place.height * scale);
  canvas.style.width = `${place.width}px`;
  canvas.style.height = `${place.height}px`;
  Object.assign(canvas.dataset, {
    left: place.left, top: place.top, beatWidth: place.beatWidth, rowHeight: place.rowHeight,
    highNote: place.high, lowNote: place.low, ticksPerBeat: preview.ticksPerBeat, scale,
  });
  const g = canvas.getContext("2d");
  g.setTransform(scale, 0, 0, scale, 0, 0);
  g.fillStyle = colour.ground;
  g.fillRect(0, 0, place.width, place.height);
  const rowsBottom = place.top + (place.high - place.low + 1) * place.rowHeight;
  for (let pitch = place.low; pitch <= place.high; ++pitch) {
    if (!NOTE_NAMES[pitch % 12].includes("#")) continue;
    g.fillStyle = colour.sharp;
    g.fillRect(place.left, place.top + (place.high - pitch) * place.rowHeight, place.width - place.left, place.rowHeight);
  }
  const step = labelStep(place.beatWidth);
  const lineStep = place.beatWidth >= 6 ? 1 : step;
  g.font = "11px system-ui, sans-serif";
  g.textBaseline = "top";
  const line = (beat, style) => {
    const x = Math.round(place.left + beat * place.beatWidth) + 0.5;
    g.strokeStyle = style;
    g.beginPath();
    g.moveTo(x, place.top);
    g.lineTo(x, rowsBottom);
    g.stroke();
    return x;
  };
  for (let beat = 0; beat <= place.beats; beat += lineStep) {
    const x = line(beat, colour.beat);
    if (beat % step === 0) {
      g.fillStyle = colour.label;
      g.fillText(String(beat), x + 2, rowsBottom + 3);
    }
  }
  // Bar lines over the beat lines, where they are far enough apart to see.
  const bars = barBeats(preview, place.beats);
  if (bars.length < 2 || (bars[1] - bars[0]) * place.beatWidth >= 4) for (const beat of bars) line(beat, colour.bar);
  for (const note of preview.notes) {
    const x = place.left + (note.start / preview.ticksPerBeat) * place.beatWidth;
    const w = Math.max(((note.end - note.start) / preview.ticksPerBeat) * place.beatWidth - 1, 2);
    const y = place.top + (place.high - note.pitch) * place.rowHeight;
    g.fillStyle = CHANNEL_COLOURS[note.channel];
    g.fillRect(x, y + 0.5, w, Math.max(place.rowHeight - 1, 2));
  }
  g.fillStyle = colour.ground;
  g.fillRect(0, 0, place.left, place.height);
  return place;
}

// A sentence for people who cannot see the roll.
export function describeRoll(preview) {
  const channels = [...new Set(preview.notes.map((note) => note.channel + 1))].sort((a, b) => a - b);
  const range = pitchRange(preview.notes);
  const beats = preview.ticks / preview.ticksPerBeat;
  return `Piano roll: ${preview.notes.length} note${preview.notes.length === 1 ? "" : "s"} on channel${channels.length === 1 ? "" : "s"} ` +
    `${channels.join(", ")}, from ${noteName(range.low)} to ${noteName(range.high)}, over ${formatBeats(beats)} beats.`;
}
