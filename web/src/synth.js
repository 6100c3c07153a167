// A small synthesiser made of Web Audio oscillators and gain envelopes: no
// sound font, nothing fetched. The same code plays a song live (scheduled a
// little ahead, window by window) and renders it offline for the tests.

// Waveforms by channel, so that parts sound apart; channel 10 (9 here) is
// percussion in General MIDI and gets short noise-like clicks.
const WAVES = ["triangle", "sawtooth", "square", "triangle", "sine", "sawtooth", "square", "sine"];
const ATTACK = 0.008;
const DECAY = 0.12;
const SUSTAIN = 0.55;
const RELEASE = 0.09;
const PEAK = 0.16;  // one voice's loudest; the compressor keeps chords in range

function frequency(pitch) {
  return 440 * Math.pow(2, (pitch - 69) / 12);
}

// The chain every voice feeds: a compressor so that many voices never clip.
export function makeOutput(context) {
  const compressor = context.createDynamicsCompressor();
  compressor.threshold.value = -18;
  compressor.ratio.value = 6;
  compressor.connect(context.destination);
  return compressor;
}

function playNote(context, output, note, at, length) {
  const oscillator = context.createOscillator();
  const envelope = context.createGain();
  const percussion = note.channel === 9;
  oscillator.type = percussion ? "square" : WAVES[note.channel % WAVES.length];
  oscillator.frequency.value = percussion ? 80 + note.pitch * 6 : frequency(note.pitch);
  const peak = PEAK * Math.max(note.velocity, 1) / 127;
  const held = percussion ? 0.05 : Math.max(length, 0.02);
  const gain = envelope.gain;
  gain.setValueAtTime(0, at);
  gain.linearRampToValueAtTime(peak, at + ATTACK);
  gain.setTargetAtTime(peak * SUSTAIN, at + ATTACK, DECAY / 3);
  gain.setValueAtTime(peak * SUSTAIN, at + held);
  gain.linearRampToValueAtTime(0, at + held + RELEASE);
  oscillator.connect(envelope);
  envelope.connect(output);
  oscillator.start(at);
  oscillator.stop(at + held + RELEASE + 0.01);
  return oscillator;
}

// Schedules the notes (sorted by start) that start in [from, to) seconds of
// the song, the song's second 0 falling at context time `origin`. Returns
// the index of the first note not scheduled and the oscillators started.
export function scheduleNotes(context, output, notes, firstIndex, from, to, origin) {
  const voices = [];
  let index = firstIndex;
  for (; index < notes.length && notes[index].startSeconds < to; ++index) {
    const note = notes[index];
    if (note.startSeconds < from) continue;
    voices.push(playNote(context, output, note, origin + note.startSeconds, note.endSeconds - note.startSeconds));
  }
  return { next: index, voices };
}

// What both players share: on every frame, onTick with the song's second
// (counted from the context's time `origin`) until `end` seconds, then
// stop() and onEnd.
class Clocked {
  startClock(end) {
    this.end = end;
    this.frame = requestAnimationFrame(() => this.tick());
  }

  tick() {
    const second = this.context.currentTime - this.origin;
    if (second > this.end) {
      this.stop();
      this.onEnd();
      return;
    }
    this.onTick(Math.max(second, 0));
    this.frame = requestAnimationFrame(() => this.tick());
  }
}

// A live player: schedules a second ahead, every quarter of a second, and
// calls onTick with the song's current second until the song ends or stop().
export class Player extends Clocked {
  constructor(context, preview, onTick, onEnd) {
    super();
    this.context = context;
    this.preview = preview;
    this.onTick = onTick;
    this.onEnd = onEnd;
    this.output = makeOutput(context);
    this.voices = new Set();
    this.next = 0;
    this.origin = context.currentTime + 0.1;
    this.scheduledTo = 0;
    this.timer = setInterval(() => this.schedule(), 250);
    this.startClock(preview.seconds + RELEASE);
    this.schedule();
  }

  schedule() {
    const until = this.context.currentTime - this.origin + 1.0;
    if (until <= this.scheduledTo) return;
    const { next, voices } = scheduleNotes(this.context, this.output, this.preview.notes, this.next, this.scheduledTo, until, this.origin);
    this.next = next;
    this.scheduledTo = until;
    for (const voice of voices) {
      this.voices.add(voice);
      voice.onended = () => this.voices.delete(voice);
    }
  }

  stop() {
    clearInterval(this.timer);
    cancelAnimationFrame(this.frame);
    for (const voice of this.voices) voice.stop();
    this.voices.clear();
    this.output.disconnect();
  }
}

// Renders `seconds` of the song offline and returns the samples. With
// `onProgress`, the rendering stops at each tenth of the way to report the
// share done.
export async function renderOffline(preview, seconds, sampleRate = 22050, onProgress = null) {
  const length = Math.max(1, Math.ceil(seconds * sampleRate));
  const context = new OfflineAudioContext(1, length, sampleRate);
  const output = makeOutput(context);
  scheduleNotes(context, output, preview.notes, 0, 0, seconds, 0);
  if (onProgress) {
    // A suspension must fall on a render quantum (128 frames) inside the render.
    for (let tenth = 1; tenth < 10; ++tenth) {
      const at = Math.floor((length * tenth) / 10 / 128) * 128 / sampleRate;
      if (at <= 0) continue;
      context.suspend(at).then(() => {
        onProgress(tenth / 10);
        context.resume();
      }, () => {});
    }
  }
  const buffer = await context.startRendering();
  return buffer.getChannelData(0);
}

// Samples (-1 to 1) as a WAV file: one channel of 16-bit PCM, little-endian.
export function wavFile(samples, sampleRate) {
  const bytes = new ArrayBuffer(44 + samples.length * 2);
  const view = new DataView(bytes);
  const text = (at, value) => { for (let i = 0; i < value.length; ++i) view.setUint8(at + i, value.charCodeAt(i)); };
  text(0, "RIFF");
  view.setUint32(4, 36 + samples.length * 2, true);
  text(8, "WAVE");
  text(12, "fmt ");
  view.setUint32(16, 16, true);         // the format chunk's size
  view.setUint16(20, 1, true);          // PCM
  view.setUint16(22, 1, true);          // one channel
  view.setUint32(24, sampleRate, true);
  view.setUint32(28, sampleRate * 2, true);  // bytes a second
  view.setUint16(32, 2, true);          // bytes a frame
  view.setUint16(34, 16, true);         // bits a sample
  text(36, "data");
  view.setUint32(40, samples.length * 2, true);
  for (let i = 0; i < samples.length; ++i) {
    const sample = Math.max(-1, Math.min(1, samples[i]));
    view.setInt16(44 + i * 2, Math.round(sample * 32767), true);
  }
  return new Blob([bytes], { type: "audio/wav" });
}

// Plays samples already rendered (a SoundFont's), with the live player's
// calls: onTick with the song's current second, onEnd at the end or stop().
export class SamplePlayer extends Clocked {
  constructor(context, samples, sampleRate, onTick, onEnd) {
    super();
    const buffer = context.createBuffer(1, samples.length, sampleRate);
    buffer.copyToChannel(samples, 0);
    this.context = context;
    this.source = context.createBufferSource();
    this.source.buffer = buffer;
    this.source.connect(context.destination);
    this.origin = context.currentTime + 0.05;
    this.onTick = onTick;
    this.onEnd = onEnd;
    this.source.start(this.origin);
    this.startClock(samples.length / sampleRate);
  }

  stop() {
    cancelAnimationFrame(this.frame);
    this.source.stop();
    this.source.disconnect();
  }
}
