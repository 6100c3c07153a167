// A SoundFont of the person's own, played by a SoundFont synthesiser
// (spessasynth_core, bundled into the page): the song's own MIDI file runs
// through its sequencer, General MIDI programs and the drum channel
// included, and comes out as samples. Nothing is fetched, and the font lives
// only in this page's memory.
import { SpessaSynthProcessor, SpessaSynthSequencer, SoundBankLoader, BasicMIDI } from "spessasynth_core";

// Frames rendered between breaks in which the page may draw and answer.
const SLICE_FRAMES = 16384;
const BLOCK = 128;

// The font read from the bytes of an .sf2 file; throws when they are not one.
export function readSoundFont(buffer) {
  return SoundBankLoader.fromArrayBuffer(buffer);
}

function pause() {
  return new Promise((resolve) => setTimeout(resolve, 0));
}

// Renders `seconds` of the MIDI file `midiBytes` with the font, at
// `sampleRate`; the two channels are mixed into one. `onProgress(share)`
// is told how far it is.
export async function renderWithSoundFont(font, midiBytes, seconds, sampleRate, onProgress = () => {}) {
  const synth = new SpessaSynthProcessor(sampleRate, { effectsEnabled: false, eventsEnabled: false, maxBufferSize: BLOCK });
  synth.soundBankManager.addSoundBank(font, "own");
  await synth.processorInitialized;
  const sequencer = new SpessaSynthSequencer(synth);
  sequencer.loopCount = 0;
  sequencer.loadNewSongList([BasicMIDI.fromArrayBuffer(midiBytes.buffer.slice(midiBytes.byteOffset, midiBytes.byteOffset + midiBytes.byteLength))]);
  sequencer.play();
  const length = Math.max(1, Math.ceil(seconds * sampleRate));
  const left = new Float32Array(length);
  const right = new Float32Array(length);
  for (let at = 0; at < length;) {
    const end = Math.min(at + SLICE_FRAMES, length);
    for (; at < end; at += BLOCK) {
      sequencer.processTick();
      synth.process(left, right, at, Math.min(BLOCK, length - at));
    }
    onProgress(at / length);
    await pause();
  }
  for (let i = 0; i < length; ++i) left[i] = (left[i] + right[i]) / 2;
  return left;
}
