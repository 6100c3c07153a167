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
 * called from any one thread at a time per session. */
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

typedef struct tolvarin_session tolvarin_session;

/* Statuses. Zero and above: things that went well. */
enum {
    TOLVARIN_OK = 0,
    TOLVARIN_TRACK_PIECE = 1,  /* a piece of the track: the bytes after those before */
    TOLVARIN_HEAD_PIECE = 2,   /* the output's first 22 bytes, the last piece */
    TOLVARIN_DONE = 3,         /* the song's output is complete */
    TOLVARIN_NO_MEMORY = -1,
    TOLVARIN_TRACK_TOO_LONG = -2, /* the track would pass 4 GiB - 1 bytes, more than its length field counts */
    TOLVARIN_BAD_ARGUMENT = -3    /* no such song, no song started, or a call out of turn */
};

/* Why the walk over the slots found no further song. */
enum {
    TOLVARIN_WALK_ABSENT_SLOT = 0,    /* the next slot holds 0 */
    TOLVARIN_WALK_PAST_THE_END = 1,   /* the next song would start at or past the end */
    TOLVARIN_WALK_HEAD_CUT_SHORT = 2, /* the next song's 22-byte head does not fit */
    TOLVARIN_WALK_LAST_SLOT = 3       /* four songs: there are no more slots */
};

/* How a song's track ended. */
enum {
    TOLVARIN_END_OF_TRACK = 0, /* at its end-of-track event */
    TOLVARIN_END_OF_IMAGE = 1, /* the image ended behind a whole event, with no end of track */
    TOLVARIN_CUT_SHORT = 2     /* the image ended inside an event */
};

/* A session over `size` bytes at `image`, which must stay valid and
 * unchanged until tolvarin_close. NULL when memory is short or the image is
 * 4 GiB or more. */
tolvarin_session* tolvarin_open(const uint8_t* image, size_t size);
void tolvarin_close(tolvarin_session* session);

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
 * TOLVARIN_BAD_ARGUMENT. The answers stay until the next description. */
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

#ifdef __cplusplus
}
#endif
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#endif
