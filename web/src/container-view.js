// A dropped file's view: its heading, a summary line that shows its
// progress while it converts, then its songs (song-view.js), or why there
// are none, or that it is no container. Its `view` object: { file, number,
// root, heading, summary, tools, cancel, songs: [{ name, blob }],
// songViews, urls (the object URLs made for it), zipUrl, and once settled
// message (its error) or notContainer }.
import { makeSongView, drawPreview } from "./song-view.js";
import { walkWarning, noSongReason, notContainerText } from "./warnings.js";
import { containers } from "./state.js";
import { ui, element } from "./dom.js";
import { plural, formatBytes } from "./text.js";

// Files are numbered as they come, so that controls of a file dropped twice
// have names of their own.
let filesAdded = 0;

// The view of a file just dropped, waiting its turn; `onCancel(view)` is
// its Cancel button's.
export function containerView(file, onCancel) {
  const root = element("li", { className: "container", "data-container": file.name, "data-state": "waiting" });
  const heading = element("h2", { tabindex: "-1" }, file.name, " ", element("span", { className: "size", text: formatBytes(file.size) }));
  const summary = element("p", { className: "summary", text: "Waiting\u2026" });
  const cancel = element("button", { type: "button", className: "cancel secondary", "aria-label": `Cancel ${file.name}`, text: "Cancel" });
  const tools = element("div", { className: "container-tools" }, cancel);
  root.append(element("div", { className: "container-head" }, heading, tools), summary);
  ui.results.append(root);
  const view = { file, number: ++filesAdded, root, heading, summary, tools, cancel, songs: [], songViews: [], urls: [], zipUrl: null };
  cancel.addEventListener("click", () => onCancel(view));
  containers.push(view);
  return view;
}

// The worker's progress messages: which song, then the bytes of track
// written out of those the container holds, then the reading of the songs.
export function showProgress(view, data) {
  if (data.song) {
    view.songOf = `song ${data.song} of ${data.count}`;
  }
  if (data.reading) {
    view.summary.textContent = "Reading the songs\u2026";
    return;
  }
  if (!view.bar) {
    view.bar = element("progress", { max: "1", value: "0", "data-progress": "", "aria-label": `Converting ${view.file.name}` });
    view.summary.replaceChildren(view.bar, element("span"));
  }
  if (data.total) {
    // The total is the container's track bytes; outputs run a little longer.
    const share = Math.min(data.done / data.total, 0.99);
    view.bar.value = share;
    view.bar.dataset.done = data.done;
    view.bar.dataset.total = data.total;
    view.summary.lastChild.textContent = ` Converting ${view.songOf || ""}: ${Math.floor(share * 100)}% of ${formatBytes(data.total)} of tracks`;
  } else {
    view.summary.lastChild.textContent = ` Converting ${view.songOf || ""}\u2026`;
  }
}

export function fail(view, message) {
  view.summary.textContent = "Not converted.";
  view.root.append(element("p", { className: "error", "data-error": "", role: "alert", text: message }));
  view.root.dataset.state = "error";
  view.message = message;
}

// Where the songs go: a list in view, or, for a file that is no container,
// one folded behind "Download anyway" under a note that says so.
function songList(view, result) {
  const { file, root, summary } = view;
  const count = result.songs.length;
  const list = element("ol", { className: "songs" });
  if (count > 0 && !result.looksLikeContainer) {
    summary.textContent = "Not a container.";
    root.append(element("p", { className: "not-container", "data-not-container": "", role: "note", text: notContainerText(count) }));
    root.append(element("details", { className: "anyway" }, element("summary", { text: "Download anyway" }), list));
    view.notContainer = true;
    return list;
  }
  summary.textContent = count > 0 ? plural(count, "song") : "No song";
  const warning = walkWarning(result);
  if (warning) root.append(element("ul", { className: "warnings" }, element("li", { text: warning })));
  if (count === 0 && !result.error) root.append(element("p", { className: "no-songs", "data-no-songs": "", text: noSongReason(file) }));
  root.append(list);
  return list;
}

// The converted container: its songs, and the error that stopped it, if any.
export function showSongs(view, result) {
  const list = songList(view, result);
  for (const song of result.songs) {
    const songView = makeSongView(view, song);
    list.append(songView.root);
    if (songView.preview) drawPreview(songView);
    view.songViews.push(songView);
    view.songs.push({ name: song.name, blob: song.blob });
  }
  if (result.error) {
    fail(view, `${result.error} The songs before it are complete.`);
    view.summary.textContent = `${view.songs.length} song${view.songs.length === 1 ? "" : "s"} kept.`;
  } else {
    view.root.dataset.state = "done";
  }
}

// The status line's sentence for a container settled.
export function settledSentence(view) {
  if (view.notContainer) return `${view.file.name} does not look like a container.`;
  if (view.root.dataset.state === "error") return view.message ? `${view.file.name} is not converted: ${view.message}` : `${view.file.name}: not converted.`;
  return `${view.file.name}: ${view.songs.length > 0 ? plural(view.songs.length, "song") : "no song"}.`;
}
