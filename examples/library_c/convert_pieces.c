/* Converts a container as the command line does, through the library's C
 * interface: reads it into memory and writes each song's output, as the
 * session hands it out in pieces, to OUTPUT_DIRECTORY as <base>_<n>.mid,
 * <base> being the container's name without its extension. The track's
 * pieces come first and are written from offset 22 on; the head, its track
 * length filled in, comes last and is written at the start.
 *
 *   convert_pieces songs/tune.dat out     writes out/tune_1.mid, out/tune_2.mid, ...
 *
 * Built against an installed library with CMake (see CMakeLists.txt here), or:
 *   cc -std=c11 -O2 convert_pieces.c $(pkg-config --cflags --libs tolvarin) -o convert_pieces
 * and into a program with no shared library at all:
 *   cc -static -std=c11 -O2 convert_pieces.c $(pkg-config --cflags --libs --static tolvarin) -o convert_pieces
 */
#include <tolvarin/tolvarin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_whole(const char* path, size_t* size) {
    FILE* in = fopen(path, "rb");
    unsigned char* image = NULL;
    size_t held = 0;
    size_t capacity = 0;
    if (in == NULL) return NULL;
    for (;;) {
        if (held == capacity) {
            unsigned char* grown;
            capacity = capacity ? capacity * 2 : 65536;
            grown = realloc(image, capacity);
            if (grown == NULL) break;
            image = grown;
        }
        {
            const size_t got = fread(image + held, 1, capacity - held, in);
            held += got;
            if (got == 0) {
                if (ferror(in)) break;
                fclose(in);
                *size = held;
                return image;
            }
        }
    }
    fclose(in);
    free(image);
    return NULL;
}

/* Writes one song's output to `path`; 0 when it is whole. */
static int write_song(tolvarin_session* session, uint32_t index, const char* path) {
    FILE* out;
    int status = tolvarin_start_song(session, index);
    if (status != TOLVARIN_OK) return 1;
    out = fopen(path, "wb");
    if (out == NULL || fseek(out, 22, SEEK_SET) != 0) {
        if (out != NULL) fclose(out);
        return 1;
    }
    while ((status = tolvarin_next_piece(session)) == TOLVARIN_TRACK_PIECE || status == TOLVARIN_HEAD_PIECE) {
        const size_t size = tolvarin_piece_size(session);
        if ((status == TOLVARIN_HEAD_PIECE && fseek(out, 0, SEEK_SET) != 0) ||
            fwrite(tolvarin_piece_data(session), 1, size, out) != size) {
            fclose(out);
            return 1;
        }
    }
    return (fclose(out) != 0 || status != TOLVARIN_DONE) ? 1 : 0;
}

int main(int argc, char** argv) {
    size_t size = 0;
    unsigned char* image;
    tolvarin_session* session;
    const char* name;
    size_t base_length;
    uint32_t i;
    int failed = 0;
    if (argc != 3) {
        fprintf(stderr, "usage: convert_pieces CONTAINER OUTPUT_DIRECTORY\n");
        return 2;
    }
    image = read_whole(argv[1], &size);
    if (image == NULL) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    session = tolvarin_open(image, size);
    if (session == NULL) {
        fprintf(stderr, "cannot open a session over %s\n", argv[1]);
        free(image);
        return 1;
    }
    name = strrchr(argv[1], '/') ? strrchr(argv[1], '/') + 1 : argv[1];
    base_length = strrchr(name, '.') ? (size_t)(strrchr(name, '.') - name) : strlen(name);
    for (i = 0; i < tolvarin_song_count(session) && !failed; ++i) {
        char path[4096];
        const int length = snprintf(path, sizeof path, "%s/%.*s_%u.mid", argv[2], (int)base_length, name,
                                    (unsigned)tolvarin_song_number(session, i));
        failed = length < 0 || (size_t)length >= sizeof path || write_song(session, i, path);
        if (failed) fprintf(stderr, "cannot convert song %u of %s\n", (unsigned)(i + 1), argv[1]);
    }
    tolvarin_close(session);
    free(image);
    return failed;
}
