/* SHA-256 through the system's libmd: the one file that includes its header, which FreeBSD's
 * base system and Debian's libmd-dev both ship with the same calls. */
#include "util/sha256_state.h"

#include <sha256.h>

_Static_assert(sizeof(SHA256_CTX) <= SHA256_STATE_SIZE, "libmd's context outgrows its room");
_Static_assert(_Alignof(SHA256_CTX) <= 8, "libmd's context needs a stricter alignment");

void sha256_state_init(void* state) {
  SHA256_Init((SHA256_CTX*)state);
}

void sha256_state_update(void* state, const void* data, size_t size) {
  SHA256_Update((SHA256_CTX*)state, data, size);
}

void sha256_state_final(void* state, uint8_t digest[32]) {
  SHA256_Final(digest, (SHA256_CTX*)state);
}
