/* The converter's C interface, for the web page and for other languages.
 *
 * A session holds a container image the caller keeps in memory, walks its
 * slots once, and converts one song at a time, handing the output out in
 * pieces so that no output need be held whole:
 *
 *   tolvarin_session* s = tolvarin_open(image, size);
 *   for (uint32_t i = 0; i < tolvarin_song_count(s); ++i) {
 *       int status = tolvarin_start_song(s, i);
 *       while ((status = tolvarin_next_piece(s)) == TOLVARIN_TRACK_PIECE ||
 *              status == TOLVARIN_HEAD_PIECE) {
 *           use tolvarin_piece_data(s), tolvarin_piece_size(s)
 *       }
 *       status is TOLVARIN_DONE, or an error
 *   }
 *   tolvarin_close(s);
 *
 * The track's pieces come in order: the output's bytes from offset 22 on.
 * The output's first 22 bytes, the song's head with its track length filled
 * in, come last, once the length is known. A piece stays valid until the
 * next call on the session.
 *
 * An output is at most tolvarin_output_bound(s, i) bytes: 22, plus 1.5
 * times the bytes from the song's track to the end of the image. Nothing
 * here prints, touches a file or keeps global state; every function may be
 * called from any one thread at a time per session, and sessions on other
 * threads go on at the same time.
 *
 * What a song costs: a song under way holds about 1 MiB of working memory
 * (its translation's chunks and their output) on one thread, and about
 * 3 MiB per thread on several (tolvarin_set_threads: 6 MiB on two, 24 MiB
 * on eight), from tolvarin_start_song until its head is handed out or the
 * session closes. The pieces and the head are that memory: copy what must
 * outlive the next call. */
#ifndef TOLVARIN_H
#define TOLVARIN_H

#include <stddef.h>
#include <stdint.h>

/* Exported from the shared library, which hides everything else. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
#ifdef __cplusplus
extern "C" {
#endif

#define TOLVARIN_VERSION_MAJOR 1
#define TOLVARIN_VERSION_MINOR 1
#define TOLVARIN_VERSION_PATCH 0
#define TOLVARIN_VERSION_STRING "1.1.0"

typedef struct tolvarin_session tolvarin_session;

/* The version of the library linked, "major.minor.patch": it may be newer
 * than the header's TOLVARIN_VERSION_STRING. */
const char* tolvarin_version(void);

/* Statuses. Zero and above: things that went well. */
enum {
    TOLVARIN_OK = 0,
    TOLVARIN_TRACK_PIECE = 1,  /* a piece of the track: the bytes after those before */
    TOLVARIN_HEAD_PIECE = 2,   /* the output's first 22 bytes, the last piece */
    TOLVARIN_DONE = 3,         /* the song's output is complete */
    TOLVARIN_JOIN = 4,         /* a split song meets its part: see tolvarin_join */
    TOLVARIN_NO_MEMORY = -1,
    TOLVARIN_TRACK_TOO_LONG = -2, /* the track would pass 4 GiB - 1 bytes, more than its length field counts */
    TOLVARIN_BAD_ARGUMENT = -3,   /* no such song, no song started, or a call out of turn */
    TOLVARIN_IMAGE_TOO_LARGE = -4 /* the image is 4 GiB or more */
};

/* A sentence in English for a status, for messages: never NULL ("unknown
 * status" for a value that is none of the above). */
const char* tolvarin_status_text(int status);

/* Why the walk over the slots found no further song. */
enum {
    TOLVARIN_WALK_ABSENT_SLOT = 0,    /* the next slot holds 0 */
    TOLVARIN_WALK_PAST_THE_END = 1,   /* the next song would start at or past the end */
    TOLVARIN_WALK_HEAD_CUT_SHORT = 2, /* the next song's 22-byte head does not fit */
    TOLVARIN_WALK_LAST_SLOT = 3,      /* four songs: there are no more slots */
    TOLVARIN_WALK_IMAGE_TOO_LARGE = 4 /* the image is 4 GiB or more (a session never has one) */
};

/* How a song's track ended. */
enum {
    TOLVARIN_END_OF_TRACK = 0, /* at its end-of-track event */
    TOLVARIN_END_OF_IMAGE = 1, /* the image ended behind a whole event, with no end of track */
    TOLVARIN_CUT_SHORT = 2     /* the image ended inside an event */
};

/* A session over `size` bytes at `image`, which must stay valid and
 * unchanged until tolvarin_close. NULL when `image` is NULL with a size,
 * the image is 4 GiB or more, or memory is short. */
tolvarin_session* tolvarin_open(const uint8_t* image, size_t size);
/* The same, saying why in *status (when status is not NULL): TOLVARIN_OK,
 * TOLVARIN_BAD_ARGUMENT (NULL image with a size), TOLVARIN_IMAGE_TOO_LARGE
 * or TOLVARIN_NO_MEMORY. */
tolvarin_session* tolvarin_open_with_status(const uint8_t* image, size_t size, int* status);
void tolvarin_close(tolvarin_session* session);

/* The threads each song started from now on is converted on, the calling
 * thread included: 1 (the default), 0 for one per processor the process may
 * use, at most 8. A track shorter than 4 MiB is converted on the calling
 * thread alone, whatever is asked. TOLVARIN_OK, or TOLVARIN_BAD_ARGUMENT for
 * no session. */
int tolvarin_set_threads(tolvarin_session* session, uint32_t threads);

/* The songs the slots lead to, 0 to 4, and why the walk stopped. */
uint32_t tolvarin_song_count(const tolvarin_session* session);
int tolvarin_walk_end(const tolvarin_session* session);
/* The position the walk stopped at, for a song past the end or cut short. */
uint32_t tolvarin_walk_stopped_at(const tolvarin_session* session);
/* Song `index` (0 for song 1): its number and where its head starts. */
uint32_t tolvarin_song_number(const tolvarin_session* session, uint32_t index);
uint32_t tolvarin_song_position(const tolvarin_session* session, uint32_t index);
uint64_t tolvarin_output_bound(const tolvarin_session* session, uint32_t index);

/* What song `index`'s track holds (a walk over its events); TOLVARIN_OK or
 * TOLVARIN_BAD_ARGUMENT. The answers stay until the next description; while
 * none has succeeded, tolvarin_track_ending answers TOLVARIN_BAD_ARGUMENT
 * and the others 0. */
int tolvarin_describe_song(tolvarin_session* session, uint32_t index);
int tolvarin_track_ending(const tolvarin_session* session);
int tolvarin_ran_past_next_song(const tolvarin_session* session);
uint32_t tolvarin_event_count(const tolvarin_session* session);
/* Whether a meta or system event of `type` outside the format's table was met. */
int tolvarin_met_unknown_meta_type(const tolvarin_session* session, uint32_t type);
/* The first text event (types 1-7): its type (0 when there is none) and its
 * bytes' place in the image. */
uint32_t tolvarin_text_type(const tolvarin_session* session);
uint32_t tolvarin_text_position(const tolvarin_session* session);
uint32_t tolvarin_text_length(const tolvarin_session* session);

/* Starts converting song `index`; TOLVARIN_OK, TOLVARIN_NO_MEMORY or
 * TOLVARIN_BAD_ARGUMENT. A song under way is abandoned. */
int tolvarin_start_song(tolvarin_session* session, uint32_t index);
/* The next piece of the song's output, or TOLVARIN_DONE, or an error. */
int tolvarin_next_piece(tolvarin_session* session);
const uint8_t* tolvarin_piece_data(const tolvarin_session* session);
size_t tolvarin_piece_size(const tolvarin_session* session);
/* The whole output's size, once TOLVARIN_DONE was returned. */
uint64_t tolvarin_output_size(const tolvarin_session* session);

/* One song on two converters that share no memory (two web workers, two
 * processes), each translating about half of its track:
 *
 *   this side:  tolvarin_start_song_split(s, i, split), then pieces as usual
 *   the other:  p = tolvarin_open_part(image + split, part_size, track_end),
 *               its pieces (TOLVARIN_TRACK_PIECE) until TOLVARIN_DONE,
 *               then tolvarin_part_end(p)
 *
 * The part is the image's bytes from `split` on: to the end of the image,
 * or fewer (to a little past where the song's track ends, say). Its
 * translation takes `split` for the start of an event with no running
 * status, which it usually is not; this side translates the track from its
 * start and, once past the split, looks for a place where its events and
 * the part's reading of them fall together. From there the part's output is
 * the rest of the song's track. When they meet, tolvarin_next_piece returns
 * TOLVARIN_JOIN, and tolvarin_join_offset says how much of the part's output
 * this side has handed out already. The caller then answers with
 * tolvarin_join, giving the part's numbers: 1, the song's track ends with
 * the part's output from the offset on (the next piece is the head, its
 * length counting those bytes), or 0, the part's output cannot be trusted
 * (it ran to the end of a part shorter than the image, where the image goes
 * on; or the numbers do not fit) and this side translates the rest itself.
 * A caller that gave the part up (its other side failed) answers with
 * part_size 0. When they do not meet, no TOLVARIN_JOIN comes and this side
 * translates the whole track. Either way the output is the one
 * tolvarin_start_song gives. */
int tolvarin_start_song_split(tolvarin_session* session, uint32_t index, uint32_t split);
uint64_t tolvarin_join_offset(const tolvarin_session* session);
int tolvarin_join(tolvarin_session* session, uint64_t part_size, uint64_t part_output, uint32_t part_end);
/* A session over a part: `track_end` (at most `size`) is where the song's
 * track is planned to end in the part, as a position in the part. */
tolvarin_session* tolvarin_open_part(const uint8_t* part, size_t size, uint32_t track_end);
/* Where the part's translation stopped, a position in the part, once its
 * tolvarin_next_piece returned TOLVARIN_DONE. */
uint32_t tolvarin_part_end(const tolvarin_session* session);

#ifdef __cplusplus
}
#endif
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#endif
