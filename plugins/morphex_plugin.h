/*
 * morphex_plugin.h - the contract between Morphex and a converter plug-in.
 *
 * A plug-in is a DLL named cnv*.dll that exports one function, _DLL_enum
 * (exactly this name, leading underscore included), and one converter
 * function per format it declares.  This header is plain C (C89 with
 * <stdint.h>) so that a plug-in can be written in C or C++.
 *
 * Record layout (packed, no padding, little-endian):
 *
 *   offset  size  field
 *        0    64  name       display name, ANSI, NUL inside the field
 *       64     5  ext        output extension without the dot, NUL inside
 *       69  4|8   converter  convert_fn or NULL (unaligned)
 *   73|77     4  reserved   not interpreted by the host
 *
 *   32-bit Windows (i686):  converter is 4 bytes, record is 77 bytes.
 *   64-bit Windows (x86_64): converter is 8 bytes, record is 81 bytes.
 *
 * Records of one list lie back to back at sizeof(format_entry).
 */
#ifndef MORPHEX_PLUGIN_H
#define MORPHEX_PLUGIN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Converter results.  Any value other than -1 and -2 counts as success. */
#define CONVERT_OK            0
#define CONVERT_WRONG_FORMAT (-1)
#define CONVERT_EMPTY_INPUT  (-2)

/* The two lists a plug-in is asked for. */
#define FORMAT_LIST_SOURCE 0
#define FORMAT_LIST_TARGET 1

#define FORMAT_NAME_SIZE 64 /* at most 63 characters and the NUL */
#define FORMAT_EXT_SIZE   5 /* at most 4 characters and the NUL */

/* The exported name the host looks up with GetProcAddress. */
#define PLUGIN_ENUM_EXPORT "_DLL_enum"
#define PLUGIN_LOST_EXPORT "_DLL_lost"

/*
 * in:  binary stream opened "r+b", positioned at the start.
 * out: binary stream opened "w+b", empty, positioned at the start.
 * Both belong to the host's C runtime (msvcrt.dll); a converter must not
 * close them.  Build the plug-in against msvcrt.dll, never a second CRT.
 */
typedef int32_t(__cdecl *convert_fn)(FILE *in, FILE *out);

#pragma pack(push, 1)
typedef struct format_entry {
    char name[FORMAT_NAME_SIZE];
    char ext[FORMAT_EXT_SIZE];
    convert_fn converter;
    uint32_t reserved;
} format_entry;
#pragma pack(pop)

/*
 * first:  where to write the first record of the list asked for.
 * list:   FORMAT_LIST_SOURCE or FORMAT_LIST_TARGET.
 * always_one: always 1.
 * Returns the number of records written (0 when the list is empty).
 * The host gives room for far more than it accepts (64 per table).
 */
typedef int32_t(__cdecl *dll_enum_fn)(format_entry *first, int32_t list, int32_t always_one);
typedef int32_t(__cdecl *dll_lost_fn)(void);

/*
 * Optional export: the number of characters that the plug-in's most recent
 * converter call could not write in its target encoding and replaced (0
 * when nothing was lost).  The host calls it right after each successful
 * second stage whose target format the plug-in declared, and tells the user
 * which files lost characters.  A plug-in without it changes nothing.
 */
#define PLUGIN_LOST_EXPORT "_DLL_lost"
typedef int32_t(__cdecl *dll_lost_fn)(void);

/*
 * Optional export: why the plug-in's most recent converter call refused its
 * input, when it has more to say than the result (memory ran out, a limit
 * was met, the file is damaged).  After a converter of the plug-in returns
 * -1 or -2 the host calls it, on the same thread and before any other call
 * into the plug-in, and shows the text on a line of its own below the usual
 * notice.  One line of UTF-8, readable until the next call into the
 * plug-in; the host reads no more than 200 bytes of it and shows them cut at
 * a character boundary.  NULL or "" means no reason.  A crash in it costs
 * the reason alone.  A plug-in without it changes nothing.
 */
#define PLUGIN_REASON_EXPORT "_DLL_reason"
typedef const char *(__cdecl *dll_reason_fn)(void);

/*
 * Optional export: returns 1 when the plug-in's converters (and its
 * _DLL_lost and _DLL_reason, which then answer for the calling thread's
 * last call) may run on several threads at once, each call on streams of
 * its own.  The host asks once, at loading.  A plug-in without it, or
 * returning anything else, is called by one thread at a time: from its
 * converter's start until the host has asked _DLL_lost or _DLL_reason about
 * that call, no other thread enters it.
 */
#define PLUGIN_THREADS_EXPORT "_DLL_threads"
typedef int32_t(__cdecl *dll_threads_fn)(void);

#if defined(__cplusplus)
#define MORPHEX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define MORPHEX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

MORPHEX_STATIC_ASSERT(offsetof(format_entry, ext) == 64, "ext at offset 64");
MORPHEX_STATIC_ASSERT(offsetof(format_entry, converter) == 69, "converter at offset 69");
MORPHEX_STATIC_ASSERT(sizeof(format_entry) == 69 + sizeof(void *) + 4, "format_entry must be packed");
#if defined(_WIN64)
MORPHEX_STATIC_ASSERT(sizeof(format_entry) == 81, "64-bit record is 81 bytes");
#else
MORPHEX_STATIC_ASSERT(sizeof(format_entry) == 77, "32-bit record is 77 bytes");
#endif

/* A plug-in defines its init function as
 *     PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
 * The compiler's own decoration on i686 (__DLL_enum) is stripped by the
 * linker, so the export is named _DLL_enum on both architectures. */
#define PLUGIN_EXPORT __declspec(dllexport)

#ifdef __cplusplus
}
#endif

#endif /* MORPHEX_PLUGIN_H */
