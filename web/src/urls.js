// Every object URL the page made and has not revoked: downloads, zips, WAV
// files, the worker's script. Clear revokes them all.

const liveUrls = new Set();

export function makeUrl(blob) {
  const url = URL.createObjectURL(blob);
  liveUrls.add(url);
  return url;
}

export function dropUrl(url) {
  if (!liveUrls.delete(url)) return;
  URL.revokeObjectURL(url);
}

export function dropEveryUrl() {
  for (const url of [...liveUrls]) dropUrl(url);
}

export function heldUrls() {
  return [...liveUrls];
}
