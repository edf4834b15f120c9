#include "shipped/core/refusal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "plugins/morphex_plugin.h"

static _Thread_local char reason[REFUSAL_SIZE];

void refusal_clear(void)
{
    reason[0] = '\0';
}

/* Never half a character at the end of a cut text. */
static void end_on_character(char *text)
{
    size_t length = strlen(text);
    size_t start = length;
    while (start > 0 && ((unsigned char)text[start - 1] & 0xC0) == 0x80)
        --start;
    if (start > 0) {
        const unsigned char lead = (unsigned char)text[start - 1];
        const size_t wanted = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length - (start - 1) < wanted)
            text[start - 1] = '\0';
    }
}

int refusal_setf(const char *format, ...)
{
    va_list args;
    if (reason[0])
        return 0;
    va_start(args, format);
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    end_on_character(reason);
    return 0;
}

int refusal_set(const char *text)
{
    return refusal_setf("%s", text);
}

/* " 4D 5A 90 00 ..." or " 4D 5A.": the first eight bytes, and whether more follow. */
static void describe_first_bytes(char *text, const unsigned char *s, size_t n)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t i, at = 0;
    for (i = 0; i < n && i < 8; ++i) {
        text[at++] = ' ';
        text[at++] = hex[s[i] >> 4];
        text[at++] = hex[s[i] & 15];
    }
    memcpy(text + at, n > 8 ? " ..." : ".", n > 8 ? 5 : 2);
}

int refusal_first_bytes(const char *format_name, const unsigned char *s, size_t n)
{
    char bytes[8 * 3 + 5];
    describe_first_bytes(bytes, s, n);
    return refusal_setf("It is not %s: it begins with%s", format_name, bytes);
}

int refusal_binary(const char *format_name, const unsigned char *s, size_t n, size_t nul_at)
{
    char bytes[8 * 3 + 5];
    describe_first_bytes(bytes, s, n);
    return refusal_setf("It is not %s: byte %llu is a NUL, which binary files hold and text never does. It begins "
                        "with%s",
                        format_name, (unsigned long long)nul_at, bytes);
}

const char *refusal_reason(void)
{
    return reason;
}

PLUGIN_EXPORT const char *__cdecl _DLL_reason(void)
{
    return reason[0] ? reason : NULL;
}
