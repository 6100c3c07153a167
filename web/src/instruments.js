// The instruments Play and "Download as audio" use: the page's own
// oscillators (synth.js), or a SoundFont the person gave (soundfont.js).
import { renderOffline } from "./synth.js";
import { renderWithSoundFont } from "./soundfont.js";

// Seconds rendered after the song's end, for its last notes' release.
export const TAIL_SECONDS = 0.5;

let soundFont = null;  // null: the oscillators play

export function currentSoundFont() {
  return soundFont;
}

export function setSoundFont(font) {
  soundFont = font;
}

// `seconds` of the song's sound at `sampleRate`, with the instruments of the
// moment: the SoundFont playing the song's MIDI file, or the oscillators
// rendered in an OfflineAudioContext.
export async function renderSongSamples(songView, seconds, sampleRate, onProgress) {
  if (soundFont) {
    const bytes = new Uint8Array(await songView.blob.arrayBuffer());
    return renderWithSoundFont(soundFont, bytes, seconds, sampleRate, onProgress);
  }
  return renderOffline(songView.preview, seconds, sampleRate, onProgress);
}
