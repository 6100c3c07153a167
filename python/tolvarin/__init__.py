"""Converts Zarq song containers to Standard MIDI Files, in memory.

    import tolvarin
    with open("tune.dat", "rb") as f:
        for song in tolvarin.convert(f.read()):
            print(song.number, len(song.midi), song.ending.name, song.events, song.text)

Every song's `midi` is byte for byte the file the tolvarin command line
writes for it. The module calls the library's C interface in the shared
library libtolvarin.so.1 (Debian package libtolvarin1), found by the system's
loader, or at the path the environment variable TOLVARIN_LIBRARY names. The
library's calls run without the GIL, so threads convert side by side.
"""
import ctypes
import dataclasses
import enum
import os

__all__ = ["convert", "plan", "Song", "Plan", "PlannedSong", "TrackEnding", "WalkEnd", "Error", "NotBytesLike",
           "ImageTooLarge", "NoMemory", "TrackTooLong", "library_version"]

# Statuses of the C interface (tolvarin.h).
_OK = 0
_TRACK_PIECE = 1
_HEAD_PIECE = 2
_DONE = 3
_NO_MEMORY = -1
_TRACK_TOO_LONG = -2
_BAD_ARGUMENT = -3
_IMAGE_TOO_LARGE = -4

# Song outputs begin with the 22-byte head of a Standard MIDI File.
_HEAD_SIZE = 22
_SUPPORTED_MAJOR = 1


class TrackEnding(enum.IntEnum):
    """How a song's track ended."""
    END_OF_TRACK = 0  # at its end-of-track event
    END_OF_IMAGE = 1  # the container ended behind a whole event, with no end of track
    CUT_SHORT = 2     # the container ended inside an event


class WalkEnd(enum.IntEnum):
    """Why the walk over the container's slots found no further song."""
    ABSENT_SLOT = 0         # the next slot holds 0
    PAST_THE_END = 1        # the next song would start at or past the end
    HEAD_CUT_SHORT = 2      # the next song's 22-byte head does not fit
    LAST_SLOT = 3           # four songs: there are no more slots
    IMAGE_TOO_LARGE = 4     # the container is 4 GiB or more


class Error(Exception):
    """A conversion that failed: `status` is the C interface's status,
    `message` a plain sentence saying why."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


class NotBytesLike(Error, TypeError):
    """The container given is not a bytes-like object."""


class ImageTooLarge(Error, ValueError):
    """The container is 4 GiB or more: its positions are 32-bit."""


class NoMemory(Error, MemoryError):
    """The library could not have the memory it needs."""


class TrackTooLong(Error):
    """A song's track would pass 4 GiB - 1 bytes, more than its length field counts."""


_ERRORS = {_IMAGE_TOO_LARGE: ImageTooLarge, _NO_MEMORY: NoMemory, _TRACK_TOO_LONG: TrackTooLong}


@dataclasses.dataclass(frozen=True)
class Song:
    """A converted song: its number (1 to 4, as in the command line's output
    name), its Standard MIDI File, how its track ended, the events written
    (the end of track included) and its first text event (types 1-7: text,
    copyright, name, instrument, lyric, marker, cue point) as the container
    holds it, with its type; None and 0 when there is none."""
    number: int
    midi: bytes
    ending: TrackEnding
    events: int
    text: bytes = None
    text_type: int = 0
    ran_past_next_song: bool = False


@dataclasses.dataclass(frozen=True)
class PlannedSong:
    number: int
    position: int      # where its 22-byte head starts in the container
    output_bound: int  # the most its output can be


@dataclasses.dataclass(frozen=True)
class Plan:
    """Where a container's songs are, and why the walk over its slots stopped
    (stopped_at: the position of a song past the end or cut short)."""
    songs: tuple
    walk_end: WalkEnd
    stopped_at: int


def _load_library():
    path = os.environ.get("TOLVARIN_LIBRARY") or f"libtolvarin.so.{_SUPPORTED_MAJOR}"
    try:
        library = ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(f"tolvarin: cannot load the library {path} ({error}); install the package "
                          f"libtolvarin{_SUPPORTED_MAJOR}, or name the library in TOLVARIN_LIBRARY") from None
    session = ctypes.c_void_p
    u32, u64, size = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_size_t
    signatures = {
        "tolvarin_version": (ctypes.c_char_p, []),
        "tolvarin_status_text": (ctypes.c_char_p, [ctypes.c_int]),
        "tolvarin_open_with_status": (session, [ctypes.c_void_p, size, ctypes.POINTER(ctypes.c_int)]),
        "tolvarin_close": (None, [session]),
        "tolvarin_set_threads": (ctypes.c_int, [session, u32]),
        "tolvarin_song_count": (u32, [session]),
        "tolvarin_walk_end": (ctypes.c_int, [session]),
        "tolvarin_walk_stopped_at": (u32, [session]),
        "tolvarin_song_number": (u32, [session, u32]),
        "tolvarin_song_position": (u32, [session, u32]),
        "tolvarin_output_bound": (u64, [session, u32]),
        "tolvarin_describe_song": (ctypes.c_int, [session, u32]),
        "tolvarin_track_ending": (ctypes.c_int, [session]),
        "tolvarin_ran_past_next_song": (ctypes.c_int, [session]),
        "tolvarin_event_count": (u32, [session]),
        "tolvarin_text_type": (u32, [session]),
        "tolvarin_text_position": (u32, [session]),
        "tolvarin_text_length": (u32, [session]),
        "tolvarin_start_song": (ctypes.c_int, [session, u32]),
        "tolvarin_next_piece": (ctypes.c_int, [session]),
        "tolvarin_piece_data": (ctypes.c_void_p, [session]),
        "tolvarin_piece_size": (size, [session]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    version = library.tolvarin_version().decode()
    if int(version.split(".")[0]) != _SUPPORTED_MAJOR:
        raise ImportError(f"tolvarin: {path} is version {version}; this module needs {_SUPPORTED_MAJOR}.x")
    return library, version


_lib, _library_version = _load_library()


def library_version():
    """The version of the shared library in use, such as "1.1.0"."""
    return _library_version


def _fail(status, error=None):
    text = _lib.tolvarin_status_text(status).decode()
    raise (error or _ERRORS.get(status, Error))(status, text)


class _Session:
    """A session over the container's bytes, which stay exported (a
    bytearray cannot be resized) until it is closed."""

    def __init__(self, data):
        try:
            view = memoryview(data)
        except TypeError:
            raise NotBytesLike(_BAD_ARGUMENT, f"the container must be a bytes-like object, not "
                                              f"{type(data).__name__}") from None
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        self.view = view.cast("B") if view.format != "B" or view.ndim != 1 else view
        self.buffer = None
        if self.view.nbytes == 0:
            address = None
        elif not self.view.readonly:
            self.buffer = (ctypes.c_char * self.view.nbytes).from_buffer(self.view)
            address = ctypes.addressof(self.buffer)
        else:
            # A read-only buffer: bytes are addressed where they are, others copied.
            self.bytes = data if isinstance(data, bytes) else self.view.tobytes()
            address = ctypes.cast(ctypes.c_char_p(self.bytes), ctypes.c_void_p).value
        status = ctypes.c_int(_OK)
        self.handle = _lib.tolvarin_open_with_status(address, self.view.nbytes, ctypes.byref(status))
        if not self.handle:
            self.close()
            _fail(status.value)

    def close(self):
        if getattr(self, "handle", None):
            _lib.tolvarin_close(self.handle)
            self.handle = None
        self.buffer = None
        self.view.release()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def song(self, index):
        handle = self.handle
        if _lib.tolvarin_describe_song(handle, index) != _OK:
            _fail(_BAD_ARGUMENT)
        text_type = _lib.tolvarin_text_type(handle)
        text = None
        if text_type:
            start = _lib.tolvarin_text_position(handle)
            text = bytes(self.view[start:start + _lib.tolvarin_text_length(handle)])
        ending = TrackEnding(_lib.tolvarin_track_ending(handle))
        events = _lib.tolvarin_event_count(handle)
        ran_past = bool(_lib.tolvarin_ran_past_next_song(handle))
        status = _lib.tolvarin_start_song(handle, index)
        if status != _OK:
            _fail(status)
        track = []
        head = b""
        while True:
            status = _lib.tolvarin_next_piece(handle)
            if status == _TRACK_PIECE:
                track.append(ctypes.string_at(_lib.tolvarin_piece_data(handle), _lib.tolvarin_piece_size(handle)))
            elif status == _HEAD_PIECE:
                head = ctypes.string_at(_lib.tolvarin_piece_data(handle), _HEAD_SIZE)
            elif status == _DONE:
                break
            else:
                _fail(status)
        return Song(number=_lib.tolvarin_song_number(handle, index), midi=head + b"".join(track), ending=ending,
                    events=events, text=text, text_type=text_type, ran_past_next_song=ran_past)


def convert(data, threads=1):
    """Converts every song of the container `data` (bytes, bytearray,
    memoryview, mmap or any other bytes-like object) and returns them in
    order, a list of Song. `threads`: 1 converts on the calling thread, 0 on
    as many as there are processors (at most 8); tracks under 4 MiB take one.
    Raises NotBytesLike, ImageTooLarge, NoMemory or TrackTooLong, each an
    Error with the status and a plain message."""
    if not isinstance(threads, int) or threads < 0:
        raise ValueError(f"threads must be a count of 0 or more, not {threads!r}")
    with _Session(data) as session:
        status = _lib.tolvarin_set_threads(session.handle, threads)
        if status != _OK:
            _fail(status, Error)
        return [session.song(index) for index in range(_lib.tolvarin_song_count(session.handle))]


def plan(data):
    """Where the songs of the container `data` are, without converting them."""
    with _Session(data) as session:
        handle = session.handle
        songs = tuple(PlannedSong(number=_lib.tolvarin_song_number(handle, index),
                                  position=_lib.tolvarin_song_position(handle, index),
                                  output_bound=_lib.tolvarin_output_bound(handle, index))
                      for index in range(_lib.tolvarin_song_count(handle)))
        return Plan(songs=songs, walk_end=WalkEnd(_lib.tolvarin_walk_end(handle)),
                    stopped_at=_lib.tolvarin_walk_stopped_at(handle))
