"""The containers the page is tested with, made here from event lists
(scripts/zarq.py) or bytes written out by hand, each with what the page must
say about it: phrases a song's or the container's text must hold, and which
songs a MIDI reader refuses to preview."""
import os
import random
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
sys.path.insert(0, os.path.join(HERE, ".."))
import zarq  # noqa: E402
import midi_check  # noqa: E402


class Case:
    """A file to drop, and what the page must show for it.

    song_phrases: {song number: [phrases its element's text holds]}
    container_phrases: phrases the container's element holds
    refused: song numbers whose preview a MIDI reader refuses
    message: the container shows a message ([data-error]) holding this
    clean: no warning anywhere in the container
    """

    def __init__(self, name, data, song_phrases=None, container_phrases=(), refused=(), message=None, folder="",
                 clean=False):
        self.clean = clean
        self.name = name
        self.data = data
        self.song_phrases = song_phrases or {}
        self.container_phrases = list(container_phrases)
        self.refused = set(refused)
        self.message = message
        self.folder = folder  # a subfolder, so that two files may share a name


def stream_without_end(song):
    return zarq.compact_stream([item for item in song if item[1][0] != "end"])


def random_songs(seed, count, events):
    rng = random.Random(seed)
    return [zarq.random_song(rng, events) for _ in range(count)]


def png_picture():
    """A real 4x4 PNG picture, made here."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\x00" + bytes(sum(([40 * x, 60 * y, 200] for x in range(4)), [])) for y in range(4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def hostile_container():
    """Songs the converter writes as the format makes them but a MIDI reader
    refuses: F1 used as a meta status, a tempo whose length byte is 4, a data
    byte with no status to run on; and one with a type outside the table."""
    streams = [
        bytes.fromhex("00 90 3C 40 10 F1 10 00 80 3C 00 FF 2F 00"),
        bytes.fromhex("00 FF 51 04 07 A1 20 00 90 3C 40 60 80 3C 00 FF 2F 00"),
        bytes.fromhex("00 3C 40 00 90 3C 40 60 80 3C 00 FF 2F 00"),
        bytes.fromhex("00 FF 0A 00 90 3C 40 60 80 3C 00 FF 33 00 FF 2F 00"),
    ]
    return zarq.build_container(streams)


def overlapping_container():
    """Song 1 has no end of track: it runs through song 2's record to the end
    of the file. Song 3 lies before song 2 and ends properly."""
    songs = random_songs(11, 3, 30)
    streams = [stream_without_end(songs[0]), zarq.compact_stream(songs[1]), zarq.compact_stream(songs[2])]
    return zarq.build_container(streams, order=[2, 1])


def all_run_to_the_end():
    """Four songs, none with an end of track: each runs to the end of the file."""
    return zarq.build_container([stream_without_end(song) for song in random_songs(12, 4, 40)], order=[3, 2, 1])


def cut_short_container():
    """The file ends inside a note on: the last event is cut short."""
    song = zarq.demo_songs()[1][:-1]
    return zarq.build_container([zarq.compact_stream(song) + bytes.fromhex("00 91 3C")])


def slot_past_the_end():
    image = bytearray(zarq.build_container([zarq.compact_stream(zarq.demo_songs()[0])]))
    struct.pack_into("<I", image, 4, len(image) + 96)  # song 2 would start at len + 100
    return bytes(image), len(image) + 100


def head_cut_short():
    image = bytearray(zarq.build_container([zarq.compact_stream(zarq.demo_songs()[3])]))
    image += bytes(12)
    struct.pack_into("<I", image, 4, len(image) - 10 - 4)  # 10 bytes left: no room for a 22-byte head
    return bytes(image), len(image) - 10


def smpte_container():
    return zarq.build_container([zarq.compact_stream(zarq.demo_songs()[0])], division=0xE728)


def longest_text_container():
    """The first text is a lyric of 255 bytes, the most the format holds."""
    text = midi_check.text_of(255, 3)
    song = [(0, ("meta", 0x05, text)), (0, ("on", 0, 60, 100)), (96, ("off", 0, 60)), (0, ("end",))]
    return zarq.build_container([zarq.compact_stream(song)]), bytes(text).decode("ascii")


def tempo_container():
    """Song 1: 30 beats at 1,000,000 microseconds a beat (30 s), then 40 at
    250,000 (10 s): 70 beats, 0:40. Song 2: 57,600 ticks at the default tempo,
    a note on every 96; its head's division is 97 (zarq gives song n 95 + n),
    so 593.81 beats, 296.9 s, 4:57. Song 3: 480 ticks at 98 a beat behind a
    tempo event whose length byte is 4; its three tempo bytes, 1,000,000,
    still count: 4.9 beats, 4.9 s, 0:05."""
    song1 = [(0, ("tempo", 1000000)), (0, ("on", 0, 60, 100)), (96 * 30, ("off", 0, 60)), (0, ("tempo", 250000)),
             (0, ("on", 1, 64, 100)), (96 * 40, ("off", 1, 64)), (0, ("end",))]
    song2 = []
    for beat in range(600):
        song2 += [(0, ("on", beat % 3, 48 + beat % 24, 90)), (96, ("off", beat % 3, 48 + beat % 24))]
    song2.append((0, ("end",)))
    stream3 = bytes.fromhex("00 FF 51 04 0F 42 40 00 90 3C 40 83 60 80 3C 00 FF 2F 00")  # 0x0F4240 = 1,000,000
    return zarq.build_container([zarq.compact_stream(song1), zarq.compact_stream(song2), stream3])


def every_meta_type_container():
    """One song with each meta type the format gives a length, 96 ticks
    apart, holding data bytes (all below 0x80) that would be read as delta
    times were the type taken for one with nothing behind it; 0x7F holds
    200, a length the output writes in two bytes. Then a note of a beat:
    15 beats, 1,440 ticks at 96 a beat, 7.5 s at the default tempo."""
    data = {0x00: [0, 1], 0x20: [0], 0x21: [0], 0x54: [1, 2, 3, 4, 5], 0x58: [3, 2, 24, 8], 0x59: [0, 0],
            0x7F: [1] * 200}
    data.update({text_type: list(b"ab") for text_type in range(0x01, 0x08)})
    song = [(96, ("meta", meta_type, data[meta_type])) for meta_type in sorted(data)]
    song += [(0, ("on", 0, 60, 100)), (96, ("off", 0, 60)), (0, ("end",))]
    return zarq.build_container([zarq.compact_stream(song)])


def small_cases(demo):
    """Every container but the large ones, in the order they are dropped."""
    past, past_at = slot_past_the_end()
    cut, cut_at = head_cut_short()
    longest, longest_text = longest_text_container()
    texts = midi_check.long_text_songs()
    cases = [
        Case("empty.dat", b""),
        Case("demo.dat", demo, clean=True, song_phrases={
            1: ["Track name: \u201cTwinkle\u201d", "Events36"], 4: ["Track name: \u201cFanfare\u201d"]}),
        Case("ten.bin", bytes(range(1, 11))),
        Case("picture.png", png_picture()),
        Case("four.dat", zarq.build_container([zarq.compact_stream(s) for s in random_songs(5, 4, 90)], order=[3, 1, 2])),
        Case("sixteen.dat", bytes(16)),
        Case("overlap.dat", overlapping_container(), song_phrases={1: ["another song's among them"]}),
        Case("to-the-end.dat", all_run_to_the_end(),
             song_phrases={n: ["no end-of-track event"] for n in range(1, 5)}),
        Case("cut.dat", cut_short_container(), song_phrases={1: ["cut short"]}),
        # Song 4's unknown type makes the reader take its next byte for a
        # length and the delta time behind it for running status.
        Case("hostile.dat", hostile_container(), refused={1, 2, 3, 4},
             song_phrases={1: ["0x10", "System statuses (0xF1)", "event type byte: 241"],
                           2: ["setTempo event is 3, got 4", "tempo 0x04"],
                           3: ["the MIDI reader refuses it", "no running status to take"], 4: ["0x0A", "0x33"]}),
        Case("past.dat", past, container_phrases=[f"Slot 2 points to byte {past_at:,}"]),
        Case("head.dat", cut, container_phrases=[f"Slot 2 points to byte {cut_at:,}", "22-byte head"]),
        Case("smpte.dat", smpte_container(), refused={1}, song_phrases={1: ["SMPTE", "25 frames a second, 40 ticks a frame"]}),
        Case("texts1.dat", zarq.build_container([zarq.compact_stream(s) for s in texts[:4]]),
             song_phrases={1: ["Text: \u201c\u201d"], 3: ["Track name: \u201c\u201d"]}, clean=True),
        Case("texts2.dat", zarq.build_container([zarq.compact_stream(s) for s in texts[4:]]),
             song_phrases={4: ["First textnone"]}, clean=True),
        Case("longest.dat", longest, song_phrases={1: [f"Lyric: \u201c{longest_text}\u201d"]}, clean=True),
        Case("random.bin", random.Random(99).randbytes(1 << 20)),
        Case("quiet.dat", zarq.build_container([zarq.compact_stream(
            [(0, ("meta", 0x03, list(b"Silence"))), (0, ("tempo", 600000)), (384, ("end",))])]),
             song_phrases={1: ["This song has no notes to draw or play.", "4 beats (384 ticks at 96 a beat), 0:02"]},
             clean=True),
        # A five-byte delta time, 81 80 80 80 00 = 2^28 ticks; readers take four bytes at most.
        Case("long-delta.dat", zarq.build_container([bytes.fromhex("00 90 3C 40 81 80 80 80 00 80 3C 00 FF 2F 00")]),
             song_phrases={1: ["268,435,456 ticks at 96 a beat), 388:21:41", "more than four bytes"]}),
        Case("tempo.v2.dat", tempo_container(), song_phrases={
            1: ["70 beats (6,720 ticks at 96 a beat), 0:40"], 2: ["593.81 beats (57,600 ticks at 97 a beat), 4:57"],
            3: ["4.9 beats (480 ticks at 98 a beat), 0:05", "tempo 0x04"]}, refused={3}),
        Case("every-meta.dat", every_meta_type_container(), song_phrases={1: ["15 beats (1,440 ticks at 96 a beat), 0:08"]},
             clean=True),
        # The same name twice, and two names that give the same output names.
        Case("a.dat", demo, folder="one"),
        Case("a.dat", zarq.build_container([zarq.compact_stream(zarq.demo_songs()[2])]), folder="two"),
        Case("a.bin", zarq.build_container([zarq.compact_stream(zarq.demo_songs()[3])])),
    ]
    return cases
