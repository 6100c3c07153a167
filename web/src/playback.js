// Play and Stop: one song plays at a time, with the instruments of the
// moment, and a playhead moves over its piano roll.
import { Player, SamplePlayer } from "./synth.js";
import { tickAt } from "./timing.js";
import { currentSoundFont, renderSongSamples, TAIL_SECONDS } from "./instruments.js";
import { page } from "./state.js";

// What plays: { view, instance, finish }, or null.
let player = null;

export function stopPlayer() {
  if (!player) return;
  player.instance.stop();
  player.finish();
  player = null;
}

export function isPlayingIn(songViews) {
  return player !== null && songViews.includes(player.view);
}

// A Play button shows what pressing it does; its name says it of the song.
export function showVerb(button, verb) {
  button.textContent = verb;
  button.setAttribute("aria-label", `${verb} ${button.dataset.song}`);
}

// The playhead's move at each of the song's seconds; the roll follows it
// until the person scrolls it themselves.
function followPlayhead(songView) {
  const { preview, playhead, scroller } = songView;
  let followed = scroller.scrollLeft;
  let following = true;
  return (second) => {
    const x = songView.place.left + (tickAt(second, preview.ticksPerBeat, preview.tempos) / preview.ticksPerBeat) * songView.place.beatWidth;
    playhead.style.transform = `translateX(${x}px)`;
    if (Math.abs(scroller.scrollLeft - followed) > 1) following = false;
    if (following && (x < scroller.scrollLeft || x > scroller.scrollLeft + scroller.clientWidth - 20)) {
      scroller.scrollLeft = Math.max(x - 40, 0);
      followed = scroller.scrollLeft;
    }
  };
}

// A SoundFont's sound is rendered whole first, then played; null when the
// instruments changed, the song went or another started meanwhile.
async function soundFontInstance(songView, button, context, onTick, onEnd) {
  button.setAttribute("aria-busy", "true");
  showVerb(button, "Preparing\u2026");
  const font = currentSoundFont();
  let samples;
  try {
    samples = await renderSongSamples(songView, songView.preview.seconds + TAIL_SECONDS, context.sampleRate, () => {});
  } finally {
    button.removeAttribute("aria-busy");
    showVerb(button, "Play");
  }
  if (font !== currentSoundFont() || !songView.root.isConnected || player) return null;
  return new SamplePlayer(context, samples, context.sampleRate, onTick, onEnd);
}

// Plays the song, or stops it when it is the one playing.
export async function togglePlay(songView, button) {
  const mine = player && player.view === songView;
  stopPlayer();
  if (mine || button.getAttribute("aria-busy") === "true") return;
  const context = page.audio || (page.audio = new AudioContext());
  context.resume();
  const { preview, playhead } = songView;
  // The roll shows what plays.
  if (!songView.details.open) songView.details.open = true;
  const finish = () => {
    showVerb(button, "Play");
    button.setAttribute("aria-pressed", "false");
    playhead.hidden = true;
  };
  const onTick = followPlayhead(songView);
  const onEnd = () => {
    finish();
    player = null;
  };
  let instance;
  if (currentSoundFont()) {
    instance = await soundFontInstance(songView, button, context, onTick, onEnd);
    if (!instance) return;
  } else {
    instance = new Player(context, preview, onTick, onEnd);
  }
  showVerb(button, "Stop");
  button.setAttribute("aria-pressed", "true");
  playhead.hidden = false;
  player = { view: songView, instance, finish };
}
