/* The state of a SHA-256 in progress as both languages see it: room for the system's context,
 * and the three calls of util/sha256.c that work on it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of room for libmd's SHA256_CTX: 208 on Debian's libmd, 104 on FreeBSD's. */
enum { SHA256_STATE_SIZE = 256 };

void sha256_state_init(void* state);
void sha256_state_update(void* state, const void* data, size_t size);
void sha256_state_final(void* state, uint8_t digest[32]);

#ifdef __cplusplus
}
#endif
