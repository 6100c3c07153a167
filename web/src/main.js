// The page: containers dropped or chosen (intake.js), converted one after
// another in a worker (queue.js, jobs.js, worker.js), each shown with one
// row per song (container-view.js, song-view.js) and its details folded
// below (warnings.js, the piano roll in roll.js), played (playback.js,
// instruments.js, font-picker.js), and downloaded song by song, as audio or
// zipped (downloads.js). This file starts it.
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
import { listenForFiles } from "./intake.js";
import { listenForSoundFonts } from "./font-picker.js";
import { clearAll } from "./queue.js";
import { makeZip } from "./downloads.js";
import { drawPreview } from "./song-view.js";
import { installHooks } from "./hooks.js";
import { containers } from "./state.js";
import { ui, say } from "./dom.js";

// Rolls fit the page's width again when it changes.
function redrawRollsOnResize() {
  let resizeTimer = 0;
  let lastWidth = ui.results.clientWidth;
  window.addEventListener("resize", () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => {
      if (ui.results.clientWidth === lastWidth) return;
      lastWidth = ui.results.clientWidth;
      for (const view of containers) for (const songView of view.songViews) if (songView.preview) drawPreview(songView);
    }, 150);
  });
}

listenForFiles();
listenForSoundFonts();
ui.zipButton.addEventListener("click", makeZip);
ui.clearButton.addEventListener("click", clearAll);
redrawRollsOnResize();
installHooks();
say("Ready.");
