/*
 * ravel.h - the file-name and text routines of ravel.dll.
 *
 * Texts are 8-bit and NUL-terminated; a routine that changes a text changes
 * it in place.  The path routines work in buffers of RAVEL_PATH_SIZE bytes
 * and never write past them: when a result would not fit (more than 255
 * characters) they return -1 and leave the path as it was.  They return 0
 * on success.
 *
 * Only the last path component carries an extension: everything after its
 * last dot.  A dot in a directory name ("old.v2\readme") is not one.
 *
 * Name forms (documented here because callers and users see them):
 *   extension(path, ext)  "dir\name.old" -> "dir\name.ext"; without a dot in
 *                         the last component the extension is appended
 *                         ("dir\readme" -> "dir\readme.ext"); of several dots
 *                         only the last counts ("a.b.doc" -> "a.b.ext").
 *                         ext is given without the dot ("txt"); an empty ext
 *                         leaves the name without extension.
 *   extension_temp(path)  the extension replaced by "~mx" ("a.doc" ->
 *                         "a.~mx"); a name whose extension is already "~mx"
 *                         gets "~my", so the result always differs from the
 *                         input.  The name is not tested for existence.
 *   extension_num(path)   "dir\name.ext" -> "dir\name_1.ext", "name_2.ext",
 *                         ... the first number under which nothing exists
 *                         (neither file nor directory, tested with existe).
 *   extension_numbered(path, n)  the n-th name extension_num tries
 *                         ("dir\name.ext", 2 -> "dir\name_2.ext"), not tested
 *                         for existence; -1 for n = 0 or n >= 1000000, the
 *                         numbers extension_num does not try.
 */
#ifndef RAVEL_H
#define RAVEL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef RAVEL_BUILDING
#define RAVEL_API __declspec(dllexport)
#else
#define RAVEL_API __declspec(dllimport)
#endif

#define RAVEL_PATH_SIZE 256

/* size zeroed bytes that stay valid until the process ends; NULL when the
   memory cannot be had. */
RAVEL_API void *salloc(size_t size);
RAVEL_API int extension_temp(char *path);
RAVEL_API int extension(char *path, const char *ext);
/* Non-zero when a file or directory of that name exists. */
RAVEL_API int existe(const char *path);
/* -1 also when no free number is found (path unchanged). */
RAVEL_API int extension_num(char *path);
RAVEL_API int extension_numbered(char *path, unsigned number);
/* Records the names of the input and the output of the conversion stage
   about to run (copies, cut to 255 bytes at a character boundary). */
RAVEL_API void enreg_noms(const char *input, const char *output);
/* The names the calling thread last gave to enreg_noms ("" before its
   first call): each thread converting records its own. */
RAVEL_API void enreg_noms_last(const char **input, const char **output);
/* Removes every CR and LF at the end of line. */
RAVEL_API void suppression_crlf(char *line);
/* dst[i] = table[(unsigned char)src[i]] up to src's terminator, which is
   copied too; dst may be src.  When the ANSI code page is UTF-8, only the
   one-byte characters go through the table: a character of two bytes or more
   is copied as it is (a broken byte goes through the table). */
RAVEL_API void strcnv(char *dst, const char *src, const unsigned char *table);
/* Appends c to text, a buffer of size bytes; -1 (text unchanged) when it
   is full. */
RAVEL_API int strapp(char *text, size_t size, char c);
/* Lower case in the ANSI code page: byte by byte (CharLowerBuffA) in an
   8-bit code page; in UTF-8 every letter with a lower case that takes no more
   bytes than the letter (Latin, Greek, Cyrillic ...).  Never grows. */
RAVEL_API void minstr_ansi(char *text);
/* Whether the drive (0 for A, -1 for the current drive) takes names longer
   than 8.3: 1 or 0 (also 0 when the drive cannot be asked). */
RAVEL_API int support_lfn(int drive);
/* A runtime file descriptor open for binary reading (close with _close), or
   -1. */
RAVEL_API int sec_open_ro(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* RAVEL_H */
