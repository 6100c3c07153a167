// How files come in: the drop zone's file input, the demo button, and a
// drop anywhere on the page. An .sf2 file among them becomes the
// instruments; the rest are queued as containers.
import { queueFiles } from "./queue.js";
import { isSoundFont, useSoundFont } from "./font-picker.js";
import { ui } from "./dom.js";

function addFiles(files) {
  const all = [...files];
  const font = all.find(isSoundFont);
  if (font) useSoundFont(font);
  const list = all.filter((file) => !isSoundFont(file));
  if (list.length === 0) return;
  ui.chosen.textContent = `Chosen: ${list.map((file) => file.name).join(", ")}`;
  queueFiles(list);
}

// A file dragged anywhere over the page can be dropped anywhere on it; the
// overlay shows while one is over it.
function listenForDrops() {
  let dragDepth = 0;
  const carriesFiles = (event) => event.dataTransfer && [...event.dataTransfer.types].includes("Files");
  document.addEventListener("dragenter", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    ++dragDepth;
    ui.overlay.hidden = false;
  });
  document.addEventListener("dragover", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = "copy";
  });
  document.addEventListener("dragleave", () => {
    dragDepth = Math.max(dragDepth - 1, 0);
    if (dragDepth === 0) ui.overlay.hidden = true;
  });
  document.addEventListener("drop", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    dragDepth = 0;
    ui.overlay.hidden = true;
    addFiles(event.dataTransfer.files);
  });
}

export function listenForFiles() {
  ui.input.addEventListener("change", () => {
    addFiles(ui.input.files);
    ui.input.value = "";
  });
  // The demo container rides in the page (build.mjs).
  ui.demoButton.addEventListener("click", () => {
    const bytes = Uint8Array.from(atob(DEMO_CONTAINER), (c) => c.charCodeAt(0));
    addFiles([new File([bytes], "demo.dat")]);
  });
  listenForDrops();
}
