"""The module against the command line's outputs, mido, hand-worked
containers, its failures and two threads converting at once."""
import io
import mmap
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading

import mido
import pytest

import conftest
import cross_check
import tolvarin
import zarq

DEMO = os.path.join(conftest.ROOT, "examples", "demo.dat")
GIB4 = 1 << 32


def read(path):
    with open(path, "rb") as f:
        return f.read()


def command_line_outputs(image):
    with tempfile.TemporaryDirectory(prefix="tolvarin-python-") as work:
        with open(os.path.join(work, "c.dat"), "wb") as f:
            f.write(image)
        assert subprocess.run([os.path.join(conftest.BUILD, "tolvarin"), "c.dat"], cwd=work).returncode == 0
        return {int(name[2:-4]): read(os.path.join(work, name)) for name in os.listdir(work) if name.endswith(".mid")}


# The demo, then well-formed and hostile containers in turn, held in each
# way a caller may hold bytes, converted on one thread, two or all.
HOLDERS = [bytes, bytearray, memoryview, lambda image: memoryview(b"xx" + image + b"yy")[2:-2]]


@pytest.mark.parametrize("seed", range(201))
def test_outputs_are_the_command_lines(seed):
    image = read(DEMO) if seed == 0 else zarq.random_container(seed)[0] if seed % 2 else \
        cross_check.hostile_container(seed)
    songs = tolvarin.convert(HOLDERS[seed % 4](image), threads=seed % 3)
    assert {song.number: song.midi for song in songs} == command_line_outputs(image)


@pytest.mark.parametrize("seed", [-1] + list(range(1, 60, 2)))
def test_mido_reads_every_event(seed):
    image, made_of = (read(DEMO), zarq.demo_songs()) if seed < 0 else zarq.random_container(seed)[:2]
    songs = tolvarin.convert(image)
    assert [song.number for song in songs] == list(range(1, len(made_of) + 1))
    for song, events in zip(songs, made_of):
        (track,) = mido.MidiFile(file=io.BytesIO(song.midi)).tracks
        assert len(track) == song.events == len(events) and track[-1].type == "end_of_track"
        assert song.ending == tolvarin.TrackEnding.END_OF_TRACK


HEAD = b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk"
# Songs worked out by hand: the compact track, the output's track, how it
# ended, its events, its first text and that text's type.
HAND_SONGS = [
    (b"\x00\xff\x03\x04Lead\x00\x90\x3c\x40\x60\x80\x3c\x00\xff\x2f\x00",  # note off: a velocity byte added
     b"\x00\xff\x03\x04Lead\x00\x90\x3c\x40\x60\x80\x3c\x00\x00\xff\x2f\x00", "END_OF_TRACK", 4, b"Lead", 3),
    (b"\x00\xff\x05\x82" + b"a" * 130 + b"\x00\xff\x2f\x00",  # a length of 130 becomes 81 02
     b"\x00\xff\x05\x81\x02" + b"a" * 130 + b"\x00\xff\x2f\x00", "END_OF_TRACK", 2, b"a" * 130, 5),
    (b"\x00\xe0\x40", b"\x00\xe0\x40\x00", "END_OF_IMAGE", 1, None, 0),
    (b"\x00\x90\x3c\x40\x00\xff\x01\x05ab", b"\x00\x90\x3c\x40\x00\xff\x01\x05ab", "CUT_SHORT", 1, b"ab", 1),
]


@pytest.mark.parametrize("compact, track, ending, events, text, text_type", HAND_SONGS)
def test_a_song_worked_out_by_hand(compact, track, ending, events, text, text_type):
    (song,) = tolvarin.convert(bytes(16) + HEAD + bytes(4) + compact)
    assert song.midi == HEAD + struct.pack(">I", len(track)) + track
    assert (song.number, song.ending.name, song.events, song.text, song.text_type) == (1, ending, events, text,
                                                                                         text_type)


# Containers by their slots 2-4 (a song's position less 4) and size: the
# positions the walk finds, why it stops and where.
PLANS = [
    ([0, 0, 0], 40, [16], "ABSENT_SLOT", 0),
    ([36, 0, 0], 40, [16], "PAST_THE_END", 40),
    ([36, 0, 0], 61, [16], "HEAD_CUT_SHORT", 40),
    ([36, 0, 0], 62, [16, 40], "ABSENT_SLOT", 0),
    ([120, 36, 78], 160, [16, 124, 40, 82], "LAST_SLOT", 0),
    ([0, 0, 0], 37, [], "HEAD_CUT_SHORT", 16),
    (None, 0, [], "PAST_THE_END", 16),
]


@pytest.mark.parametrize("slots, size, positions, walk_end, stopped_at", PLANS)
def test_plan(slots, size, positions, walk_end, stopped_at):
    image = bytearray(size)
    if slots:
        struct.pack_into("<III", image, 4, *slots)
    plan = tolvarin.plan(bytes(image))
    assert [(song.number, song.position) for song in plan.songs] == list(enumerate(positions, 1))
    assert (plan.walk_end.name, plan.stopped_at) == (walk_end, stopped_at)
    # An output is at most its head and 1.5 times the bytes behind it.
    assert [song.output_bound for song in plan.songs] == [22 + (size - p - 22) * 3 // 2 for p in positions]


def sparse(size):
    return mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)


@pytest.mark.parametrize("value", ["a string", 42, None, [0, 1, 2]])
@pytest.mark.parametrize("call", [tolvarin.convert, tolvarin.plan])
def test_not_bytes_like(call, value):
    with pytest.raises(tolvarin.NotBytesLike, match=type(value).__name__) as raised:
        call(value)
    assert isinstance(raised.value, TypeError) and raised.value.status == -3


@pytest.mark.parametrize("call", [tolvarin.convert, tolvarin.plan])
def test_an_image_of_4_gib_or_more(call):
    assert len(tolvarin.plan(sparse(GIB4 - 1)).songs) == 1
    with pytest.raises(tolvarin.ImageTooLarge) as raised:
        call(sparse(GIB4))
    assert isinstance(raised.value, ValueError) and raised.value.status == -4
    assert raised.value.message not in ("", "unknown status")


def test_no_memory(tmp_path):
    shim = str(tmp_path / "fail.so")
    subprocess.run(["cc", "-shared", "-fPIC", os.path.join(conftest.HERE, "fail_large_mallocs.c"), "-o", shim],
                   check=True)
    script = (f"import ctypes, sys; sys.path[:0] = {sys.path[:4]!r}; import tolvarin\n"
              f"image = open({DEMO!r}, 'rb').read(); ctypes.CDLL(None).fail_mallocs_from(ctypes.c_size_t(1 << 16))\n"
              "try: tolvarin.convert(image)\n"
              "except tolvarin.NoMemory as e: print(isinstance(e, MemoryError), e.status, e.message)")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=dict(os.environ, LD_PRELOAD=shim))
    aware, status, message = (result.stdout.strip() + " - -").split(" ", 2)
    assert (aware, status) == ("True", "-1") and message not in ("", "unknown status"), result.stderr


def test_two_threads_converting_at_once():
    images = [zarq.build_container([zarq.compact_stream(zarq.random_song(zarq.random.Random(seed), 120000))])
              for seed in (1, 2)]
    expected = [tolvarin.convert(image) for image in images]
    results = [None, None]

    def work(number):
        results[number] = [tolvarin.convert(images[number]) for _ in range(4)]

    threads = [threading.Thread(target=work, args=(number,)) for number in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [[expected[0]] * 4, [expected[1]] * 4]
    assert tolvarin.library_version() == conftest.project_version()


def test_pip_installs_it_and_the_readme_example_prints_what_it_says(tmp_path):
    """Offline, into a virtual environment with Debian's packages, from a
    copy of python/ and the CMakeLists.txt its version comes from."""
    source = tmp_path / "source"
    shutil.copytree(os.path.join(conftest.ROOT, "python"), source / "python",
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    shutil.copy(os.path.join(conftest.ROOT, "CMakeLists.txt"), source)
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(tmp_path / "venv")], check=True)
    python = str(tmp_path / "venv" / "bin" / "python")
    install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet",
                              str(source / "python")], capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    section = read(os.path.join(conftest.ROOT, "README.md")).decode().split("## Use it from Python")[1]
    example, printed = section.split("```")[1].removeprefix("python\n"), section.split("```")[3].lstrip("\n")
    assert len(example.strip().splitlines()) == 5
    shutil.copy(DEMO, tmp_path / "tune.dat")
    run = subprocess.run([python, "-c", example + "print(tolvarin.__file__)"], cwd=tmp_path, capture_output=True,
                         text=True, env={key: value for key, value in os.environ.items() if key != "PYTHONPATH"})
    assert run.stdout.splitlines()[:-1] == printed.splitlines(), run.stderr
    assert run.stdout.splitlines()[-1].startswith(str(tmp_path / "venv"))
