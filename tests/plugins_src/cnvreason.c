/* cnvreason.dll - a test plug-in whose converters refuse as their input
 * says, and whose _DLL_reason then says why in the way the input names.
 *
 * An input "RESULT KIND" (say "-1 lines") makes "Reason read" and "Reason
 * write" return RESULT (-1 or -2) and _DLL_reason give, for KIND:
 *   plain   a reason of one line
 *   long    250 bytes, a three-byte character at bytes 198 to 200
 *   lines   a reason with line breaks and a tab inside
 *   null    NULL
 *   empty   ""
 *   crash   nothing: _DLL_reason reads through a null pointer
 *   endless 250 bytes without a NUL, right before a page that cannot be read
 *   short   10 bytes without a NUL, right before that page
 *   accents "Café: € sign"
 * Any other input is copied and the call succeeds.  "Reason pass" and
 * "Reason keep" copy whatever they are given, so that the other stage can
 * be the one that refuses, and leave the reason as it was: a host that
 * asked the wrong plug-in would find the last one still there.
 *
 * Built a second time as cnvnoreason.dll without the export
 * (NO_REASON_EXPORT), its formats named "Quiet ..." instead. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "plugins/morphex_plugin.h"
#include "tests/plugins_src/test_plugin.h"

#ifdef NO_REASON_EXPORT
#define FORMAT_PREFIX "Quiet "
#else
#define FORMAT_PREFIX "Reason "
#endif

#define INPUT_SIZE 64
#define LONG_REASON_SIZE 250
#define SHORT_REASON_SIZE 10

static const char *reason;
static int reason_crashes;
static char long_reason[LONG_REASON_SIZE + 1];

/* The last `size` bytes before a page that cannot be read. */
static char *before_unreadable_page(size_t size)
{
    static char *page_end;
    if (!page_end) {
        SYSTEM_INFO system;
        char *base;
        DWORD previous;
        GetSystemInfo(&system);
        base = (char *)VirtualAlloc(NULL, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!base)
            return NULL;
        VirtualProtect(base + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &previous);
        page_end = base + system.dwPageSize;
    }
    memset(page_end - size, size == LONG_REASON_SIZE ? 'e' : 's', size);
    return page_end - size;
}

/* "Limit met: " then x up to byte 198, the euro sign (E2 82 AC) at bytes
 * 198 to 200, and y to byte 250. */
static const char *long_text(void)
{
    static const char head[] = "Limit met: ";
    memset(long_reason, 'y', LONG_REASON_SIZE);
    memset(long_reason, 'x', 198);
    memcpy(long_reason, head, sizeof head - 1);
    memcpy(long_reason + 198, "\xE2\x82\xAC", 3);
    long_reason[LONG_REASON_SIZE] = '\0';
    return long_reason;
}

static void choose_reason(const char *kind)
{
    reason_crashes = strcmp(kind, "crash") == 0;
    if (strcmp(kind, "plain") == 0)
        reason = "The table in line 12 has no end.";
    else if (strcmp(kind, "long") == 0)
        reason = long_text();
    else if (strcmp(kind, "lines") == 0)
        reason = "First line\r\nsecond\tline\nthird line\r\n";
    else if (strcmp(kind, "accents") == 0)
        reason = "Caf\xC3\xA9: \xE2\x82\xAC sign";
    else if (strcmp(kind, "empty") == 0)
        reason = "";
    else if (strcmp(kind, "endless") == 0)
        reason = before_unreadable_page(LONG_REASON_SIZE);
    else if (strcmp(kind, "short") == 0)
        reason = before_unreadable_page(SHORT_REASON_SIZE);
    else
        reason = NULL;
}

static int32_t convert(FILE *in, FILE *out, int obey)
{
    char text[INPUT_SIZE + 1];
    char kind[INPUT_SIZE + 1];
    int result;
    size_t got = fread(text, 1, INPUT_SIZE, in);
    text[got] = '\0';
    if (obey && sscanf(text, "%d %64s", &result, kind) == 2 &&
        (result == CONVERT_WRONG_FORMAT || result == CONVERT_EMPTY_INPUT)) {
        choose_reason(kind);
        return result;
    }
    do
        fwrite(text, 1, got, out);
    while ((got = fread(text, 1, INPUT_SIZE, in)) > 0);
    return CONVERT_OK;
}

static int32_t __cdecl refusing(FILE *in, FILE *out)
{
    return convert(in, out, 1);
}

static int32_t __cdecl copying(FILE *in, FILE *out)
{
    return convert(in, out, 0);
}

#ifndef NO_REASON_EXPORT
PLUGIN_EXPORT const char *__cdecl _DLL_reason(void)
{
    if (reason_crashes) {
        const char *const *volatile nowhere = NULL;
        return *nowhere;
    }
    return reason;
}
#endif

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    if (list == FORMAT_LIST_SOURCE) {
        put_entry(first, FORMAT_PREFIX "read", "", refusing);
        put_entry(first + 1, FORMAT_PREFIX "pass", "", copying);
    } else {
        put_entry(first, FORMAT_PREFIX "write", "rsn", refusing);
        put_entry(first + 1, FORMAT_PREFIX "keep", "kpt", copying);
    }
    return 2;
}
