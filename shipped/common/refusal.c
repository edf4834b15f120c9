#include "shipped/common/refusal.h"

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

int refusal_first_bytes(const char *format_name, const unsigned char *s, size_t n)
{
    static const char hex[] = "0123456789ABCDEF";
    char bytes[8 * 3 + 1] = "";
    size_t i, at = 0;
    for (i = 0; i < n && i < 8; ++i) {
        bytes[at++] = ' ';
        bytes[at++] = hex[s[i] >> 4];
        bytes[at++] = hex[s[i] & 15];
    }
    bytes[at] = '\0';
    return refusal_setf("It is not %s: it begins with%s%s", format_name, bytes, n > 8 ? " ..." : ".");
}

const char *refusal_reason(void)
{
    return reason;
}

PLUGIN_EXPORT const char *__cdecl _DLL_reason(void)
{
    return reason[0] ? reason : NULL;
}
