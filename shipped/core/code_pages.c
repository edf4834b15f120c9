/* The code pages' tables and every name they go by. */
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#endif

#define CODE_PAGE_TABLES_DEFINE
#include "shipped/core/code_pages.h"

const code_page_entry *code_page_by_number(unsigned number)
{
    size_t i;
    for (i = 0; i < CODE_PAGE_COUNT; ++i)
        if (code_page_entries[i].number == number)
            return &code_page_entries[i];
    return NULL;
}

const code_page_entry *code_page_by_label(const char *label, size_t length)
{
    size_t i;
    for (i = 0; i < CODE_PAGE_COUNT; ++i)
        if (strlen(code_page_entries[i].label) == length && memcmp(code_page_entries[i].label, label, length) == 0)
            return &code_page_entries[i];
    return NULL;
}

typedef struct web_label {
    const char *label;
    int code_page;
} web_label;

/* As browsers take them: ISO-8859-1 and ASCII are windows-1252, whose
 * printable characters they hold, and so on. */
static const web_label web_labels[] = {
    {"utf-8", 65001}, {"utf8", 65001}, {"unicode-1-1-utf-8", 65001},
    {"windows-1252", 1252}, {"cp1252", 1252}, {"iso-8859-1", 1252}, {"iso8859-1", 1252}, {"latin1", 1252},
    {"l1", 1252}, {"us-ascii", 1252}, {"ascii", 1252}, {"x-cp1252", 1252}, {"iso_8859-1", 1252},
    {"windows-1250", 1250}, {"cp1250", 1250}, {"windows-1251", 1251}, {"cp1251", 1251},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"iso-8859-9", 1254}, {"latin5", 1254},
    {"windows-1255", 1255}, {"windows-1256", 1256}, {"windows-1257", 1257}, {"windows-1258", 1258},
    {"windows-874", 874}, {"tis-620", 874}, {"iso-8859-2", 28592}, {"latin2", 28592}, {"iso-8859-5", 28595},
    {"iso-8859-7", 28597}, {"greek", 28597}, {"iso-8859-15", 28605}, {"latin9", 28605}, {"koi8-r", 20866},
    {"shift_jis", 932}, {"shift-jis", 932}, {"sjis", 932}, {"windows-31j", 932}, {"gbk", 936}, {"gb2312", 936},
    {"gb18030", 936}, {"big5", 950}, {"euc-kr", 949}, {"ks_c_5601-1987", 949},
    /* a page that calls itself UTF-16 without a byte order mark is ASCII-compatible text */
    {"utf-16", 65001}, {"utf-16le", 65001}, {"utf-16be", 65001},
};

int code_page_of_web_label(const char *label, size_t length)
{
    size_t i, j;
    for (i = 0; i < sizeof web_labels / sizeof *web_labels; ++i) {
        const char *known = web_labels[i].label;
        if (strlen(known) != length)
            continue;
        for (j = 0; j < length && ascii_lower((unsigned char)label[j]) == known[j]; ++j)
            ;
        if (j == length)
            return web_labels[i].code_page;
    }
    return 0;
}

int code_page_of_rtf_charset(int charset)
{
    switch (charset) {
    case 77: return 10000;
    case 78: return 10001;
    case 79: return 10003;
    case 80: return 10008;
    case 81: return 10002;
    case 83: return 10005;
    case 84: return 10004;
    case 85: return 10006;
    case 89: return 10007;
    case 128: return 932;
    case 129: return 949;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    }
    return 0;
}

uint32_t eight_bit_char(const code_page_entry *page, unsigned char byte)
{
    const uint32_t c = page->to_unicode[byte];
    /* a document shows the byte's own value, not the private character
     * that keeps a text's bytes apart */
    return (c & 0xFF00) == 0xF700 ? c & 0xFF : c;
}

static void put_double_byte_text(buffer *b, const double_byte_table *table, const unsigned char *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const unsigned char byte = s[i];
        const uint32_t single = table->singles[byte];
        if (byte < 0x80) {
            put_byte(b, byte);
            ++i;
        } else if (single == DBCS_LEAD) {
            const uint32_t c = i + 1 < n && s[i + 1] >= DBCS_TRAIL_FIRST
                                   ? table->pairs[table->lead_row[byte] - 1][s[i + 1] - DBCS_TRAIL_FIRST]
                                   : 0;
            put_utf8(b, c ? c : 0xFFFD);
            i += c ? 2 : 1;
        } else {
            put_utf8(b, single == DBCS_NONE ? 0xFFFD : single);
            ++i;
        }
    }
}

int put_code_page_text(buffer *b, int number, const unsigned char *s, size_t n)
{
    const code_page_entry *page = code_page_by_number((unsigned)number);
    size_t i;
    if (!page)
        return 0;
    if (page->family == PAGE_FAMILY_DOUBLE_BYTE) {
        put_double_byte_text(b, page->double_byte, s, n);
        return 1;
    }
    if (page->family != PAGE_FAMILY_EIGHT_BIT)
        return 0;
    for (i = 0; i < n; ++i) {
        if (s[i] < 0x80)
            put_byte(b, s[i]);
        else
            put_utf8(b, eight_bit_char(page, s[i]));
    }
    return 1;
}

unsigned user_ansi_code_page(void)
{
    unsigned number = 0;
#ifdef _WIN32
    char text[8] = "";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text);
    number = (unsigned)strtoul(text, NULL, 10);
#endif
    return number ? number : 1252;
}
