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
            out += track[at:after + length]
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
        events = 0
        for seed in range(args.containers):
            image, songs, streams = zarq.random_container(seed)
            check_container(args.binary, mido, workdir, f"random{seed}", image, songs, streams)
            events += sum(len(song) for song in songs)
    print(f"{args.containers + 1} containers, {events} random events: every output matches")
    return 0


if __name__ == "__main__":
    sys.exit(main())
