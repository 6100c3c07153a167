// Builds the page: one HTML file with the styles, the WebAssembly core (its
// module embedded in base64), the worker's script and the page's inlined, so that it works
// opened from disk as well as served. Classic scripts only: a module script
// or a sibling file does not load from file://.
//   node build.mjs CORE_JS OUT_HTML
import { build } from "esbuild";
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const [corePath, outPath] = process.argv.slice(2);
if (!corePath || !outPath) {
  console.error("usage: node build.mjs CORE_JS OUT_HTML");
  process.exit(2);
}

// The demo container rides in the page, for its "Try the demo" button.
const demo = readFileSync(join(here, "..", "examples", "demo.dat")).toString("base64");
const bundle = async (entry) => (await build({
  entryPoints: [join(here, "src", entry)],
  bundle: true,
  format: "iife",
  minify: true,
  target: ["chrome100", "firefox100", "safari15"],
  write: false,
  legalComments: "none",
  define: { DEMO_CONTAINER: JSON.stringify(demo) },
})).outputFiles[0].text;
// The core and the worker's script are inlined as text (not run by the
// page): the page starts its worker from them.
const scripts = { CORE: readFileSync(corePath, "utf8"), WORKER: await bundle("worker.js"), APP: await bundle("main.js") };
for (const [name, text] of Object.entries(scripts)) {
  // Inside <script>, these would end the element or change how it is read.
  if (/<\/script|<!--|<script/i.test(text)) {
    console.error(`${name}: the script holds text that cannot be inlined in <script>`);
    process.exit(1);
  }
}
const html = readFileSync(join(here, "index.html"), "utf8")
  .replace("/* STYLE */", () => readFileSync(join(here, "style.css"), "utf8"))
  .replace("/* CORE */", () => scripts.CORE)
  .replace("/* WORKER */", () => scripts.WORKER)
  .replace("/* APP */", () => scripts.APP);
writeFileSync(outPath, html);
console.log(`${outPath}: ${(html.length / 1024).toFixed(0)} KiB`);
