#!/usr/bin/env python3
"""The web page in headless Chromium, opened from disk (file://), as a person
would use it: containers dropped through its file input, several at once,
and every song's download compared byte for byte with what the command line
writes for the same container; the zip of every song; messages for files
that are not containers or are too large, with the page still working after
them; the piano roll's pixels against the notes an independent reader
(mido) finds in the command line's outputs; the player's sound rendered
offline; no request leaving the page; no error in its console.

  web_test.py --page build/web/index.html --binary build/release/tolvarin \
              --demo examples/demo.dat --out build/web-test

Screenshots for people to look at go to --out."""
import argparse
import base64
import hashlib
import io
import http.server
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)
from checks import Checks  # noqa: E402
import containers  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]
SETTLED = ("done", "error")
BIG_SIZE = 64 * 1024 * 1024
LARGEST_SIZE = 250 * 1024 * 1024


def start_browser(profile, downloads):
    options = webdriver.ChromeOptions()
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument(f"--user-data-dir={profile}")
    options.add_argument("--window-size=1200,900")
    options.binary_location = "/usr/bin/chromium"
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(120)
    return driver


def write_case(root, case):
    folder = os.path.join(root, case.folder)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, case.name)
    with open(path, "wb") as f:
        f.write(case.data)
    return path


def cli_outputs(binary, path, work):
    """The command line's outputs for the container at `path`, converted as a
    copy in a directory of its own: [(name, bytes)] in song order."""
    run_dir = tempfile.mkdtemp(dir=work)
    copy = os.path.join(run_dir, os.path.basename(path))
    shutil.copyfile(path, copy)
    result = subprocess.run([binary, copy], capture_output=True)
    assert result.returncode == 0, f"{path}: the command line exited {result.returncode}: {result.stdout!r}"
    base = os.path.splitext(os.path.basename(path))[0] if "." in os.path.basename(path) else os.path.basename(path)
    outputs = []
    for number in range(1, 5):
        name = f"{base}_{number}.mid"
        if os.path.exists(os.path.join(run_dir, name)):
            with open(os.path.join(run_dir, name), "rb") as f:
                outputs.append((name, f.read()))
    shutil.rmtree(run_dir)
    return outputs


def drop(driver, paths):
    driver.find_element(By.ID, "containers").send_keys("\n".join(paths))


def wait_settled(driver, count, timeout=120):
    """Waits until `count` containers are shown, each done or in error."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        states = driver.execute_script(
            "return [...document.querySelectorAll('[data-container]')].map(e => e.dataset.state)")
        if len(states) >= count and all(state in SETTLED for state in states):
            return True
        time.sleep(0.1)
    return False


BLOB_BASE64 = """
const [href, done] = arguments;
fetch(href).then(r => r.arrayBuffer()).then(buffer => {
  const bytes = new Uint8Array(buffer);
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  done(btoa(text));
}).catch(error => done('failed: ' + error));
"""

BLOB_SHA256 = """
const [href, done] = arguments;
fetch(href).then(r => r.arrayBuffer()).then(buffer => crypto.subtle.digest('SHA-256', buffer)).then(digest => {
  done([...new Uint8Array(digest)].map(b => b.toString(16).padStart(2, '0')).join(''));
}).catch(error => done('failed: ' + error));
"""


def blob_bytes(driver, href):
    text = driver.execute_async_script(BLOB_BASE64, href)
    return None if text.startswith("failed: ") else base64.b64decode(text)


def page_containers(driver):
    """What the page shows of each container, in drop order."""
    return driver.execute_script("""
      return [...document.querySelectorAll('[data-container]')].map(c => ({
        name: c.dataset.container, state: c.dataset.state, text: c.textContent,
        error: c.querySelector('[data-error]') ? c.querySelector('[data-error]').textContent : null,
        warnings: c.querySelectorAll('.warnings li').length,
        noSongs: !!c.querySelector('[data-no-songs]'),
        songs: [...c.querySelectorAll('[data-output-name]')].map(s => {
          const link = s.querySelector('a[download]');
          return { name: s.dataset.outputName, text: s.textContent,
                   download: link ? link.getAttribute('download') : null, href: link ? link.href : null,
                   refused: !!s.querySelector('[data-preview=refused]') };
        })}));""")


def check_containers(checks, driver, shown, cases, expected, hashed=False):
    """Every container's songs: names, bytes, phrases; its message or its
    note that it has no song."""
    checks.expect("one element per dropped file, in order", [c["name"] for c in shown] == [c.name for c in cases],
                  str([c["name"] for c in shown]))
    for index, (case, page) in enumerate(zip(cases, shown)):
        label = f"{case.folder + '/' if case.folder else ''}{case.name}"
        outputs = expected[index]
        if case.message:
            checks.expect(f"{label}: message", page["state"] == "error" and page["error"] and case.message in page["error"],
                          f"{page['state']} {page['error']!r}")
            checks.expect(f"{label}: no song with a message", page["songs"] == [], str(len(page["songs"])))
            continue
        checks.expect(f"{label}: done", page["state"] == "done", f"{page['state']} {page['error']!r}")
        checks.expect(f"{label}: output names", [s["name"] for s in page["songs"]] == [name for name, _ in outputs],
                      f"{[s['name'] for s in page['songs']]} != {[name for name, _ in outputs]}")
        checks.expect(f"{label}: says it has no song", page["noSongs"] == (not outputs), str(page["noSongs"]))
        for song, (name, data) in zip(page["songs"], outputs):
            checks.expect(f"{label} {name}: a download named as the output", song["download"] == name, str(song["download"]))
            checks.expect(f"{label} {name}: a blob URL", (song["href"] or "").startswith("blob:"), str(song["href"]))
            if hashed:
                digest = driver.execute_async_script(BLOB_SHA256, song["href"])
                checks.expect(f"{label} {name}: bytes (SHA-256)", digest == hashlib.sha256(data).hexdigest(), digest)
            else:
                got = blob_bytes(driver, song["href"])
                checks.expect(f"{label} {name}: bytes", got == data,
                              f"{len(got) if got is not None else None} bytes, expected {len(data)}")
        if case.clean:
            checks.expect(f"{label}: no warning", page["warnings"] == 0, str(page["warnings"]))
        for number, phrases in case.song_phrases.items():
            song = page["songs"][number - 1] if number <= len(page["songs"]) else {"text": ""}
            for phrase in phrases:
                checks.expect(f"{label} song {number}: says {phrase[:40]!r}", phrase in song["text"], song["text"][:300])
        for phrase in case.container_phrases:
            checks.expect(f"{label}: says {phrase!r}", phrase in page["text"], page["text"][:300])
        refused = {number for number, song in enumerate(page["songs"], start=1) if song["refused"]}
        if case.refused or case.song_phrases:
            checks.expect(f"{label}: previews refused", refused == case.refused, f"{refused} != {case.refused}")


def zip_folders(cases):
    """The zip's folder for each case: its file name, " (2)" and on for a name met again."""
    taken, folders = set(), []
    for case in cases:
        folder, copy = case.name, 2
        while folder in taken:
            folder, copy = f"{case.name} ({copy})", copy + 1
        taken.add(folder)
        folders.append(folder)
    return folders


def wait_zip(driver, timeout=60):
    """Waits until the zip's link holds the zip."""
    deadline = time.time() + timeout
    while time.time() < deadline and driver.execute_script("return document.getElementById('zip-link').dataset.state") != "done":
        time.sleep(0.1)


def check_zip(checks, driver, cases, expected):
    driver.find_element(By.ID, "zip").click()
    wait_zip(driver)
    href = driver.execute_script("return document.getElementById('zip-link').href")
    data = blob_bytes(driver, href) if href.startswith("blob:") else None
    checks.expect("zip: made", data is not None, href)
    if data is None:
        return
    archive = zipfile.ZipFile(io.BytesIO(data))
    want = {}
    for folder, case, outputs in zip(zip_folders(cases), cases, expected):
        if not case.message:
            for name, output in outputs:
                want[f"{folder}/{name}"] = output
    checks.expect("zip: file list", sorted(archive.namelist()) == sorted(want),
                  str(sorted(set(archive.namelist()) ^ set(want))))
    for name in archive.namelist():
        checks.expect(f"zip: {name} bytes", archive.read(name) == want.get(name), name)


def notes_of(path):
    """Notes found by mido in an output: (channel, pitch, start tick, end tick,
    start second, end second)."""
    import mido
    midi = mido.MidiFile(path)
    notes, open_notes, tick, second = [], {}, 0, 0.0
    tempo = 500000
    for message in midi.tracks[0]:
        tick += message.time
        second += mido.tick2second(message.time, midi.ticks_per_beat, tempo)
        if message.type == "set_tempo":
            tempo = message.tempo
        elif message.type == "note_on" and message.velocity > 0:
            open_notes.setdefault((message.channel, message.note), []).append((tick, second))
        elif message.type in ("note_off", "note_on"):
            start, start_second = open_notes[(message.channel, message.note)].pop(0)
            notes.append((message.channel, message.note, start, tick, start_second, second))
    return notes, second


PIXELS = """
const [song, points] = arguments;
const canvas = song.querySelector('canvas.roll-canvas');
const g = canvas.getContext('2d');
return points.map(([x, y]) => [...g.getImageData(Math.round(x * canvas.dataset.scale), Math.round(y * canvas.dataset.scale), 1, 1).data]);
"""


def colour(text):
    return [int(text[i:i + 2], 16) for i in (1, 3, 5)]


def near(pixel, rgb, tolerance=6):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, rgb))


def check_roll(checks, driver, demo_outputs, work):
    """Each note of the demo's songs, found by mido, has its channel's colour
    at its middle in the roll; a row with no note at that time has none."""
    songs = driver.find_elements(By.CSS_SELECTOR, "[data-container='demo.dat'] [data-output-name]")
    for song, (name, data) in zip(songs, demo_outputs):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        notes, _ = notes_of(path)
        layout = driver.execute_script("return Object.assign({}, arguments[0].querySelector('canvas.roll-canvas').dataset)", song)
        legend = {int(e.get_attribute("data-channel")): e.find_element(By.CSS_SELECTOR, ".swatch").get_attribute("data-colour")
                  for e in song.find_elements(By.CSS_SELECTOR, ".legend [data-channel]")}
        checks.expect(f"roll {name}: legend names the notes' channels", set(legend) == {n[0] for n in notes}, str(legend))
        left, top = float(layout["left"]), float(layout["top"])
        beat, row = float(layout["beatWidth"]), float(layout["rowHeight"])
        high, per_beat = int(layout["highNote"]), int(layout["ticksPerBeat"])
        low = int(layout["lowNote"])
        checks.expect(f"roll {name}: every pitch has a row", low <= min(n[1] for n in notes) and max(n[1] for n in notes) <= high,
                      f"{low}-{high}")
        points, wanted = [], []
        used = {n[1] for n in notes}
        empty_pitch = next(p for p in range(low, high + 1) if p not in used)
        for channel, pitch, start, end, _, _ in notes:
            x = left + (start + end) / 2 / per_beat * beat
            points.append((x, top + (high - pitch + 0.5) * row))
            wanted.append((True, legend.get(channel, "#000000")))
            points.append((x, top + (high - empty_pitch + 0.5) * row))
            wanted.append((False, legend.get(channel, "#000000")))
        pixels = driver.execute_script(PIXELS, song, points)
        misses = [(p, px) for p, px, (present, rgb) in zip(points, pixels, wanted) if near(px, colour(rgb)) != present]
        checks.expect(f"roll {name}: {len(notes)} notes in their channel's colour, none in an empty row", not misses,
                      str(misses[:4]))


def check_sound(checks, driver, demo_outputs, work):
    """The fanfare (demo song 4) rendered offline by the player's synthesiser:
    sound while its notes play, silence once they are over."""
    name = demo_outputs[3][0]
    notes, length = notes_of(os.path.join(work, name))
    song = driver.find_element(By.CSS_SELECTOR, f"[data-container='demo.dat'] [data-output-name='{name}']")
    loudness = driver.execute_async_script(
        "const [song, seconds, done] = arguments; window.tolvarinPage.renderSong(song, seconds).then(done, e => done(String(e)));",
        song, length)
    checks.expect("sound: rendered", isinstance(loudness, list) and len(loudness) >= int(length * 100) - 1, str(loudness)[:100])
    if not isinstance(loudness, list):
        return
    quiet_notes = [(s, e) for _, _, _, _, s, e in notes
                   if max(loudness[int(s * 100) + 2:int(e * 100) - 1] or [0]) < 0.01]
    checks.expect(f"sound: each of {len(notes)} notes is heard", not quiet_notes, str(quiet_notes))
    last_end = max(e for *_, e in notes)
    rest = loudness[int((last_end + 0.3) * 100):]
    checks.expect(f"sound: silent from {last_end + 0.3:.2f} s to the end at {length:.2f} s",
                  len(rest) > 50 and max(rest) < 1e-4, f"{len(rest)} windows, loudest {max(rest or [0])}")


def load(driver, page_url):
    """Opens the page with the DevTools log emptied of what came before (the
    browser's own start page)."""
    driver.get_log("performance")
    driver.get(page_url)


DROP = """
const [name, text, targetSelector] = arguments;
const bytes = Uint8Array.from(atob(text), c => c.charCodeAt(0));
const transfer = new DataTransfer();
transfer.items.add(new File([bytes], name));
const target = document.querySelector(targetSelector);
for (const kind of ['dragenter', 'dragover', 'drop']) {
  target.dispatchEvent(new DragEvent(kind, { dataTransfer: transfer, bubbles: true, cancelable: true }));
}
"""


def check_drag_and_drop(checks, driver, demo, demo_outputs):
    """A container dropped on the page's heading, far from the file input,
    converts like one chosen."""
    before = len(page_containers(driver))
    driver.execute_script(DROP, "dropped.dat", base64.b64encode(demo).decode(), "h1")
    checks.expect("drag and drop: converted", wait_settled(driver, before + 1))
    shown = page_containers(driver)[-1]
    checks.expect("drag and drop: the container", shown["name"] == "dropped.dat" and shown["state"] == "done", shown["name"])
    names = [song["name"] for song in shown["songs"]]
    checks.expect("drag and drop: its songs", names == [f"dropped_{n}.mid" for n in range(1, 5)], str(names))
    for song, (_, data) in zip(shown["songs"], demo_outputs):
        checks.expect(f"drag and drop: {song['name']} bytes", blob_bytes(driver, song["href"]) == data, song["name"])
    overlay = driver.execute_script("return document.getElementById('drop-overlay').hidden")
    checks.expect("drag and drop: the overlay is gone after the drop", overlay is True, str(overlay))


def check_player(checks, driver):
    """Play starts the melody (demo song 1, 8 s): the button turns to Stop and
    the playhead moves right over the roll; Stop ends it and hides the playhead."""
    song = driver.find_element(By.CSS_SELECTOR, "[data-container='demo.dat'] [data-output-name='demo_1.mid']")
    button = song.find_element(By.CSS_SELECTOR, "button.play")
    playhead = song.find_element(By.CSS_SELECTOR, ".playhead")
    position = "return new DOMMatrix(getComputedStyle(arguments[0]).transform).m41"
    # Out from under the bar that stays at the top of the window.
    driver.execute_script("arguments[0].scrollIntoView({ block: 'center' })", button)
    button.click()
    time.sleep(0.4)
    first = driver.execute_script(position, playhead)
    time.sleep(0.5)
    second = driver.execute_script(position, playhead)
    checks.expect("player: playing", button.text == "Stop" and button.get_attribute("aria-pressed") == "true"
                  and playhead.is_displayed(), button.text)
    checks.expect("player: the playhead moves right", second > first > 0, f"{first} then {second}")
    button.click()
    checks.expect("player: stopped", button.text == "Play" and not playhead.is_displayed(), button.text)


def check_no_requests(checks, driver, page_url, label):
    """Nothing but the page itself, data: and blob: URLs was requested since
    it was opened."""
    resources = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    outside = [url for url in resources if not url.startswith(("data:", "blob:"))]
    checks.expect(f"{label}: resources are data: or blob: only", not outside, str(outside[:5]))
    # Every request the page made, from the DevTools log: the document's own
    # load, then whatever it asked for (the browser's start page, loading in
    # the same tab before it, is another document).
    requested = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            params = message["params"]
            if params.get("documentURL") == page_url:
                requested.append(params["request"]["url"])
        elif message["method"] == "Network.webSocketCreated":
            requested.append(message["params"]["url"])
    outside = [url for url in requested if url != page_url and not url.startswith(("data:", "blob:"))]
    checks.expect(f"{label}: no request leaves the page (DevTools log)",
                  requested[:1] == [page_url] and not outside and requested.count(page_url) == 1, str(requested[:5]))


# Said when the test reads the roll's pixels, not by the page.
READBACK_ADVICE = "willReadFrequently"


def check_console(checks, driver, label):
    errors = [entry for entry in driver.get_log("browser")
              if entry["level"] in ("SEVERE", "WARNING") and READBACK_ADVICE not in entry["message"]]
    checks.expect(f"{label}: no error in the console", not errors, str(errors[:3]))


def check_policy(checks, driver):
    """The Content-Security-Policy names no host: only keywords and schemes."""
    policy = driver.execute_script(
        "return document.querySelector('meta[http-equiv=Content-Security-Policy]').content")
    words = [word for part in policy.split(";") for word in part.split()[1:]]
    hosts = [word for word in words if not (word.startswith("'") or word in ("data:", "blob:"))]
    checks.expect("policy: names no host", not hosts and "default-src 'none'" in policy, policy)
    privacy = driver.find_element(By.ID, "privacy").text
    checks.expect("privacy: said in one line", "no request" in privacy and "\n" not in privacy, privacy)


# Elements reaching past the window's right edge (the rolls scroll, and are
# let be), and how far the page scrolls sideways.
OVERFLOW = """
const inner = document.documentElement.clientWidth;
const wide = [...document.querySelectorAll('body *')].filter(e => !e.closest('.roll-scroll'))
  .filter(e => e.getBoundingClientRect().right > inner + 1).map(e => e.tagName + '.' + e.className).slice(0, 5);
return { wide, scroll: document.documentElement.scrollWidth - inner };
"""


def check_widths(checks, driver, out):
    """Nothing wider than a phone's screen but the rolls, which scroll; a
    screenshot at each width."""
    for width, label in ((375, "phone"), (1200, "desktop")):
        driver.set_window_size(width, 900)
        time.sleep(0.5)
        overflow = driver.execute_script(OVERFLOW)["wide"]
        checks.expect(f"{label} width: nothing wider than the page", not overflow, str(overflow))
        smallest = driver.execute_script("""
          return Math.min(...[...document.querySelectorAll('p, dd, dt, li, a, button, label')]
            .filter(e => e.offsetParent).map(e => parseFloat(getComputedStyle(e).fontSize)));""")
        checks.expect(f"{label} width: text of 14 px or more", smallest >= 14, str(smallest))
        height = driver.execute_script("return document.documentElement.scrollHeight")
        driver.set_window_size(width, min(height + 200, 6000))
        time.sleep(0.3)
        driver.save_screenshot(os.path.join(out, f"page-{label}.png"))
    driver.set_window_size(1200, 900)


def check_accessibility(checks, driver):
    labelled = driver.execute_script("""
      const input = document.getElementById('containers');
      return input.labels.length > 0 && input.labels[0].textContent.trim().length > 0 && input.multiple && input.tabIndex >= 0;""")
    checks.expect("file input: labelled, several files, reachable by keyboard", labelled)
    canvases = driver.execute_script("""
      return [...document.querySelectorAll('canvas')].map(c => c.getAttribute('role') === 'img' && /^Piano roll: \\d+ notes? on channel/.test(c.getAttribute('aria-label') || ''));""")
    checks.expect("rolls: a text alternative each", canvases and all(canvases), str(canvases))
    buttons = driver.execute_script("return [...document.querySelectorAll('.play')].every(b => b.tagName === 'BUTTON')")
    checks.expect("play: buttons", buttons)


def check_served(checks, driver, page, demo_path, demo_outputs):
    """The same page from a static web server on this machine: the demo
    converts, and the page asks the server for nothing but itself."""
    asked = []
    folder = os.path.dirname(os.path.abspath(page))

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=folder, **kwargs)

        def log_message(self, *args):
            pass

        def do_GET(self):
            asked.append(self.path)
            super().do_GET()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/{os.path.basename(page)}"
        load(driver, url)
        drop(driver, [demo_path])
        checks.expect("served: the demo converts", wait_settled(driver, 1))
        song = page_containers(driver)[0]["songs"][0]
        checks.expect("served: song 1's bytes", blob_bytes(driver, song["href"]) == demo_outputs[0][1], song["name"])
        check_no_requests(checks, driver, url, "served")
        time.sleep(0.5)
        checks.expect("served: the server was asked for the page alone", asked == ["/" + os.path.basename(page)], str(asked))
        check_console(checks, driver, "served")
    finally:
        server.shutdown()
        server.server_close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--make-container", default=None, help="bench/make_container, for the 64 MiB container")
    args = parser.parse_args()
    checks = Checks()
    os.makedirs(args.out, exist_ok=True)
    page_url = "file://" + os.path.abspath(args.page)
    with open(args.demo, "rb") as f:
        demo = f.read()
    work = tempfile.mkdtemp(prefix="tolvarin-web-")
    driver = None
    try:
        driver = start_browser(os.path.join(work, "profile"), os.path.join(work, "downloads"))
        files = os.path.join(work, "files")

        # Every small container at once, then the page keeps working for more.
        cases = containers.small_cases(demo)
        paths = [write_case(files, case) for case in cases]
        expected = [cli_outputs(args.binary, path, work) for path in paths]
        load(driver, page_url)
        check_policy(checks, driver)
        drop(driver, paths)
        checks.expect("small containers: all settled", wait_settled(driver, len(cases)))
        check_containers(checks, driver, page_containers(driver), cases, expected)
        check_zip(checks, driver, cases, expected)
        again = [containers.Case("demo.dat", demo, folder="again")]
        drop(driver, [write_case(files, again[0])])
        checks.expect("after them: the demo again", wait_settled(driver, len(cases) + 1))
        check_containers(checks, driver, page_containers(driver)[-1:], again, expected[1:2])
        check_roll(checks, driver, expected[1], work)
        check_sound(checks, driver, expected[1], work)
        usage_checks.check_audio_download(checks, driver)
        usage_checks.check_soundfont(checks, driver, files)
        check_player(checks, driver)
        check_drag_and_drop(checks, driver, demo, expected[1])
        check_accessibility(checks, driver)
        usage_checks.check_keyboard_and_names(checks, driver)
        check_no_requests(checks, driver, page_url, "small containers")
        check_console(checks, driver, "small containers")

        # The demo alone, as a person sees it at a phone's and a desktop's width.
        load(driver, page_url)
        drop(driver, [paths[1]])
        wait_settled(driver, 1)
        check_widths(checks, driver, args.out)
        check_console(checks, driver, "demo alone")

        check_served(checks, driver, args.page, paths[1], expected[1])

        usage_checks.check_demo_button(checks, driver, page_url, expected[1])
        usage_checks.check_not_containers(checks, driver, page_url, files, demo)
        usage_checks.check_roll_bars(checks, driver, page_url, files)
        usage_checks.check_contrast(checks, driver, page_url, files, demo)
        usage_checks.check_phone_names(checks, driver, page_url, files, demo)
        check_console(checks, driver, "usage")

        # Large files: a 64 MiB container, random bytes, one past the page's limit.
        big_cases = [containers.Case("big.dat", b""), containers.Case("noise.bin", random.Random(5).randbytes(24 << 20)),
                     containers.Case("huge.dat", b"", message="256 MiB"), containers.Case("demo.dat", demo, folder="last")]
        big_paths = [write_case(files, case) for case in big_cases]
        make_container = args.make_container or os.path.join(os.path.dirname(args.binary), "bench", "make_container")
        subprocess.run([make_container, str(BIG_SIZE), big_paths[0]], check=True, capture_output=True)
        os.truncate(big_paths[2], 257 * 1024 * 1024)  # sparse: never read, the page stops at its size
        big_expected = [cli_outputs(args.binary, path, work) if not case.message else []
                        for case, path in zip(big_cases, big_paths)]
        load(driver, page_url)
        drop(driver, big_paths)
        checks.expect("large files: all settled", wait_settled(driver, len(big_cases), timeout=180))
        check_containers(checks, driver, page_containers(driver), big_cases, big_expected, hashed=True)
        big = driver.execute_script("return window.tolvarinPage.conversions[0]")
        print(f"64 MiB container converted in the page in {big['convertMs']:.0f} ms")
        # Its three songs' tracks are long: the partner worker translated the
        # second half of each, and the bytes above are still the command line's.
        checks.expect("large files: every long song split with the partner", big["joined"] == 3, str(big))
        # The partner lost while the container converts (as when its worker
        # fails), then a conversion with none: the same bytes both times.
        load(driver, page_url)
        drop(driver, [big_paths[0]])
        driver.execute_script("window.tolvarinPage.losePartner()")
        checks.expect("partner lost: settled", wait_settled(driver, 1, timeout=180))
        drop(driver, [big_paths[0]])
        checks.expect("partner lost: the next settled", wait_settled(driver, 2, timeout=180))
        check_containers(checks, driver, page_containers(driver), [big_cases[0]] * 2, [big_expected[0]] * 2, hashed=True)
        alone = driver.execute_script("return window.tolvarinPage.conversions[1].joined")
        checks.expect("partner lost: the next converted alone", alone == 0, str(alone))
        check_no_requests(checks, driver, page_url, "large files")
        check_console(checks, driver, "large files")

        usage_checks.check_cancel_and_clear(checks, driver, page_url, files, big_paths[0], demo)
        largest = os.path.join(files, "largest.dat")
        subprocess.run([make_container, str(LARGEST_SIZE), largest, "realistic1"], check=True, capture_output=True)
        usage_checks.check_thread_free(checks, driver, page_url, largest)
        os.remove(largest)
        check_console(checks, driver, "cancel, clear and the largest")
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    print(f"web: {checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


import usage_checks  # noqa: E402  (it uses the helpers above)

if __name__ == "__main__":
    sys.exit(main())
