/* The calls a 1.1 library adds to the C interface (its version, the status
 * of a refused open, the threads of a session, a status's text), made of
 * the 1.0 calls for a build whose library does not have them yet, so that
 * the module's tests run against it. conftest.py builds it, linked with
 * that library, only when the library lacks them. */
#include <tolvarin/tolvarin.h>

#define STAND_IN_IMAGE_TOO_LARGE (-4)

const char* tolvarin_version(void) { return STAND_IN_VERSION; }

tolvarin_session* tolvarin_open_with_status(const uint8_t* image, size_t size, int* status) {
    tolvarin_session* session = NULL;
    int reason = TOLVARIN_OK;
    if (image == NULL && size > 0) {
        reason = TOLVARIN_BAD_ARGUMENT;
    } else if ((uint64_t)size >= ((uint64_t)1 << 32)) {
        reason = STAND_IN_IMAGE_TOO_LARGE;
    } else {
        session = tolvarin_open(image, size);
        if (session == NULL) reason = TOLVARIN_NO_MEMORY;
    }
    if (status != NULL) *status = reason;
    return session;
}

int tolvarin_set_threads(tolvarin_session* session, uint32_t threads) {
    (void)threads;
    return session != NULL ? TOLVARIN_OK : TOLVARIN_BAD_ARGUMENT;
}

const char* tolvarin_status_text(int status) {
    switch (status) {
    case TOLVARIN_OK: return "success";
    case TOLVARIN_NO_MEMORY: return "not enough memory";
    case TOLVARIN_TRACK_TOO_LONG: return "a track would be longer than 4 GiB - 1 bytes";
    case TOLVARIN_BAD_ARGUMENT: return "a bad argument";
    case STAND_IN_IMAGE_TOO_LARGE: return "the container is 4 GiB or more";
    default: return "unknown status";
    }
}
