/* The C interface's 1.1 calls made of its 1.0 ones, for the tests only:
 * conftest.py links this with a build's library that lacks them. */
#include <tolvarin/tolvarin.h>

const char* tolvarin_version(void) { return STAND_IN_VERSION; }

tolvarin_session* tolvarin_open_with_status(const uint8_t* image, size_t size, int* status) {
    tolvarin_session* session = NULL;
    int reason = TOLVARIN_BAD_ARGUMENT;
    if (image != NULL || size == 0) {
        reason = (uint64_t)size >> 32 ? -4 : (session = tolvarin_open(image, size)) ? TOLVARIN_OK : TOLVARIN_NO_MEMORY;
    }
    if (status != NULL) *status = reason;
    return session;
}

int tolvarin_set_threads(tolvarin_session* session, uint32_t threads) {
    (void)threads;
    return session != NULL ? TOLVARIN_OK : TOLVARIN_BAD_ARGUMENT;
}

const char* tolvarin_status_text(int status) {
    return status == TOLVARIN_NO_MEMORY ? "not enough memory" : status == -4 ? "4 GiB or more" : "unknown status";
}
