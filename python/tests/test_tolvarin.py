"""The module against the command line's own outputs, hand-worked
containers, an independent MIDI reader (mido), its failures, and two
threads converting at once."""
import io
import mmap
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading

import mido
import pytest

import conftest
import cross_check
import tolvarin
import zarq

DEMO = os.path.join(conftest.ROOT, "examples", "demo.dat")
BINARY = os.path.join(conftest.BUILD, "tolvarin")
GIB4 = 1 << 32


def read(path):
    with open(path, "rb") as f:
        return f.read()


def command_line_outputs(image):
    """{song number: output} as the build's command line writes them."""
    with tempfile.TemporaryDirectory(prefix="tolvarin-python-") as work:
        path = os.path.join(work, "c.dat")
        with open(path, "wb") as f:
            f.write(image)
        result = subprocess.run([BINARY, path], capture_output=True)
        assert result.returncode == 0, result.stdout
        return {int(name[2:-4]): read(os.path.join(work, name)) for name in os.listdir(work) if name.endswith(".mid")}


def container(seed):
    """The demo, then well-formed and hostile containers in turn."""
    if seed == 0:
        return read(DEMO)
    return zarq.random_container(seed)[0] if seed % 2 else cross_check.hostile_container(seed)


# Every one converted in one of the ways a caller may hold the bytes and
# with one, two or all the processors' threads.
HOLDERS = [bytes, bytearray, memoryview, lambda image: memoryview(b"xx" + image + b"yy")[2:-2]]


@pytest.mark.parametrize("seed", range(201))
def test_outputs_are_the_command_lines(seed):
    image = container(seed)
    songs = tolvarin.convert(HOLDERS[seed % len(HOLDERS)](image), threads=seed % 3)
    assert {song.number: song.midi for song in songs} == command_line_outputs(image)
    assert [song.number for song in songs] == [song.number for song in tolvarin.plan(image).songs]


@pytest.mark.parametrize("seed", [-1] + list(range(1, 60, 2)))
def test_mido_reads_every_event(seed):
    """The demo (-1) and well-formed containers: mido reads each output as one track holding
    every event the song was made of, the end of track last."""
    if seed == -1:
        image, source_songs = read(DEMO), zarq.demo_songs()
    else:
        image, source_songs, _ = zarq.random_container(seed)
    songs = tolvarin.convert(image)
    assert [song.number for song in songs] == list(range(1, len(source_songs) + 1))
    for song, events in zip(songs, source_songs):
        midi = mido.MidiFile(file=io.BytesIO(song.midi))
        assert len(midi.tracks) == 1
        assert len(midi.tracks[0]) == song.events == len(events)
        assert midi.tracks[0][-1].type == "end_of_track"
        assert song.ending == tolvarin.TrackEnding.END_OF_TRACK


def head(division=96):
    """A song's 22-byte head as the container holds it, its length field 0."""
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, division) + b"MTrk" + bytes(4)


def with_length(song_head, length):
    return song_head[:18] + struct.pack(">I", length)


# Songs worked out by hand from the format: the compact track, then what
# the module must report (the MIDI file's track, its ending, its events,
# its first text and that text's type).
HAND_SONGS = [
    # A name, a note on and a note off whose velocity byte the output adds.
    (b"\x00\xff\x03\x04Lead\x00\x90\x3c\x40\x60\x80\x3c\x00\xff\x2f\x00",
     b"\x00\xff\x03\x04Lead\x00\x90\x3c\x40\x60\x80\x3c\x00\x00\xff\x2f\x00",
     tolvarin.TrackEnding.END_OF_TRACK, 4, b"Lead", 3),
    # A lyric of 130 bytes: its length becomes the two bytes 81 02.
    (b"\x00\xff\x05\x82" + b"a" * 130 + b"\x00\xff\x2f\x00",
     b"\x00\xff\x05\x81\x02" + b"a" * 130 + b"\x00\xff\x2f\x00",
     tolvarin.TrackEnding.END_OF_TRACK, 2, b"a" * 130, 5),
    # No end of track: the image ends behind a whole pitch bend.
    (b"\x00\xe0\x40", b"\x00\xe0\x40\x00", tolvarin.TrackEnding.END_OF_IMAGE, 1, None, 0),
    # Cut short inside a text event, which is written as far as it goes.
    (b"\x00\x90\x3c\x40\x00\xff\x01\x05ab", b"\x00\x90\x3c\x40\x00\xff\x01\x05ab",
     tolvarin.TrackEnding.CUT_SHORT, 1, b"ab", 1),
]


@pytest.mark.parametrize("compact, track, ending, events, text, text_type", HAND_SONGS)
def test_a_song_as_worked_out_by_hand(compact, track, ending, events, text, text_type):
    (song,) = tolvarin.convert(bytes(16) + head() + compact)
    assert song.midi == with_length(head(), len(track)) + track
    assert (song.number, song.ending, song.events, song.text, song.text_type) == (1, ending, events, text, text_type)


WALK = tolvarin.WalkEnd
# Containers by their slots and size: the song positions the walk finds, why
# it stops and where. A slot holds a song's position less 4.
PLANS = [
    ("one song, the next slot absent", [0, 0, 0], 16 + 22 + 2, [16], WALK.ABSENT_SLOT, 0),
    ("the second song past the end", [40 - 4, 0, 0], 40, [16], WALK.PAST_THE_END, 40),
    ("the second song's head one byte short", [40 - 4, 0, 0], 40 + 21, [16], WALK.HEAD_CUT_SHORT, 40),
    ("the second song's head whole", [40 - 4, 0, 0], 40 + 22, [16, 40], WALK.ABSENT_SLOT, 0),
    ("four songs, in any order", [124 - 4, 40 - 4, 82 - 4], 160, [16, 124, 40, 82], WALK.LAST_SLOT, 0),
    ("the first song's head short", [0, 0, 0], 16 + 21, [], WALK.HEAD_CUT_SHORT, 16),
    ("an empty image", None, 0, [], WALK.PAST_THE_END, 16),
]


@pytest.mark.parametrize("name, slots, size, positions, walk_end, stopped_at", PLANS, ids=[p[0] for p in PLANS])
def test_plan(name, slots, size, positions, walk_end, stopped_at):
    image = bytearray(size)
    if slots is not None:
        struct.pack_into("<III", image, 4, *slots)
    plan = tolvarin.plan(bytes(image))
    assert [song.position for song in plan.songs] == positions
    assert [song.number for song in plan.songs] == list(range(1, len(positions) + 1))
    assert (plan.walk_end, plan.stopped_at) == (walk_end, stopped_at)


def test_output_bound_is_the_head_and_half_again_the_rest_of_the_image():
    image = bytes(16) + head() + b"\x00\x80\x3c" * 5
    (song,) = tolvarin.plan(image).songs
    assert song.output_bound == 22 + 15 * 3 // 2


def sparse(size):
    return mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_NORESERVE", 0))


@pytest.mark.parametrize("value", ["a string", 42, None, [0, 1, 2], 1.5])
def test_not_bytes_like(value):
    for call in (tolvarin.convert, tolvarin.plan):
        with pytest.raises(tolvarin.NotBytesLike) as raised:
            call(value)
        assert isinstance(raised.value, TypeError) and raised.value.status == -3
        assert type(value).__name__ in raised.value.message


@pytest.mark.skipif(sys.maxsize < GIB4, reason="needs a 64-bit address space")
def test_an_image_of_4_gib_or_more():
    # An image one byte short of 4 GiB is planned: its one song runs to its end.
    (song,) = tolvarin.plan(sparse(GIB4 - 1)).songs
    assert song.output_bound == 22 + (GIB4 - 1 - 38) * 3 // 2
    for call in (tolvarin.convert, tolvarin.plan):
        with pytest.raises(tolvarin.ImageTooLarge) as raised:
            call(sparse(GIB4))
        assert isinstance(raised.value, ValueError) and raised.value.status == -4
        assert raised.value.message and raised.value.message != "unknown status"


def test_threads_must_be_a_count():
    with pytest.raises(ValueError):
        tolvarin.convert(read(DEMO), threads=-1)


def test_no_memory(tmp_path):
    """The library's working memory refused: NoMemory, its status and text."""
    shim = tmp_path / "fail_large_mallocs.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", os.path.join(conftest.HERE, "fail_large_mallocs.c"), "-o",
                    str(shim)], check=True)
    script = textwrap.dedent(f"""
        import ctypes, sys
        sys.path[:0] = {sys.path[:4]!r}
        import tolvarin
        image = open({DEMO!r}, "rb").read()
        ctypes.CDLL(None).fail_mallocs_from(ctypes.c_size_t(1 << 16))
        try:
            tolvarin.convert(image)
        except tolvarin.NoMemory as error:
            print(isinstance(error, MemoryError), error.status, error.message)
        """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=dict(os.environ, LD_PRELOAD=str(shim)))
    assert result.returncode == 0, result.stderr
    aware, status, message = result.stdout.strip().split(" ", 2)
    assert (aware, status) == ("True", "-1") and message and message != "unknown status"


def test_two_threads_converting_at_once():
    images = [zarq.build_container([zarq.compact_stream(zarq.random_song(zarq.random.Random(seed), 120000))])
              for seed in (1, 2)]
    expected = [[song.midi for song in tolvarin.convert(image)] for image in images]
    results = {}

    def work(number):
        results[number] = [[song.midi for song in tolvarin.convert(images[number % 2])] for _ in range(4)]

    threads = [threading.Thread(target=work, args=(number,)) for number in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {number: [expected[number % 2]] * 4 for number in range(2)}


def test_library_version_is_the_projects():
    assert tolvarin.library_version() == conftest.project_version()


def test_pip_installs_it_and_the_readme_example_runs(tmp_path):
    """`pip install` of python/ into a virtual environment with the system's
    packages, offline; then the README's example, run from elsewhere on the
    demo, prints what the README says it prints."""
    if shutil.which("pip3") is None and subprocess.run([sys.executable, "-m", "pip", "--version"],
                                                       capture_output=True).returncode != 0:
        pytest.skip("pip is not installed")
    environment = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(environment)], check=True)
    python = str(environment / "bin" / "python")
    # A copy of the tree's python/ and the CMakeLists.txt its version comes
    # from: pip builds in the directory it is given.
    source = tmp_path / "source"
    shutil.copytree(os.path.join(conftest.ROOT, "python"), source / "python",
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    shutil.copy(os.path.join(conftest.ROOT, "CMakeLists.txt"), source)
    install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet",
                              str(source / "python")], capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    with open(os.path.join(conftest.ROOT, "README.md")) as f:
        readme = f.read()
    section = readme[readme.index("## Use it from Python"):]
    blocks = section.split("```")
    example, printed = blocks[1].removeprefix("python\n"), blocks[3].removeprefix("\n")
    assert len(example.strip().splitlines()) == 5
    shutil.copy(DEMO, tmp_path / "tune.dat")
    run = subprocess.run([python, "-c", example], cwd=tmp_path, capture_output=True, text=True,
                         env={key: value for key, value in os.environ.items() if key != "PYTHONPATH"})
    assert run.returncode == 0, run.stderr
    assert run.stdout == printed
    located = subprocess.run([python, "-c", "import tolvarin; print(tolvarin.__file__)"], cwd=tmp_path,
                             capture_output=True, text=True).stdout
    assert located.startswith(str(environment))
