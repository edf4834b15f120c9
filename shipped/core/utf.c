#include "shipped/core/utf.h"

const uint8_t utf8_lead_length[256] = {[0xC2 ... 0xDF] = 2, [0xE0 ... 0xEF] = 3, [0xF0 ... 0xF4] = 4};
