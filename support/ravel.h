/*
 * ravel.h - the file-name and text routines of ravel.dll.
 *
 * Texts are 8-bit and NUL-terminated; a routine that changes a text changes
 * it in place.  The path routines work in buffers of RAVEL_PATH_SIZE bytes
 * and never write past them.
 *
 * Name forms (documented here because callers and users see them):
 *   extension(path, ext)  "dir\name.old" -> "dir\name.ext"; without a dot in
 *                         the last component the extension is appended.
 *                         ext is given without the dot ("txt").
 *   extension_temp(path)  the extension replaced by "~mx" ("a.doc" ->
 *                         "a.~mx"); a name whose extension is already "~mx"
 *                         gets "~my", so the result always differs from the
 *                         input.
 *   extension_num(path)   "dir\name.ext" -> "dir\name_1.ext", "name_2.ext",
 *                         ... the first number under which no file exists.
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

RAVEL_API void *salloc(size_t size);
RAVEL_API int extension_temp(char *path);
RAVEL_API int extension(char *path, const char *ext);
RAVEL_API int existe(const char *path);
RAVEL_API int extension_num(char *path);
RAVEL_API void enreg_noms(const char *input, const char *output);
RAVEL_API void suppression_crlf(char *line);
RAVEL_API void strcnv(char *dst, const char *src, const unsigned char *table);
RAVEL_API int strapp(char *text, size_t size, char c);
RAVEL_API void minstr_ansi(char *text);
RAVEL_API int support_lfn(int drive);
RAVEL_API int sec_open_ro(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* RAVEL_H */
