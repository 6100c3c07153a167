// How the page writes numbers, sizes, lengths and bytes for people. The page
// and the worker both use these, so that a size or a byte reads the same in
// a song's row, a warning and a message.

export function plural(count, word) {
  return `${count.toLocaleString("en")} ${word}${count === 1 ? "" : "s"}`;
}

// A byte as the format's tables write it: 0x0A, 0xF1.
export function hexByte(value) {
  return `0x${value.toString(16).toUpperCase().padStart(2, "0")}`;
}

export function formatBytes(size) {
  if (size < 1024) return `${size} byte${size === 1 ? "" : "s"}`;
  const units = ["KiB", "MiB", "GiB"];
  let value = size / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    ++unit;
  }
  return `${value < 10 ? value.toFixed(1) : Math.round(value)} ${units[unit]}`;
}

// Seconds as m:ss, or h:mm:ss from an hour on.
export function formatDuration(seconds) {
  const whole = Math.round(seconds);
  const hours = Math.floor(whole / 3600);
  const minutes = Math.floor((whole % 3600) / 60);
  const rest = String(whole % 60).padStart(2, "0");
  return hours > 0 ? `${hours}:${String(minutes).padStart(2, "0")}:${rest}` : `${minutes}:${rest}`;
}

export function formatBeats(beats) {
  return beats.toLocaleString("en", { maximumFractionDigits: 2 });
}

// Text bytes as a person can read them: one character a byte, controls shown as dots.
export function readableText(bytes) {
  const text = new TextDecoder("windows-1252").decode(bytes);
  return text.replace(/[\u0000-\u001f\u007f]/g, "\u00b7");
}
