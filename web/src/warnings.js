// What the page says, in words, about a container and its songs: where the
// container is hazardous, where MIDI readers take an output differently
// from the converter, a song's length, and why a file has no song or is no
// container. Only text here; the views (container-view.js, song-view.js)
// place it.
import { WALK, ENDING } from "./core.js";
import { plural, hexByte, formatDuration, formatBeats } from "./text.js";

// Why the walk over the slots found no further song, when that is worth a word.
export function walkWarning(result) {
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

export function noSongReason(file) {
  if (file.size < 38) {
    return `No song: the file is ${plural(file.size, "byte")}, too short for one (a container's first song starts at byte 16 and its head takes 22 bytes). The command line writes no file for it either.`;
  }
  return "No song: the command line writes no file for it either.";
}

export function notContainerText(count) {
  return `This file does not look like a Zarq container: a container's first song begins with the head of a MIDI file, and this one does not. The command line would still make ${plural(count, "file")} of it, below if you want ${count === 1 ? "it" : "them"} anyway.`;
}

// What the converter said of the song's track: how it ended, and meta types
// the format does not know.
export function songWarnings(song) {
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
// from the converter, from the walk over its output (timing.js).
export function lengthFacts(division, walk) {
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
