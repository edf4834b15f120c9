/* Why a converter of a shipped plug-in refused its input: the one-line text
 * the host shows under its notice (the _DLL_reason export).
 *
 * Each converter clears it when it begins; the first reason given in a call
 * stands, since what fails after it (an output cut short, a block left
 * unread) follows from it.  It is the calling thread's own, so conversions
 * on other threads never see it. */
#ifndef SHIPPED_REFUSAL_H
#define SHIPPED_REFUSAL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host shows at most 200 bytes of a reason. */
#define REFUSAL_SIZE 201

#define REFUSAL_OUT_OF_MEMORY "There was not enough memory to convert it."
#define REFUSAL_READ_ERROR "It could not be read to its end."
#define REFUSAL_WRITE_ERROR "The converted text could not be written."

void refusal_clear(void);
/* Gives the reason unless the call has one already; returns 0 so that a
 * refusal can set it and fail in one statement. */
int refusal_set(const char *reason);
int refusal_setf(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* "It is not FORMAT: it begins with 4D 5A 90 00 ..." (at most 8 bytes),
 * for input that does not begin as the format must. */
int refusal_first_bytes(const char *format_name, const unsigned char *s, size_t n);
/* "It is not FORMAT: byte N is a NUL ...", for input that holds one. */
int refusal_binary(const char *format_name, const unsigned char *s, size_t n, size_t nul_at);
const char *refusal_reason(void);

#ifdef __cplusplus
}
#endif

#endif
