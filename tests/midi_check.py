#!/usr/bin/env python3
"""Converts the demo container and hundreds of random well-formed containers,
then checks every output with two independent MIDI readers (mido and
midicsv): each must load, hold exactly the generator's events, and carry a
correct track length. Translating each output back to the compact form
(dropping the note-off and pitch-bend pads) must give the container's stream.

Exits 77 (skipped) when mido or midicsv is not installed."""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import zarq  # noqa: E402

SKIP = 77


def standard_event(event):
    """The bytes a standard reader re-encodes this event to."""
    body = zarq.event_bytes(event)
    if event[0] == "meta":
        # A standard track counts a meta event's bytes with a variable-length quantity.
        return body[:2] + zarq.vlq(len(event[2])) + body[3:]
    if event[0] in ("off", "bend"):
        return body + b"\x00"
    if event[0] == "sysex":
        return body[:1] + body[2:]  # F0, then the data; the length is not part of it
    return body


def mido_events(mido, path):
    track = mido.MidiFile(path).tracks
    assert len(track) == 1, f"{path}: {len(track)} tracks"
    events = []
    for message in track[0]:
        events.append((message.time, bytes(message.bytes())))
    return events


def midicsv_event_count(path):
    result = subprocess.run(["midicsv", path], capture_output=True, text=True, errors="replace")
    assert result.returncode == 0 and "rror" not in result.stderr, f"midicsv on {path}: {result.stderr}"
    rows = [line.split(",") for line in result.stdout.splitlines()]
    track_rows = [row for row in rows if row[0].strip() == "1" and row[2].strip() != "Start_track"]
    assert track_rows and track_rows[-1][2].strip() == "End_track", f"midicsv on {path}: no End_track"
    return len(track_rows)


def read_vlq(data, at):
    value = 0
    while True:
        byte = data[at]
        at += 1
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, at


def back_to_compact(track):
    """Walks standard track data (running status, VLQ lengths) and copies it
    through, leaving out the second data byte of note off and pitch bend."""
    out = bytearray()
    at = 0
    running = 0
    while at < len(track):
        start = at
        _, at = read_vlq(track, at)
        out += track[start:at]
        status = track[at]
        if status >= 0x80:
            at += 1
            out.append(status)
            if status < 0xF0:
                running = status
            elif status < 0xF8:
                running = 0
        else:
            status = running
        if status == 0xFF:
            meta_type = track[at]
            length, after = read_vlq(track, at + 1)
            # The compact form stores the length as one plain byte, except
            # for the tempo, whose length byte is copied as it is.
            assert length <= 0xFF, "meta length above 255"
            out += track[at:at + 1] + (track[at + 1:after] if meta_type == 0x51 else bytes([length]))
            out += track[after:after + length]
            at = after + length
            if meta_type == 0x2F:
                break
        elif status == 0xF0:
            length, after = read_vlq(track, at)
            out += track[at:after + length]
            at = after + length
        else:
            kind = status >> 4
            count = 1 if kind in (0xC, 0xD) else 2
            kept = 1 if kind in (0x8, 0xE) else count
            out += track[at:at + kept]
            assert kind not in (0x8, 0xE) or track[at + 1] == 0, "pad byte is not zero"
            at += count
    assert at == len(track), "bytes after the end of track"
    return bytes(out)


def check_container(binary, mido, workdir, name, image, songs, streams):
    path = os.path.join(workdir, name + ".dat")
    with open(path, "wb") as f:
        f.write(image)
    result = subprocess.run([binary, path], capture_output=True)
    assert result.returncode == 0, f"{name}: exit {result.returncode}: {result.stdout!r}"
    for number, song in enumerate(songs, start=1):
        out_path = os.path.join(workdir, f"{name}_{number}.mid")
        with open(out_path, "rb") as f:
            data = f.read()
        (length,) = struct.unpack(">I", data[18:22])
        assert length == len(data) - 22, f"{out_path}: length field {length}, track {len(data) - 22}"
        expected = [(delta, standard_event(event)) for delta, event in song]
        got = mido_events(mido, out_path)
        assert got == expected, f"{out_path}: mido events differ\n got {got[:8]}\nwant {expected[:8]}"
        count = midicsv_event_count(out_path)
        assert count == len(song), f"{out_path}: midicsv saw {count} events, expected {len(song)}"
        assert back_to_compact(data[22:]) == streams[number - 1], f"{out_path}: back-translation differs"
    assert not os.path.exists(os.path.join(workdir, f"{name}_{len(songs) + 1}.mid"))


TEXT_LETTERS = bytes(c for c in range(0x20, 0x7F) if c not in b'"\\')


def text_of(length, seed):
    return [TEXT_LETTERS[(seed + 7 * i) % len(TEXT_LETTERS)] for i in range(length)]


def long_text_songs():
    """For each text type and the sequencer-specific type, a song holding an
    event of every length 0-255, each followed by a note: a length of 128 or
    more becomes a two-byte quantity in the output, and a reader that took it
    for one byte would swallow the notes behind it."""
    songs = []
    for meta_type in (0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x7F):
        song = []
        for length in range(256):
            song.append((0, ("meta", meta_type, text_of(length, length + meta_type))))
            song.append((length % 5, ("on", meta_type % 16, 60 + length % 12, 100)))
            song.append((10, ("off", meta_type % 16, 60 + length % 12)))
        song.append((0, ("end",)))
        songs.append(song)
    return songs


def midicsv_rows(path):
    result = subprocess.run(["midicsv", path], capture_output=True, errors="replace", text=True)
    assert result.returncode == 0 and "rror" not in result.stderr, f"midicsv on {path}: {result.stderr}"
    return [[cell.strip() for cell in line.split(",", 3)] for line in result.stdout.splitlines()]


def check_texts_in_midicsv(path, song):
    """midicsv's text rows hold the texts exactly, and a note follows each."""
    rows = [row for row in midicsv_rows(path) if row[0] == "1" and row[2] not in ("Start_track", "End_track")]
    assert len(rows) == len(song) - 1, f"midicsv on {path}: {len(rows)} events, expected {len(song) - 1}"
    for row, (_, event) in zip(rows, song):
        if event[0] == "meta" and event[1] != 0x7F:
            assert row[3] == '"' + bytes(event[2]).decode("ascii") + '"', f"midicsv on {path}: text {row[3][:40]}"
        elif event[0] == "on":
            assert row[2] == "Note_on_c" and row[3] == f"{event[1]}, {event[2]}, {event[3]}", f"{path}: {row}"


def check_long_meta_events(binary, mido, workdir):
    songs = long_text_songs()
    for first in range(0, len(songs), 4):
        group = songs[first:first + 4]
        streams = [zarq.compact_stream(song) for song in group]
        name = f"long_text{first // 4}"
        check_container(binary, mido, workdir, name, zarq.build_container(streams), group, streams)
        for number, song in enumerate(group, start=1):
            check_texts_in_midicsv(os.path.join(workdir, f"{name}_{number}.mid"), song)
    # Types whose content the readers decode as numbers or refuse at this
    # length: midicsv must still find every event behind them.
    song = []
    for meta_type in (0x00, 0x20, 0x21, 0x54, 0x58, 0x59):
        song.append((0, ("meta", meta_type, text_of(200, meta_type))))
        song.append((3, ("on", 2, 60, 100)))
        song.append((10, ("off", 2, 60)))
    song.append((0, ("end",)))
    path = os.path.join(workdir, "long_meta.dat")
    with open(path, "wb") as f:
        f.write(zarq.build_container([zarq.compact_stream(song)]))
    result = subprocess.run([binary, path], capture_output=True)
    assert result.returncode == 0, f"long_meta: exit {result.returncode}"
    rows = [row for row in midicsv_rows(os.path.join(workdir, "long_meta_1.mid")) if row[0] == "1"]
    kinds = [row[2] for row in rows]
    assert kinds[0] == "Start_track" and kinds[-1] == "End_track", f"long_meta: {kinds}"
    assert len(rows) == len(song) + 1, f"long_meta: midicsv saw {len(rows) - 2} events, expected {len(song) - 1}"
    for index in range(6):
        on, off = rows[2 + 3 * index], rows[3 + 3 * index]
        assert on[2] == "Note_on_c" and on[3] == "2, 60, 100", f"long_meta: {on}"
        assert off[2] == "Note_off_c" and off[3] == "2, 60, 0", f"long_meta: {off}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--containers", type=int, default=500)
    args = parser.parse_args()
    try:
        import mido
    except ImportError:
        print("SKIPPED: python3-mido is not installed")
        return SKIP
    if shutil.which("midicsv") is None:
        print("SKIPPED: midicsv is not installed")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="tolvarin-midi-") as workdir:
        songs = zarq.demo_songs()
        streams = [zarq.compact_stream(song) for song in songs]
        with open(args.demo, "rb") as f:
            demo = f.read()
        assert demo == zarq.build_container(streams, order=[2, 1, 3]), "examples/demo.dat is stale"
        check_container(args.binary, mido, workdir, "demo", demo, songs, streams)
        check_long_meta_events(args.binary, mido, workdir)
        events = 0
        for seed in range(args.containers):
            image, songs, streams = zarq.random_container(seed)
            check_container(args.binary, mido, workdir, f"random{seed}", image, songs, streams)
            events += sum(len(song) for song in songs)
    print(f"{args.containers + 1} containers, {events} random events: every output matches")
    return 0


if __name__ == "__main__":
    sys.exit(main())
