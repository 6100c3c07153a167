"""The page as people use it, one table per concern: files that are no
container; Cancel and Clear during a conversion; the page's thread kept free
while a large container converts; awkward names on a phone; focus after
keyboard actions and names that tell controls apart; the roll's labels and
bar lines; contrast in both themes, computed from the page's styles; the
WAV download; a SoundFont written here changing what Play sounds."""
import itertools
import math
import os
import random
import time

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

import containers
import zarq
from web_test import drop, wait_settled, wait_zip, load, blob_bytes, write_case, OVERFLOW

NOT_CONTAINERS = [
    ("picture.png", containers.png_picture()),
    ("notes.txt", b"Shopping: bread, milk, three apples.\nRemember the keys.\n" * 20),
    ("noise.bin", random.Random(7).randbytes(64 * 1024)),
    ("zeros.bin", bytes(4096)),
]
# Words of the MIDI reader and the converter's internals, which a person
# handed a file that is no container should not meet first.
TECHNICAL = ["Bad MIDI", "Expected", "MIDI reader", "delta time", "end-of-track", "System statuses", "129:"]


def set_theme(driver, dark):
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
        "features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})


def check_not_containers(checks, driver, page_url, files, demo):
    """Each file that is no container says so once, plainly, with what
    shows (not folded away) free of the reader's and converter's words; its
    outputs wait behind "Download anyway". The demo, a container, gets no
    such note."""
    cases = NOT_CONTAINERS + [("control.dat", demo)]
    paths = [write_case(files, containers.Case(name, data, folder="plain")) for name, data in cases]
    load(driver, page_url)
    drop(driver, paths)
    checks.expect("no container: all settled", wait_settled(driver, len(cases)))
    shown = driver.execute_script("""
      return [...document.querySelectorAll('[data-container]')].map(c => ({
        notes: [...c.querySelectorAll('[data-not-container]')].map(n => n.textContent),
        visible: c.innerText,
        anyway: !!c.querySelector('details.anyway:not([open]) [data-output-name] a[download]'),
        refusals: [...c.querySelectorAll('[data-preview=refused] > p')].map(p => p.textContent)}))""")
    for (name, _), page in zip(cases, shown):
        if name == "control.dat":
            checks.expect("no container: a container gets no such note", not page["notes"], str(page["notes"]))
            continue
        checks.expect(f"no container {name}: said once", len(page["notes"]) == 1 and
                      "does not look like a Zarq container" in page["notes"][0], str(page["notes"]))
        checks.expect(f"{name}: said first", page["visible"].find("does not look like") < page["visible"].find("Download anyway"),
                      page["visible"][:200])
        technical = [word for word in TECHNICAL if word in page["visible"]]
        checks.expect(f"{name}: no technical words in sight", not technical, str(technical))
        odd = [c for c in page["visible"] if ord(c) < 0x20 and c not in "\n\t" or c in "\ufffd\u00b7"]
        checks.expect(f"{name}: no raw bytes in sight", not odd, repr(odd[:5]))
        checks.expect(f"{name}: outputs behind 'Download anyway'", page["anyway"])
        worded = [text for text in page["refusals"] if "Bad MIDI" in text or "Expected" in text]
        checks.expect(f"{name}: refusals in the page's words", not worded, str(worded))


def wait_progress(driver, name, timeout=60):
    """Waits until the container shows bytes done of its tracks: [done, total]."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        seen = driver.execute_script(
            "const p = document.querySelector(`[data-container='${arguments[0]}'] [data-progress]`);"
            "return p ? [Number(p.dataset.done || 0), Number(p.dataset.total || 0)] : null", name)
        if seen and 0 < seen[0] < seen[1]:
            return seen
        time.sleep(0.02)
    return None


def check_cancel_and_clear(checks, driver, page_url, files, big_path, demo):
    """Cancel (from the keyboard) a large container while it converts, then
    Clear (from the keyboard) during another: nothing cancelled converts or
    is announced afterwards, and every URL the page made, the zip's among
    them, no longer fetches."""
    small = [write_case(files, containers.Case(f"small{n}.dat", demo, folder="cancel")) for n in (1, 2)]
    load(driver, page_url)
    drop(driver, [small[0]])
    wait_settled(driver, 1)
    driver.find_element(By.ID, "zip").click()
    wait_zip(driver)
    before = driver.execute_script("return window.tolvarinPage.urls()")
    zip_url = driver.execute_script("return document.getElementById('zip-link').href")
    checks.expect("cancel: the zip's URL is among the page's", zip_url in before and len(before) == 5, str(before))

    big = os.path.basename(big_path)
    for action in ("cancel", "clear"):
        count = driver.execute_script("return window.tolvarinPage.conversions.length")
        drop(driver, [big_path, small[1]])
        seen = wait_progress(driver, big)
        checks.expect(f"{action}: progress shown while converting", seen is not None, str(seen))
        if action == "cancel":
            driver.find_element(By.CSS_SELECTOR, f"[data-container='{big}'] button.cancel").send_keys(Keys.ENTER)
            checks.expect("cancel: the rest converts", wait_settled(driver, 2))
            names = driver.execute_script("return [...document.querySelectorAll('[data-container]')].map(e => e.dataset.container)")
            checks.expect("cancel: the container is gone", names == ["small1.dat", "small2.dat"], str(names))
            focused = driver.execute_script("return document.activeElement.closest('[data-container]')?.dataset.container")
            checks.expect("cancel: focus on the next container", focused == "small2.dat", str(focused))
            done = driver.execute_script("return window.tolvarinPage.conversions.map(c => c.name)")[count:]
            checks.expect("cancel: the cancelled container never finished", done == ["small2.dat"], str(done))
        else:
            driver.find_element(By.ID, "clear").send_keys(Keys.ENTER)
            said = driver.execute_script("return document.getElementById('status').textContent")
            time.sleep(4)
            after = driver.execute_script("""return {
              status: document.getElementById('status').textContent, shown: document.querySelectorAll('[data-container]').length,
              conversions: window.tolvarinPage.conversions.length, urls: window.tolvarinPage.urls(),
              focus: document.activeElement.id}""")
            checks.expect("clear: nothing announced afterwards", after["status"] == said == "The list is empty.", after["status"])
            checks.expect("clear: nothing converted afterwards", after["conversions"] == count and after["shown"] == 0, str(after))
            checks.expect("clear: no URL kept", after["urls"] == [], str(after["urls"]))
            checks.expect("clear: focus on the picker", after["focus"] == "containers", after["focus"])
            alive = [url for url in before if blob_bytes(driver, url) is not None]
            checks.expect("clear: old URLs, the zip's among them, fetch nothing", not alive, str(alive))
            # The browser logs each refused fetch: the test's doing, not the page's.
            logged = [entry for entry in driver.get_log("browser") if "blob" not in entry["message"]]
            checks.expect("clear: nothing else in the console", not logged, str(logged[:2]))


LONG_TASKS = """
window.longTasks = [];
new PerformanceObserver(list => { for (const e of list.getEntries()) window.longTasks.push(e.duration); })
  .observe({ type: 'longtask' });
"""


def check_thread_free(checks, driver, page_url, big_path):
    """No task of the page's thread longer than 100 ms (the Long Tasks API)
    while a 250 MiB container converts and shows."""
    load(driver, page_url)
    time.sleep(0.5)
    driver.execute_script(LONG_TASKS)
    drop(driver, [big_path])
    settled = wait_settled(driver, 1, timeout=300)
    time.sleep(0.5)
    state = driver.execute_script("return document.querySelector('[data-container]').dataset.state")
    checks.expect("250 MiB: converted", settled and state == "done", state)
    tasks = driver.execute_script("return window.longTasks")
    checks.expect("250 MiB: no task over 100 ms on the page's thread", tasks is not None and max(tasks or [0]) <= 100,
                  str(tasks))


AWKWARD_NAMES = ["x" * 251 + ".dat", "Lieder für Åsa — ünïcödé 歌 🎵.dat", "two..dots.dat",
                 "a name with spaces and a fairly long tail of words.dat"]

def check_phone_names(checks, driver, page_url, files, demo):
    """At 390 px, awkward names in the list push nothing past the screen."""
    paths = [write_case(files, containers.Case(name, demo, folder="names")) for name in AWKWARD_NAMES]
    load(driver, page_url)
    driver.set_window_size(390, 844)
    drop(driver, paths)
    checks.expect("names: all settled", wait_settled(driver, len(paths)))
    driver.execute_script("document.querySelectorAll('details').forEach(d => d.open = true)")
    time.sleep(0.3)
    found = driver.execute_script(OVERFLOW)
    checks.expect("names at 390 px: no sideways scroll", found["scroll"] <= 0 and not found["wide"], str(found))
    driver.set_window_size(1200, 900)


def check_keyboard_and_names(checks, driver):
    """On the page of the small containers: the zip made from the keyboard
    keeps focus on its button; Play buttons and downloads have names of
    their own; a roll is a tab stop exactly when it scrolls."""
    driver.execute_script("document.querySelectorAll('details.song-more').forEach(d => d.open = true)")
    time.sleep(0.3)
    driver.find_element(By.ID, "zip").send_keys(Keys.ENTER)
    wait_zip(driver)
    focused = driver.execute_script("return document.activeElement.id")
    checks.expect("keyboard: focus stays on the zip button", focused == "zip", focused)
    names = driver.execute_script("""
      const name = e => (e.getAttribute('aria-label') || e.textContent).trim();
      return { play: [...document.querySelectorAll('button.play')].map(name),
               download: [...document.querySelectorAll('[data-output-name] a[download]')].map(name) };""")
    for kind, labels in names.items():
        repeated = sorted({label for label in labels if labels.count(label) > 1})
        checks.expect(f"names: every {kind} control named apart ({len(labels)})", labels and not repeated, str(repeated[:3]))
    rolls = driver.execute_script("""
      return [...document.querySelectorAll('.roll-scroll')].map(s => [s.scrollWidth > s.clientWidth + 1, s.tabIndex >= 0,
        s.hasAttribute('aria-label') === s.hasAttribute('role')]);""")
    wrong = [roll for roll in rolls if roll[0] != roll[1] or not roll[2]]
    checks.expect(f"rolls: a tab stop exactly when they scroll ({sum(r[0] for r in rolls)} of {len(rolls)} do)",
                  rolls and any(r[0] for r in rolls) and not wrong, str(wrong[:3]))
    # A long roll scrolled by hand while its song plays: it stays where it
    # was put, and the note names stay in view.
    song = driver.find_element(By.CSS_SELECTOR, "[data-output-name='tempo.v2_2.mid']")
    where = ("const s = arguments[0].querySelector('.roll-scroll'), n = arguments[0].querySelector('.roll-names span');"
             "return [s.scrollLeft, n.getBoundingClientRect().left - s.getBoundingClientRect().left];")
    driver.execute_script("arguments[0].scrollIntoView({ block: 'center' })", song)
    song.find_element(By.CSS_SELECTOR, "button.play").click()
    time.sleep(0.3)
    driver.execute_script("arguments[0].querySelector('.roll-scroll').scrollLeft = 3000", song)
    time.sleep(0.8)
    scrolled, names_at = driver.execute_script(where, song)
    song.find_element(By.CSS_SELECTOR, "button.play").click()
    checks.expect("roll: scrolled by hand while playing, it stays", scrolled >= 2999, str(scrolled))
    checks.expect("roll: its note names stay in view", 0 <= names_at < 10, str(names_at))


def check_demo_button(checks, driver, page_url, demo_outputs):
    """"Try the demo" converts the demo the page carries: the command line's
    outputs for examples/demo.dat, byte for byte."""
    load(driver, page_url)
    driver.find_element(By.ID, "demo").click()
    checks.expect("demo button: converted", wait_settled(driver, 1))
    links = driver.execute_script(
        "return [...document.querySelectorAll('[data-container=\"demo.dat\"] [data-output-name] a[download]')].map(a => a.href)")
    got = [blob_bytes(driver, href) for href in links]
    checks.expect("demo button: the demo's four songs", got == [data for _, data in demo_outputs], str(len(got)))


def three_four_container():
    """Song 1 in 3/4 with one low note a beat for 12 beats; song 2 the same
    with no time signature (4/4)."""
    def song(signature):
        events = [(0, ("meta", 0x58, [3, 2, 24, 8]))] if signature else []
        for _ in range(12):
            events += [(0, ("on", 0, 40, 90)), (96, ("off", 0, 40))]
        return events + [(0, ("end",))]
    return zarq.build_container([zarq.compact_stream(song(True)), zarq.compact_stream(song(False))])


ROLL_PIXELS = """
const [song, beats] = arguments;
const canvas = song.querySelector('canvas.roll-canvas');
const d = canvas.dataset, g = canvas.getContext('2d'), s = Number(d.scale);
const y = 0.5 * Number(d.rowHeight) + Number(d.top);  // the top row, where no note is
const style = getComputedStyle(canvas);
const frame = canvas.getBoundingClientRect();
return {
  pixels: beats.map(b => [...g.getImageData(Math.round((Number(d.left) + b * Number(d.beatWidth)) * s), Math.round(y * s), 1, 1).data].slice(0, 3)),
  bar: style.getPropertyValue('--roll-bar').trim(), beat: style.getPropertyValue('--roll-beat').trim(),
  labels: [...song.querySelectorAll('.roll-names span')].map(e => { const r = e.getBoundingClientRect(); return [r.top - frame.top, r.bottom - frame.top]; }),
  height: frame.height };
"""


def check_roll_bars(checks, driver, page_url, files):
    """Bar lines every three beats in 3/4 and every four without a time
    signature, in the top row (no note there); the note names inside the
    canvas."""
    path = write_case(files, containers.Case("waltz.dat", three_four_container(), folder="roll"))
    load(driver, page_url)
    drop(driver, [path])
    wait_settled(driver, 1)
    driver.execute_script("document.querySelectorAll('details').forEach(d => d.open = true)")
    time.sleep(0.2)
    for name, bars in (("waltz_1.mid", {0, 3, 6, 9, 12}), ("waltz_2.mid", {0, 4, 8, 12})):
        song = driver.find_element(By.CSS_SELECTOR, f"[data-output-name='{name}']")
        found = driver.execute_script(ROLL_PIXELS, song, list(range(1, 12)))
        bar, beat = [[int(text[i:i + 2], 16) for i in (1, 3, 5)] for text in (found["bar"], found["beat"])]
        kinds = {b for b, px in zip(range(1, 12), found["pixels"]) if max(abs(p - q) for p, q in zip(px, bar)) <= 6}
        plain = {b for b, px in zip(range(1, 12), found["pixels"]) if max(abs(p - q) for p, q in zip(px, beat)) <= 6}
        checks.expect(f"roll {name}: bar lines at {sorted(bars - {0, 12})}", kinds == bars - {0, 12} and
                      plain == set(range(1, 12)) - bars, f"bars {sorted(kinds)}, beats {sorted(plain)}")
        outside = [label for label in found["labels"] if label[0] < -0.5 or label[1] > found["height"] + 0.5]
        checks.expect(f"roll {name}: note names inside the canvas", found["labels"] and not outside, str(found["labels"]))


def luminance(rgb):
    r, g, b = (c / 255 / 12.92 if c / 255 <= 0.04045 else ((c / 255 + 0.055) / 1.055) ** 2.4 for c in rgb[:3])
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


# Every element with text of its own: its colour and the colour of the first
# ground behind it that is not transparent. Colours come back as the
# browser computes them ("rgb(r, g, b)").
COLOUR_PAIRS = """
const ground = e => { for (; e; e = e.parentElement) { const c = getComputedStyle(e).backgroundColor;
  if (c !== 'rgba(0, 0, 0, 0)' && c !== 'transparent') return c; } return getComputedStyle(document.documentElement).backgroundColor; };
const pairs = [];
for (const e of document.querySelectorAll('body *')) {
  if (!e.getClientRects().length || e.closest('[hidden]')) continue;
  if (![...e.childNodes].some(n => n.nodeType === 3 && n.textContent.trim())) continue;
  pairs.push([e.tagName + '.' + e.className + ' ' + e.textContent.trim().slice(0, 20), getComputedStyle(e).color, ground(e)]);
}
const root = getComputedStyle(document.documentElement);
const grounds = ['.bar', '.container', '.dropzone', 'body'].map(s => getComputedStyle(document.querySelector(s)).backgroundColor);
const probe = document.createElement('div');
document.body.append(probe);
probe.style.color = root.getPropertyValue('--focus');
const focus = getComputedStyle(probe).color;
probe.remove();
return { pairs, focus, grounds };
"""


def rgb_of(text):
    return [float(part) for part in text[text.index("(") + 1:text.index(")")].replace(",", " ").split()[:3]]


def check_contrast(checks, driver, page_url, files, demo):
    """In both themes, on a page with the demo, a file that is no container
    and a message: every text at least 4.5:1 on its ground, the focus ring at
    least 3:1 on every ground it can sit on, each channel's colour at least
    3:1 on the roll and far apart from every other channel's."""
    paths = [write_case(files, containers.Case(name, data, folder="colours"))
             for name, data in (("demo.dat", demo), ("picture.png", containers.png_picture()))]
    load(driver, page_url)
    drop(driver, paths)
    wait_settled(driver, len(paths))
    driver.execute_script("document.querySelectorAll('details').forEach(d => d.open = true)")
    for dark in (False, True):
        theme = "dark" if dark else "light"
        set_theme(driver, dark)
        time.sleep(0.3)
        found = driver.execute_script(COLOUR_PAIRS)
        low = [(name, round(contrast(rgb_of(ink), rgb_of(ground)), 2)) for name, ink, ground in found["pairs"]
               if contrast(rgb_of(ink), rgb_of(ground)) < 4.5]
        checks.expect(f"{theme}: every text 4.5:1 or more ({len(found['pairs'])} texts)", found["pairs"] and not low, str(low[:4]))
        ring = [round(contrast(rgb_of(found["focus"]), rgb_of(ground)), 2) for ground in found["grounds"]]
        checks.expect(f"{theme}: focus ring 3:1 or more on every ground", min(ring) >= 3, str(ring))
    set_theme(driver, False)
    colours = driver.execute_script(
        "return window.tolvarinPage.channelColours.map(c => { const p = document.createElement('i'); p.style.color = c;"
        " document.body.append(p); const v = getComputedStyle(p).color; p.remove(); return v; })")
    ground = rgb_of(driver.execute_script("return getComputedStyle(document.querySelector('.roll-scroll')).backgroundColor"))
    weak = [index + 1 for index, c in enumerate(colours) if contrast(rgb_of(c), ground) < 3]
    checks.expect("all 16 channel colours 3:1 or more on the roll", len(colours) == 16 and not weak, str(weak))
    close = [(a + 1, b + 1) for a, b in itertools.combinations(range(len(colours)), 2)
             if math.dist(rgb_of(colours[a]), rgb_of(colours[b])) < 50]
    checks.expect("channel colours far apart (50 or more in RGB)", not close, str(close))


def check_audio_download(checks, driver, name="demo_4.mid"):
    """A song's WAV download, read with Python's own wave module, holds the
    sound the player's synthesiser renders offline: the same loudness in
    every 10 ms, within 16-bit rounding, and sound, not silence."""
    import io
    import wave
    song = driver.find_element(By.CSS_SELECTOR, f"[data-container='demo.dat'] [data-output-name='{name}']")
    driver.execute_script("arguments[0].querySelector('details.song-more').open = true;"
                          "arguments[0].querySelector('button.wav').scrollIntoView({ block: 'center' })", song)
    song.find_element(By.CSS_SELECTOR, "button.wav").click()
    deadline = time.time() + 30
    link = song.find_element(By.CSS_SELECTOR, "a.wav-link")
    while time.time() < deadline and not (link.get_attribute("href") or "").startswith("blob:"):
        time.sleep(0.1)
    data = blob_bytes(driver, link.get_attribute("href"))
    checks.expect("audio: a WAV named after the song", data is not None and link.get_attribute("download") == name[:-4] + ".wav",
                  str(link.get_attribute("download")))
    if data is None:
        return
    with wave.open(io.BytesIO(data)) as wav:
        rate, frames = wav.getframerate(), wav.readframes(wav.getnframes())
        shape = (wav.getnchannels(), wav.getsampwidth())
    samples = [int.from_bytes(frames[i:i + 2], "little", signed=True) / 32767 for i in range(0, len(frames), 2)]
    span = rate // 100
    heard = [math.sqrt(sum(x * x for x in samples[i:i + span]) / span) for i in range(0, len(samples) - span + 1, span)]
    rendered = driver.execute_async_script(
        "const [song, seconds, rate, done] = arguments; window.tolvarinPage.renderSong(song, seconds, rate).then(done, e => done(String(e)));",
        song, len(samples) / rate, rate)
    checks.expect("audio: one channel of 16-bit samples", shape == (1, 2), str(shape))
    apart = max((abs(a - b) for a, b in zip(heard, rendered)), default=1)
    checks.expect(f"audio: {len(heard)} windows as loud as the offline render", isinstance(rendered, list) and
                  abs(len(heard) - len(rendered)) <= 1 and apart < 1e-3 and max(heard) > 0.01, f"{apart} {max(heard)}")


def sine_soundfont(frequency=440, rate=44000):
    """A SoundFont 2 file written here by the format's layout: one preset
    (bank 0, program 0) of one instrument of one looped sample, a sine of
    `frequency` Hz whose root key is declared as 60. A synthesiser playing
    middle C (60) from it sounds `frequency` Hz, not the 261.6 Hz of C4."""
    import struct

    def chunk(tag, body):
        return tag + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")

    def riff_list(kind, *chunks):
        return chunk(b"LIST", kind + b"".join(chunks))

    period = rate // frequency  # 100 frames: a whole number, so the loop is seamless
    count = period * 20
    wave = [round(20000 * math.sin(2 * math.pi * i / period)) for i in range(count)]
    smpl = struct.pack(f"<{count + 46}h", *(wave + [0] * 46))  # 46 zero frames follow every sample
    name = lambda text: text.encode().ljust(20, b"\0")
    phdr = name("Sine") + struct.pack("<HHHIII", 0, 0, 0, 0, 0, 0) + name("EOP") + struct.pack("<HHHIII", 0, 0, 1, 0, 0, 0)
    pbag = struct.pack("<HHHH", 0, 0, 1, 0)
    pgen = struct.pack("<HhHh", 41, 0, 0, 0)                  # instrument 0; the closing record
    inst = name("Sine") + struct.pack("<H", 0) + name("EOI") + struct.pack("<H", 1)
    ibag = struct.pack("<HHHH", 0, 0, 2, 0)
    igen = struct.pack("<HhHhHh", 54, 1, 53, 0, 0, 0)         # loop on; sample 0 (last, as the format asks)
    modulators = bytes(10)                                    # only the closing record
    shdr = (name("sine") + struct.pack("<IIIIIBbHH", 0, count, period * 10, period * 19, rate, 60, 0, 0, 1) +
            name("EOS") + bytes(26))
    body = (b"sfbk" +
            riff_list(b"INFO", chunk(b"ifil", struct.pack("<HH", 2, 1)), chunk(b"isng", b"EMU8000\0"),
                      chunk(b"INAM", b"Sine test\0")) +
            riff_list(b"sdta", chunk(b"smpl", smpl)) +
            riff_list(b"pdta", chunk(b"phdr", phdr), chunk(b"pbag", pbag), chunk(b"pmod", modulators),
                      chunk(b"pgen", pgen), chunk(b"inst", inst), chunk(b"ibag", ibag), chunk(b"imod", modulators),
                      chunk(b"igen", igen), chunk(b"shdr", shdr)))
    return chunk(b"RIFF", body)


def dominant_frequency(samples, rate):
    """From upward zero crossings, between the first and the last."""
    ups = [i for i in range(1, len(samples)) if samples[i - 1] < 0 <= samples[i]]
    return (len(ups) - 1) * rate / (ups[-1] - ups[0]) if len(ups) > 2 else 0


def check_soundfont(checks, driver, files, name="demo_1.mid"):
    """Demo song 1 starts on middle C. Rendered as Play sounds it, with the
    oscillators it is at C4's 261.6 Hz; with the test's SoundFont, whose sine
    is declared at middle C but sounds 440 Hz, at 440 Hz, and again 261.6 Hz
    once the page is back on its oscillators. A file that is no SoundFont is
    said to be none."""
    rate = 24000
    song = driver.find_element(By.CSS_SELECTOR, f"[data-container='demo.dat'] [data-output-name='{name}']")
    render = ("const [song, rate, done] = arguments;"
              "window.tolvarinPage.renderSamples(song, 0.4, rate).then(done, e => done(String(e)));")
    font = write_case(files, containers.Case("sine.sf2", sine_soundfont(), folder="font"))
    bad = write_case(files, containers.Case("broken.sf2", b"RIFF\x04\x00\x00\x00sfbk", folder="font"))
    before = len(driver.find_elements(By.CSS_SELECTOR, "[data-container]"))
    for label, path, wanted in (("oscillators", None, 261.6), ("SoundFont", font, 440.0), ("no SoundFont", bad, 261.6),
                                ("back to the oscillators", "off", 261.6)):
        if path == "off":
            driver.execute_script("document.getElementById('soundfont-off').click()")
        elif path:
            driver.find_element(By.ID, "soundfont").send_keys(path)
            time.sleep(0.5)
        said = driver.execute_script("return document.getElementById('instruments').textContent")
        samples = driver.execute_async_script(render, song, rate)
        heard = dominant_frequency(samples[int(0.05 * rate):], rate) if isinstance(samples, list) else 0
        checks.expect(f"instruments, {label}: middle C sounds {wanted} Hz", abs(heard - wanted) < 3, f"{heard:.1f} Hz; {said}")
        if path == bad:
            checks.expect("instruments: a broken .sf2 is said to be none", "could not be read as a SoundFont" in said, said)
    after = len(driver.find_elements(By.CSS_SELECTOR, "[data-container]"))
    checks.expect("instruments: an .sf2 is no container to convert", after == before, f"{before} then {after}")
