// What the page hands out besides each song's own link: a song as audio (a
// WAV file), a container's songs as a zip, and every song of every
// container as one zip. Each is made when asked for, then saved at once and
// kept behind a link to save it again.
import { wavFile } from "./synth.js";
import { uniqueFolders } from "./names.js";
import { renderSongSamples, TAIL_SECONDS } from "./instruments.js";
import { zipInWorker } from "./jobs.js";
import { makeUrl, dropUrl } from "./urls.js";
import { containers } from "./state.js";
import { ui, say, element, whileBusy } from "./dom.js";
import { plural, formatBytes } from "./text.js";

const WAV_RATE = 44100;

// The song as a WAV file, rendered offline with the player's instruments of
// the moment; the rendering's progress beside the button meanwhile.
export function audioDownload(songView) {
  const button = element("button", { type: "button", className: "wav secondary", text: "Download as audio (WAV)" });
  const progress = element("progress", { max: "1", value: "0", hidden: "", "aria-label": "Rendering the audio" });
  const link = element("a", { className: "wav-link", hidden: "" });
  button.addEventListener("click", () => whileBusy(button, async () => {
    progress.hidden = false;
    progress.value = 0;
    try {
      const samples = await renderSongSamples(songView, songView.preview.seconds + TAIL_SECONDS, WAV_RATE, (share) => { progress.value = share; });
      if (!songView.container.root.isConnected) return;
      if (link.href.startsWith("blob:")) dropUrl(link.href);
      const url = makeUrl(wavFile(samples, WAV_RATE));
      songView.container.urls.push(url);
      const name = songView.name.replace(/\.mid$/, ".wav");
      Object.assign(link, { href: url, download: name, textContent: `Save ${name} again`, hidden: false });
      link.click();
    } catch (error) {
      say(`The audio could not be made: ${error.message || error}.`);
    } finally {
      progress.hidden = true;
    }
  }));
  return element("div", { className: "audio" }, button, progress, link);
}

// A container's own zip: its songs at the zip's top.
export function containerZipButton(view) {
  const button = element("button", { type: "button", className: "zip-one secondary", text: "Zip", "aria-label": `Download the songs of ${view.file.name} as a zip` });
  button.addEventListener("click", () => whileBusy(button, async () => {
    say(`Making the zip of ${view.file.name}\u2026`);
    try {
      const zip = await zipInWorker(view.songs.map((song) => ({ path: song.name, blob: song.blob })));
      if (!containers.includes(view)) return;
      if (view.zipUrl) dropUrl(view.zipUrl);
      view.zipUrl = makeUrl(zip);
      const link = element("a", { href: view.zipUrl, download: `${view.file.name}.zip` });
      link.click();
      say(`The zip of ${view.file.name} holds ${plural(view.songs.length, "song")}.`);
    } catch (error) {
      say(`The zip could not be made: ${error.message || error}.`);
    }
  }));
  return button;
}

// Every song of every container, each container's songs in a folder named
// after its file.
function everySong() {
  const withSongs = containers.filter((view) => view.songs.length > 0);
  const folders = uniqueFolders(withSongs.map((view) => view.file.name));
  const entries = [];
  withSongs.forEach((view, index) => {
    for (const song of view.songs) entries.push({ path: `${folders[index]}/${song.name}`, blob: song.blob });
  });
  return entries;
}

// The zip of every song, behind the bar's zip button.
export function makeZip() {
  return whileBusy(ui.zipButton, async () => {
    const { zipLink } = ui;
    zipLink.hidden = true;
    zipLink.dataset.state = "working";
    say("Making the zip\u2026");
    const entries = everySong();
    try {
      const zip = await zipInWorker(entries);
      if (zipLink.href.startsWith("blob:")) dropUrl(zipLink.href);
      zipLink.href = makeUrl(zip);
      zipLink.textContent = `Save the zip again (${formatBytes(zip.size)})`;
      zipLink.hidden = false;
      zipLink.dataset.state = "done";
      say(`The zip holds ${plural(entries.length, "song")}.`);
      zipLink.click();
    } catch (error) {
      zipLink.dataset.state = "error";
      say(`The zip could not be made: ${error.message || error}.`);
    }
  });
}

// The bar's zip as before any was made (its URL is revoked with the rest).
export function forgetZip() {
  ui.zipLink.hidden = true;
  ui.zipLink.removeAttribute("href");
  delete ui.zipLink.dataset.state;
  ui.zipButton.removeAttribute("aria-busy");
}
