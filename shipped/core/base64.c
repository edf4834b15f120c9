/* Base64, which pictures travel in: in the intermediate form, in data:
 * addresses of HTML and Markdown. */
#include "shipped/core/buffer.h"

static const char base64_digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void put_base64(buffer *out, const unsigned char *data, size_t n)
{
    size_t i;
    for (i = 0; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2];
        const char quad[4] = {base64_digits[v >> 18], base64_digits[(v >> 12) & 63], base64_digits[(v >> 6) & 63],
                              base64_digits[v & 63]};
        put_bytes(out, quad, 4);
    }
    if (i < n) {
        const uint32_t v = (uint32_t)data[i] << 16 | (i + 1 < n ? (uint32_t)data[i + 1] << 8 : 0);
        const char quad[4] = {base64_digits[v >> 18], base64_digits[(v >> 12) & 63],
                              i + 1 < n ? base64_digits[(v >> 6) & 63] : '=', '='};
        put_bytes(out, quad, 4);
    }
}

static int base64_value(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' : c >= 'a' && c <= 'z' ? c - 'a' + 26 : c >= '0' && c <= '9' ? c - '0' + 52
           : c == '+' ? 62 : c == '/' ? 63 : -1;
}

static int is_base64_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

int decode_base64(buffer *out, const unsigned char *s, size_t n)
{
    size_t i;
    uint32_t quad = 0;
    int held = 0, padding = 0;
    for (i = 0; i < n; ++i) {
        const int v = base64_value(s[i]);
        if (is_base64_space(s[i]))
            continue;
        if (s[i] == '=' && ++padding <= 2)
            continue;
        if (v < 0 || padding)
            return 0;
        quad = quad << 6 | (uint32_t)v;
        if (++held == 4) {
            const unsigned char bytes[3] = {(unsigned char)(quad >> 16), (unsigned char)(quad >> 8),
                                            (unsigned char)quad};
            put_bytes(out, bytes, 3);
            held = 0;
        }
    }
    if (held == 1 || (padding && held + padding != 4))
        return 0;
    if (held >= 2)
        put_byte(out, (unsigned char)(quad >> (held == 2 ? 4 : 10)));
    if (held == 3)
        put_byte(out, (unsigned char)(quad >> 2));
    return !out->failed;
}
