/* UTF-8 and UTF-16, decoded and encoded once for every shipped plug-in.
 * The decoders take the forms Unicode allows and nothing else: no overlong
 * form, no surrogate written as a character, nothing past U+10FFFF. */
#ifndef SHIPPED_CORE_UTF_H
#define SHIPPED_CORE_UTF_H

#include <stddef.h>
#include <stdint.h>

#define BAD_UTF8 0xFFFFFFFFu

/* The length of the UTF-8 sequence that a lead byte begins; 0 for ASCII,
 * for continuations and for bytes no valid sequence begins with. */
extern const uint8_t utf8_lead_length[256];

/* The character whose UTF-8 sequence begins at p (not ASCII), and its
 * length; 0 when it is not valid or longer than `available` bytes. */
static inline size_t utf8_decode(const unsigned char *p, size_t available, uint32_t *code_point)
{
    const size_t length = utf8_lead_length[p[0]];
    uint32_t c;
    if (length == 0 || length > available || (p[1] & 0xC0) != 0x80)
        return 0;
    if (length == 2) {
        *code_point = (uint32_t)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        return 2;
    }
    if ((p[2] & 0xC0) != 0x80)
        return 0;
    if (length == 3) {
        c = (uint32_t)(p[0] & 0x0F) << 12 | (uint32_t)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))
            return 0;
        *code_point = c;
        return 3;
    }
    if ((p[3] & 0xC0) != 0x80)
        return 0;
    c = (uint32_t)(p[0] & 0x07) << 18 | (uint32_t)(p[1] & 0x3F) << 12 | (uint32_t)(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    if (c < 0x10000 || c > 0x10FFFF)
        return 0;
    *code_point = c;
    return 4;
}

/* The same where four bytes can always be read from p: the two- and
 * three-byte forms of the scripts of the world without a look-up. */
static inline size_t utf8_take(const unsigned char *p, uint32_t *code_point)
{
    if (p[0] < 0xE0) {
        if (p[0] < 0xC2 || (p[1] & 0xC0) != 0x80)
            return 0;
        *code_point = (uint32_t)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        return 2;
    }
    if (p[0] < 0xF0) {
        uint32_t v;
        if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80)
            return 0;
        v = (uint32_t)(p[0] & 0x0F) << 12 | (uint32_t)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))
            return 0;
        *code_point = v;
        return 3;
    }
    return utf8_decode(p, 4, code_point);
}

/* One character at s[*pos] of s[0..size), ASCII included, advancing;
 * BAD_UTF8 when it is not valid. */
static inline uint32_t next_utf8(const unsigned char *s, size_t size, size_t *pos)
{
    uint32_t c;
    size_t length;
    if (s[*pos] < 0x80)
        return s[(*pos)++];
    length = utf8_decode(s + *pos, size - *pos, &c);
    if (length == 0)
        return BAD_UTF8;
    *pos += length;
    return c;
}

/* The UTF-8 form of a character (at most U+10FFFF) at p; its length. */
static inline size_t utf8_encode(unsigned char *p, uint32_t c)
{
    if (c < 0x80) {
        p[0] = (unsigned char)c;
        return 1;
    }
    if (c < 0x800) {
        p[0] = (unsigned char)(0xC0 | (c >> 6));
        p[1] = (unsigned char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        p[0] = (unsigned char)(0xE0 | (c >> 12));
        p[1] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        p[2] = (unsigned char)(0x80 | (c & 0x3F));
        return 3;
    }
    p[0] = (unsigned char)(0xF0 | (c >> 18));
    p[1] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
    p[2] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
    p[3] = (unsigned char)(0x80 | (c & 0x3F));
    return 4;
}

/* UTF-16: a unit of two bytes in either order, and a pair of surrogates. */
static inline uint32_t utf16_unit(const unsigned char *p, int big_endian)
{
    return big_endian ? (uint32_t)p[0] << 8 | p[1] : (uint32_t)p[1] << 8 | p[0];
}
static inline int utf16_is_high(uint32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
static inline int utf16_is_low(uint32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}
static inline uint32_t utf16_pair(uint32_t high, uint32_t low)
{
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
/* The two units of a character past U+FFFF. */
static inline void utf16_split(uint32_t c, uint32_t *high, uint32_t *low)
{
    *high = 0xD800 + ((c - 0x10000) >> 10);
    *low = 0xDC00 + (c & 0x3FF);
}

/* Whether s[0..n) is valid UTF-8 throughout: a text that declares no
 * encoding and is, is UTF-8 (most tools of today write it); text in a
 * legacy encoding beyond ASCII almost never is. */
int is_valid_utf8(const unsigned char *s, size_t n);

/* UTF-16 without a byte order mark: ASCII in it leaves a NUL in every
 * other byte of the first 4 KiB, which no text in a byte encoding has. */
enum { UTF_16_NOT = 0, UTF_16_LITTLE_ENDIAN = 1, UTF_16_BIG_ENDIAN = 2 };
int utf_16_order_by_nuls(const unsigned char *s, size_t n);

#endif
