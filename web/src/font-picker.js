// Choosing the instruments: an .sf2 file picked or dropped, or back to the
// oscillators. The font lives in the page's memory only.
import { readSoundFont } from "./soundfont.js";
import { setSoundFont } from "./instruments.js";
import { stopPlayer } from "./playback.js";
import { ui } from "./dom.js";

export const isSoundFont = (file) => /\.sf2$/i.test(file.name);

// Takes an .sf2 file for the instruments; says what came of it.
export async function useSoundFont(file) {
  stopPlayer();
  ui.fontStatus.textContent = `Reading ${file.name}\u2026`;
  try {
    setSoundFont(readSoundFont(await file.arrayBuffer()));
    ui.fontStatus.textContent = `Instruments: ${file.name}, your SoundFont.`;
    ui.fontOff.hidden = false;
  } catch (error) {
    setSoundFont(null);
    ui.fontStatus.textContent = `${file.name} could not be read as a SoundFont; the page's own oscillators play.`;
    ui.fontOff.hidden = true;
  }
}

function useOscillators() {
  stopPlayer();
  setSoundFont(null);
  ui.fontStatus.textContent = "Instruments: the page's own oscillators.";
  ui.fontOff.hidden = true;
  ui.fontInput.focus();
}

export function listenForSoundFonts() {
  ui.fontInput.addEventListener("change", () => {
    if (ui.fontInput.files.length > 0) useSoundFont(ui.fontInput.files[0]);
    ui.fontInput.value = "";
  });
  ui.fontOff.addEventListener("click", useOscillators);
}
