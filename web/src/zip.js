// Every song of every container as one zip, each container's songs in a
// folder named after its file ("a.dat/a_1.mid", "a.bin/a_1.mid"). Outputs
// are read from their Blobs a slice at a time and deflated as they come, so
// the zip never needs a second whole copy of a large output.
import { Zip, ZipDeflate } from "fflate";

const SLICE = 4 * 1024 * 1024;

// entries: [{ path, blob }]. Returns the zip as a Blob.
export async function zipOutputs(entries) {
  const parts = [];
  let failure = null;
  const zip = new Zip((error, chunk) => {
    if (error) failure = error;
    else parts.push(chunk);
  });
  for (const { path, blob } of entries) {
    // Large outputs get the quickest level: a zip of hundreds of MiB at the
    // default level keeps a person waiting for little gain.
    const file = new ZipDeflate(path, { level: blob.size > 8 * 1024 * 1024 ? 1 : 6 });
    zip.add(file);
    if (blob.size === 0) file.push(new Uint8Array(0), true);
    for (let at = 0; at < blob.size; at += SLICE) {
      const bytes = new Uint8Array(await blob.slice(at, at + SLICE).arrayBuffer());
      file.push(bytes, at + SLICE >= blob.size);
    }
    if (failure) throw failure;
  }
  zip.end();
  if (failure) throw failure;
  return new Blob(parts, { type: "application/zip" });
}
