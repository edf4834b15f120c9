/* Every code page the shipped plug-ins read and write, from one generated
 * table (make_code_pages.py): its Windows number, its name in the
 * intermediate form's header, its table to Unicode; and the names other
 * formats give them, a web page's charset labels and RTF's character
 * sets. */
#ifndef SHIPPED_CORE_CODE_PAGES_H
#define SHIPPED_CORE_CODE_PAGES_H

#include <stddef.h>
#include <stdint.h>

#include "shipped/core/buffer.h"

enum page_family { PAGE_FAMILY_UTF_8, PAGE_FAMILY_UTF_16, PAGE_FAMILY_EIGHT_BIT, PAGE_FAMILY_DOUBLE_BYTE };

/* A double-byte page: each single byte's character (DBCS_LEAD for a lead
 * byte, DBCS_NONE for one the page leaves undefined), each lead byte's row
 * (1 and up), each row's characters for trail bytes DBCS_TRAIL_FIRST to
 * 0xFF (0 where undefined), and the characters whose encoder's choice is
 * not the first sequence in byte order. */
#define DBCS_LEAD 0xFFFF
#define DBCS_NONE 0xFFFE
#define DBCS_TRAIL_FIRST 0x40
typedef struct double_byte_table {
    const uint16_t *singles;
    const uint8_t *lead_row;
    const uint16_t *const *pairs; /* each row 256 - DBCS_TRAIL_FIRST long; pages share equal rows */
    const uint32_t *preferred; /* code point << 16 | sequence */
    int preferred_count;
} double_byte_table;

typedef struct code_page_entry {
    const char *label; /* in the intermediate form's header */
    unsigned number;   /* Windows' */
    enum page_family family;
    const uint16_t *to_unicode;      /* eight-bit pages: a byte the page leaves undefined is the C1 control
                                      * or Latin-1 letter of its value, or U+F700 + byte where the page
                                      * has that letter elsewhere, so that it comes back unchanged */
    const double_byte_table *double_byte;
} code_page_entry;

#include "shipped/core/code_page_tables.h"

extern const code_page_entry code_page_entries[CODE_PAGE_COUNT];
/* Letter without accent for U+FOLD_FIRST to FOLD_LAST, 0 where none. */
extern const char fold_to_ascii[FOLD_LAST - FOLD_FIRST + 1];

/* The page of a Windows number, or of a header's name; NULL when unknown. */
const code_page_entry *code_page_by_number(unsigned number);
const code_page_entry *code_page_by_label(const char *label, size_t length);

/* The Windows number of a web page's charset label (the WHATWG labels,
 * ASCII case ignored), 0 when unknown. */
int code_page_of_web_label(const char *label, size_t length);
/* The Windows number of an RTF character set (\fcharset), 0 when it names
 * none of its own. */
int code_page_of_rtf_charset(int charset);

/* The user's legacy code page: the user locale's, not the process's (1252
 * where the locale names none). */
unsigned user_ansi_code_page(void);

/* Appends the bytes s[0..n) of code page `number` as UTF-8; returns 0 when
 * the page is unknown.  A byte sequence a double-byte page leaves undefined
 * is U+FFFD. */
int put_code_page_text(buffer *b, int number, const unsigned char *s, size_t n);
/* The character of one byte of an eight-bit page, its undefined bytes
 * being those of the same value. */
uint32_t eight_bit_char(const code_page_entry *page, unsigned char byte);

#endif
