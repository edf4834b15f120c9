/* cnvreg*.dll - test plug-ins for discovery and the format tables, built
 * from this one source with options:
 *   SOURCE_COUNT, TARGET_COUNT  records written for each list (default 0)
 *   NAME_PREFIX                 start of every name ("Reg")
 *   PLUGIN_MARK                 value of every record's reserved field
 *   RESULT                      a fixed result instead of the count
 *   FULL_FIELDS                 first record's name and ext fill their fields
 *                               without a NUL
 *   NULL_TARGET                 the first target record has no converter
 *   NO_ENUM                     no _DLL_enum at all */
#include <stdio.h>
#include <string.h>
#include "plugins/morphex_plugin.h"

#ifndef SOURCE_COUNT
#define SOURCE_COUNT 0
#endif
#ifndef TARGET_COUNT
#define TARGET_COUNT 0
#endif
#ifndef NAME_PREFIX
#define NAME_PREFIX "Reg"
#endif
#ifndef PLUGIN_MARK
#define PLUGIN_MARK 0
#endif

#ifndef NO_ENUM
static int32_t __cdecl pass_through(FILE *in, FILE *out)
{
    int c;
    while ((c = fgetc(in)) != EOF)
        fputc(c, out);
    return 0;
}
#endif

#ifdef NO_ENUM
PLUGIN_EXPORT int32_t __cdecl reg_no_enum(void)
{
    return 0;
}
#else
PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    const int count = list == FORMAT_LIST_SOURCE ? SOURCE_COUNT : TARGET_COUNT;
    int i;
    (void)always_one;
    for (i = 0; i < count; ++i) {
        format_entry *entry = first + i;
        memset(entry, 0, sizeof *entry);
        snprintf(entry->name, sizeof entry->name, "%s %s %03d", NAME_PREFIX,
                 list == FORMAT_LIST_SOURCE ? "source" : "target", i);
        strcpy(entry->ext, "reg");
        entry->converter = pass_through;
        entry->reserved = PLUGIN_MARK;
    }
#ifdef FULL_FIELDS
    if (count > 0) {
        memset(first->name, 'N', sizeof first->name);
        memset(first->ext, 'e', sizeof first->ext);
    }
#endif
#ifdef NULL_TARGET
    if (list == FORMAT_LIST_TARGET && count > 0)
        first->converter = NULL;
#endif
#ifdef RESULT
    return RESULT;
#else
    return count;
#endif
}
#endif
