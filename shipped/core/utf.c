#include "shipped/core/buffer.h"
#include "shipped/core/utf.h"

const uint8_t utf8_lead_length[256] = {[0xC2 ... 0xDF] = 2, [0xE0 ... 0xEF] = 3, [0xF0 ... 0xF4] = 4};

int utf_16_order_by_nuls(const unsigned char *s, size_t n)
{
    size_t even = 0, odd = 0, i;
    n &= ~(size_t)1;
    if (n > 4096)
        n = 4096;
    for (i = 0; i < n; i += 2) {
        even += s[i] == 0;
        odd += s[i + 1] == 0;
    }
    if (n < 2)
        return UTF_16_NOT;
    if (odd * 4 >= n / 2 && even * 4 <= odd)
        return UTF_16_LITTLE_ENDIAN;
    if (even * 4 >= n / 2 && odd * 4 <= even)
        return UTF_16_BIG_ENDIAN;
    return UTF_16_NOT;
}

size_t put_utf16_as_utf8(buffer *out, const unsigned char *s, size_t n, int big_endian)
{
    size_t pos, first_nul = n;
    for (pos = 0; pos + 1 < n; pos += 2) {
        uint32_t c = utf16_unit(s + pos, big_endian);
        if (utf16_is_high(c) && pos + 3 < n && utf16_is_low(utf16_unit(s + pos + 2, big_endian))) {
            c = utf16_pair(c, utf16_unit(s + pos + 2, big_endian));
            pos += 2;
        } else if (utf16_is_high(c) || utf16_is_low(c)) {
            c = 0xFFFD;
        }
        if (c == 0) {
            if (first_nul == n)
                first_nul = pos;
            continue;
        }
        put_utf8(out, c);
    }
    return first_nul;
}

int is_valid_utf8(const unsigned char *s, size_t n)
{
    size_t pos = 0;
    while ((pos += ascii_run(s + pos, n - pos)) < n) {
        uint32_t c;
        const size_t length = utf8_decode(s + pos, n - pos, &c);
        if (length == 0)
            return 0;
        pos += length;
    }
    return 1;
}
