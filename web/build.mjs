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

// The format's table of meta and system event types (meta_kinds in
// src/format/event_tables.hpp), which the converter translates by, is the
// one the page's walk over an output follows (src/timing.js): it is read
// from there, as the types of each kind but bare (a type not listed has
// nothing behind it): { length_prefixed: [...], end_of_track: [...],
// tempo: [...] }. A line of the table this does not know stops the build,
// so that the page never follows a table that is not the converter's.
function metaKinds() {
  const header = readFileSync(join(here, "..", "src", "format", "event_tables.hpp"), "utf8");
  const body = /meta_kinds = \[\] \{\n([^]*?)\n\}\(\);/.exec(header);
  if (!body) throw new Error("event_tables.hpp: no meta_kinds table");
  const kinds = new Array(256).fill("bare");
  const set = (types, kind) => {
    if (!["bare", "length_prefixed", "end_of_track", "tempo"].includes(kind)) throw new Error(`event_tables.hpp: unknown meta kind ${kind}`);
    for (const type of types) kinds[type] = kind;
  };
  for (const line of body[1].split("\n").map((text) => text.trim())) {
    let match;
    if (line === "std::array<meta_kind, 256> kinds{};" || line === "return kinds;") continue;
    if ((match = /^for \(unsigned type = (0x[0-9A-F]+); type <= (0x[0-9A-F]+); \+\+type\) kinds\[type\] = meta_kind::(\w+);$/i.exec(line))) {
      const types = [];
      for (let type = Number(match[1]); type <= Number(match[2]); ++type) types.push(type);
      set(types, match[3]);
    } else if ((match = /^for \(unsigned type : \{([^}]*)\}\) kinds\[type\] = meta_kind::(\w+);$/.exec(line))) {
      set(match[1].split(",").map((text) => Number(text.trim().replace(/u$/i, ""))), match[2]);
    } else if ((match = /^kinds\[(0x[0-9A-F]+)\] = meta_kind::(\w+);$/i.exec(line))) {
      set([Number(match[1])], match[2]);
    } else {
      throw new Error(`event_tables.hpp: a line of meta_kinds the page's build cannot read: ${line}`);
    }
  }
  const byKind = { length_prefixed: [], end_of_track: [], tempo: [] };
  kinds.forEach((kind, type) => { if (kind !== "bare") byKind[kind].push(type); });
  return byKind;
}
const metaTable = metaKinds();
const bundle = async (entry) => (await build({
  entryPoints: [join(here, "src", entry)],
  bundle: true,
  format: "iife",
  minify: true,
  target: ["chrome100", "firefox100", "safari15"],
  write: false,
  legalComments: "none",
  define: { DEMO_CONTAINER: JSON.stringify(demo), META_KINDS: JSON.stringify(metaTable) },
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
