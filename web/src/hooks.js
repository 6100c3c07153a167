// What the tests and the benchmark call on `window.tolvarinPage`, beside
// the conversions' timings the queue records there.
import { CHANNEL_COLOURS } from "./roll.js";
import { songViewOfElement } from "./song-view.js";
import { renderSongSamples } from "./instruments.js";
import { converter } from "./jobs.js";
import { heldUrls } from "./urls.js";
import { containers, page } from "./state.js";

// The loudness (root mean square) of each 10 ms of `samples`.
function loudness(samples, sampleRate) {
  const span = sampleRate / 100;  // a whole number of samples
  const levels = [];
  for (let start = 0; start + span <= samples.length; start += span) {
    let sum = 0;
    for (let i = start; i < start + span; ++i) sum += samples[i] * samples[i];
    levels.push(Math.sqrt(sum / span));
  }
  return levels;
}

export function installHooks() {
  // `seconds` of the song's samples, as Play would sound them now.
  page.renderSamples = async (songElement, seconds, sampleRate) => {
    const songView = songViewOfElement(songElement);
    return songView ? [...await renderSongSamples(songView, seconds, sampleRate)] : null;
  };
  // The object URLs the page holds now; the channels' colours.
  page.urls = heldUrls;
  page.channelColours = CHANNEL_COLOURS;
  // For the benchmark: the converter alone on the file of container `index`
  // (in drop order), its outputs dropped piece by piece; milliseconds. Run
  // once the queue is done.
  page.timeConverter = async (index) => {
    const { timing } = await converter.run({ kind: "convert", file: containers[index].file, discard: true });
    return timing.convert;
  };
  // Ends the converting worker's partner, as when it fails.
  page.losePartner = () => converter.losePartner();
  // The song's sound, rendered offline by the player's own synthesiser, as
  // its loudness (at 24 kHz unless `sampleRate` says otherwise).
  page.renderSong = async (songElement, seconds, sampleRate = 24000) => {
    const songView = songViewOfElement(songElement);
    if (!songView) return null;
    return loudness(await renderSongSamples(songView, seconds, sampleRate), sampleRate);
  };
}
