#!/usr/bin/env python3
"""Builds containers from event lists: the demo sample and random songs.

A song is a list of (delta, event) pairs. Events are tuples:
  ("on", ch, note, vel)  ("off", ch, note)  ("poly", ch, note, value)
  ("cc", ch, controller, value)  ("program", ch, program)  ("pressure", ch, value)
  ("bend", ch, lsb)  ("meta", type, data)  ("tempo", microseconds_per_quarter)
  ("sysex", data)  ("end",)
Note off and pitch bend carry a single data byte in the container; the
standard file they become has a second data byte of zero.

Usage:
  zarq.py demo OUT.dat
  zarq.py random SEED OUT.dat EXPECTED.json
"""
import json
import random
import struct
import sys

LENGTH_PREFIXED = set(range(0x00, 0x08)) | {0x20, 0x21, 0x54, 0x58, 0x59, 0x7F}


def header_block(division=96, stored_length=0):
    """MThd chunk (format 0, one track) and the MTrk tag with a length field."""
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, division) + b"MTrk" + struct.pack(">I", stored_length)


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def event_bytes(event):
    """Status byte and the bytes that follow it, as stored in the container."""
    kind = event[0]
    if kind == "on":
        return bytes([0x90 | event[1], event[2], event[3]])
    if kind == "off":
        return bytes([0x80 | event[1], event[2]])
    if kind == "poly":
        return bytes([0xA0 | event[1], event[2], event[3]])
    if kind == "cc":
        return bytes([0xB0 | event[1], event[2], event[3]])
    if kind == "program":
        return bytes([0xC0 | event[1], event[2]])
    if kind == "pressure":
        return bytes([0xD0 | event[1], event[2]])
    if kind == "bend":
        return bytes([0xE0 | event[1], event[2]])
    if kind == "tempo":
        return bytes([0xFF, 0x51, 0x03]) + event[1].to_bytes(3, "big")
    if kind == "meta":
        meta_type, data = event[1], bytes(event[2])
        # The container stores the length as one plain byte (0-255).
        assert meta_type in LENGTH_PREFIXED and len(data) <= 0xFF
        return bytes([0xFF, meta_type, len(data)]) + data
    if kind == "sysex":
        # In the container F0 is followed by a type byte, a length byte L and L
        # bytes. A standard reader takes the type byte as the sysex length, so
        # the data must start with its own remaining length, and the whole
        # must be short enough (1 to 7 bytes) for the type to be length-prefixed.
        data = bytes(event[1])
        assert 1 <= len(data) <= 7 and data[0] == len(data) - 1
        return bytes([0xF0, len(data)]) + data
    if kind == "end":
        return bytes([0xFF, 0x2F, 0x00])
    raise ValueError(kind)


def compact_stream(song, running_status=True):
    """The compact event stream of a song, using running status wherever the
    converter's rules allow it (channel statuses repeat; F0-F7 cancel it)."""
    out = bytearray()
    remembered = 0
    for index, (delta, event) in enumerate(song):
        assert index > 0 or delta < 0x80, "a first delta time must be one byte"
        out += vlq(delta)
        body = event_bytes(event)
        status = body[0]
        if running_status and status < 0xF0 and status == remembered:
            body = body[1:]
        out += body
        if status < 0xF0:
            remembered = status
        elif status < 0xF8:
            remembered = 0
    return bytes(out)


def build_container(streams, order=None, division=96):
    """A container with the given compact streams as sequences 1..n. Sequence 1
    sits at offset 16; `order` lists the file order of sequences 2..n."""
    assert 1 <= len(streams) <= 4
    order = list(order) if order is not None else list(range(1, len(streams)))
    image = bytearray(16) + header_block(division, 0xFFFFFFFF) + streams[0]
    for number in order:
        struct.pack_into("<I", image, 4 * number, len(image) - 4)
        image += header_block(division + number, 0) + streams[number]
    return bytes(image)


def random_song(rng, events):
    song = []
    channels = rng.sample(range(16), 3)
    for index in range(events):
        delta = rng.choice([0, 0, rng.randrange(1, 0x80), rng.randrange(0x80, 0x4000), rng.randrange(0x4000, 0x0FFFFFFF)])
        if index == 0:
            delta = rng.randrange(0, 0x80)
        ch = rng.choice(channels)
        roll = rng.random()
        if roll < 0.30:
            event = ("on", ch, rng.randrange(128), rng.randrange(1, 128))
        elif roll < 0.50:
            event = ("off", ch, rng.randrange(128))
        elif roll < 0.55:
            event = ("poly", ch, rng.randrange(128), rng.randrange(128))
        elif roll < 0.62:
            event = ("cc", ch, rng.randrange(120), rng.randrange(128))
        elif roll < 0.67:
            event = ("program", ch, rng.randrange(128))
        elif roll < 0.70:
            event = ("pressure", ch, rng.randrange(128))
        elif roll < 0.78:
            event = ("bend", ch, rng.randrange(128))
        elif roll < 0.82:
            event = ("tempo", rng.randrange(1, 1 << 24))
        elif roll < 0.87:
            length = rng.randrange(0, 40) if rng.random() < 0.8 else rng.randrange(40, 256)
            event = ("meta", rng.choice([0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x7F]),
                     [rng.randrange(0x20, 0x7F) for _ in range(length)])
        elif roll < 0.89:
            event = ("meta", 0x58, [rng.randrange(1, 16), rng.randrange(0, 5), 24, 8])
        elif roll < 0.91:
            event = ("meta", 0x59, [rng.randrange(-7, 8) & 0xFF, rng.randrange(2)])
        elif roll < 0.92:
            event = ("meta", 0x20, [ch])
        elif roll < 0.93:
            event = ("meta", 0x21, [rng.randrange(128)])
        elif roll < 0.94:
            event = ("meta", 0x54, [rng.randrange(24) | (rng.randrange(4) << 5), rng.randrange(60),
                                    rng.randrange(60), rng.randrange(24), rng.randrange(100)])
        elif roll < 0.95:
            event = ("meta", 0x00, [rng.randrange(128), rng.randrange(128)])
        else:
            size = rng.randrange(1, 7)
            event = ("sysex", [size] + [rng.randrange(128) for _ in range(size - 1)] + [0xF7])
        song.append((delta, event))
    song.append((rng.randrange(0, 0x200 if song else 0x80), ("end",)))
    return song


def random_container(seed):
    rng = random.Random(seed)
    count = rng.randrange(1, 5)
    songs = [random_song(rng, rng.randrange(0, 120)) for _ in range(count)]
    streams = [compact_stream(song, running_status=rng.random() < 0.8) for song in songs]
    order = list(range(1, count))
    rng.shuffle(order)
    return build_container(streams, order), songs, streams


def demo_songs():
    """Four short songs: a melody, a bass line, chords and a fanfare."""
    q = 96  # ticks per quarter note
    melody = [(0, ("meta", 0x03, list(b"Twinkle"))), (0, ("tempo", 500000)),
              (0, ("meta", 0x58, [4, 2, 24, 8])), (0, ("meta", 0x59, [0, 0])),
              (0, ("program", 0, 0)), (0, ("cc", 0, 7, 100))]
    notes = [60, 60, 67, 67, 69, 69, 67, 65, 65, 64, 64, 62, 62, 60]
    lengths = [1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 2]
    for note, beats in zip(notes, lengths):
        melody.append((8 if melody[-1][1][0] == "off" else 0, ("on", 0, note, 90)))
        melody.append((beats * q - 8, ("off", 0, note)))
    melody.append((0, ("meta", 0x01, list(b"fine"))))
    melody.append((0, ("end",)))

    bass = [(0, ("meta", 0x03, list(b"Bass"))), (0, ("program", 1, 33)), (0, ("cc", 1, 10, 40))]
    for note in [36, 43, 45, 41, 36]:
        bass.append((0, ("on", 1, note, 100)))
        bass.append((2 * q, ("off", 1, note)))
    bass.append((0, ("bend", 1, 0x40)))
    bass.append((q, ("bend", 1, 0x00)))
    bass.append((0, ("end",)))

    chords = [(0, ("meta", 0x03, list(b"Chords"))), (0, ("program", 2, 48)), (0, ("meta", 0x20, [2]))]
    for root in [60, 65, 67, 60]:
        for offset in (0, 4, 7):
            chords.append((0, ("on", 2, root + offset, 70)))
        chords.append((0, ("pressure", 2, 50)))
        chords.append((4 * q, ("off", 2, root)))  # 4 * 96 = 384: a two-byte delta time
        chords.append((0, ("off", 2, root + 4)))
        chords.append((0, ("off", 2, root + 7)))
    chords.append((0, ("end",)))

    fanfare = [(0, ("meta", 0x03, list(b"Fanfare"))), (0, ("tempo", 400000)), (0, ("program", 3, 56)),
               (0, ("meta", 0x01, list(b"(c) the demo")))]
    for note in [67, 72, 76, 79]:
        fanfare.append((0, ("on", 3, note, 110)))
        fanfare.append((q // 2, ("off", 3, note)))
    fanfare.append((0, ("poly", 3, 79, 30)))
    fanfare.append((q * 3, ("cc", 3, 64, 0)))
    fanfare.append((0, ("end",)))
    return [melody, bass, chords, fanfare]


def main(argv):
    if len(argv) == 3 and argv[1] == "demo":
        songs = demo_songs()
        with open(argv[2], "wb") as out:
            out.write(build_container([compact_stream(s) for s in songs], order=[2, 1, 3]))
        return 0
    if len(argv) == 5 and argv[1] == "random":
        image, songs, _ = random_container(int(argv[2]))
        with open(argv[3], "wb") as out:
            out.write(image)
        with open(argv[4], "w") as out:
            json.dump(songs, out)
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
