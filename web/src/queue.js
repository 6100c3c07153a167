// The queue: dropped containers convert one at a time, in drop order, in
// the converting worker. Cancel takes one container out, at any point;
// Clear takes them all, stops every worker and revokes every URL, so that
// nothing is converted or announced afterwards.
import { ConversionError, MAX_CONTAINER_BYTES } from "./core.js";
import { containerView, showProgress, showSongs, fail, settledSentence } from "./container-view.js";
import { containerZipButton, forgetZip } from "./downloads.js";
import { stopPlayer, isPlayingIn } from "./playback.js";
import { converter, zipper } from "./jobs.js";
import { dropUrl, dropEveryUrl } from "./urls.js";
import { containers, page } from "./state.js";
import { ui, say, element } from "./dom.js";
import { plural, formatBytes } from "./text.js";

const queue = [];
let running = null;  // the view converting now

function updateButtons() {
  ui.zipButton.disabled = !containers.some((view) => view.songs.length > 0);
  ui.clearButton.disabled = containers.length === 0;
}

async function convert(view) {
  const { file, root, summary } = view;
  root.dataset.state = "working";
  summary.textContent = "Converting\u2026";
  if (file.size > MAX_CONTAINER_BYTES) {
    fail(view, `This file is ${formatBytes(file.size)}; the page converts containers up to 256 MiB. The command line takes larger ones.`);
    return;
  }
  let answer;
  try {
    answer = await converter.run({ kind: "convert", file, discard: false }, (data) => showProgress(view, data));
  } catch (error) {
    fail(view, error instanceof ConversionError ? error.message : `The converter failed on this file (${error.message}).`);
    return;
  }
  const { result, timing } = answer;
  page.lastConversionMs = timing.convert;
  page.lastDescribeMs = timing.describe;
  page.conversions.push({ name: file.name, size: file.size, convertMs: timing.convert, describeMs: timing.describe,
                          joined: timing.joined || 0 });
  try {
    showSongs(view, result);
  } catch (error) {
    root.append(element("p", { className: "error", "data-error": "", role: "alert", text: `The songs could not all be shown (${error.message || error}); the downloads above are complete.` }));
    root.dataset.state = "error";
  }
}

async function pump() {
  if (running || queue.length === 0) return;
  const view = queue.shift();
  running = view;
  try {
    await convert(view);
  } catch (error) {
    fail(view, `The page failed on this file (${error.message || error}).`);
  }
  if (running !== view) return;  // cancelled or cleared meanwhile: nothing to say
  running = null;
  view.cancel.remove();
  if (view.songs.length > 0 && !view.notContainer) view.tools.append(containerZipButton(view));
  updateButtons();
  say(settledSentence(view));
  pump();
}

// Files (containers, or files taken for them) to convert after those queued.
export function queueFiles(files) {
  for (const file of files) queue.push(containerView(file, cancelContainer));
  updateButtons();
  say(`Converting ${plural(files.length, "file")}\u2026`);
  pump();
}

function forget(view) {
  if (isPlayingIn(view.songViews)) stopPlayer();
  for (const url of view.urls) dropUrl(url);
  if (view.zipUrl) dropUrl(view.zipUrl);
}

// Removes a container, its work and its URLs; says so.
function cancelContainer(view) {
  const index = containers.indexOf(view);
  if (index < 0) return;
  if (running === view) {
    converter.stop();
    running = null;
  }
  const queued = queue.indexOf(view);
  if (queued >= 0) queue.splice(queued, 1);
  forget(view);
  containers.splice(index, 1);
  // Focus goes to the next container, or the one before, or the picker.
  const next = containers[index] || containers[index - 1];
  view.root.remove();
  (next ? next.heading : ui.input).focus();
  updateButtons();
  say(`${view.file.name}: cancelled.`);
  pump();
}

export function clearAll() {
  stopPlayer();
  converter.stop();
  zipper.stop();
  running = null;
  queue.length = 0;
  for (const view of containers) forget(view);
  dropEveryUrl();
  containers.length = 0;
  ui.results.replaceChildren();
  forgetZip();
  ui.chosen.textContent = "";
  ui.input.focus();
  updateButtons();
  say("The list is empty.");
}
