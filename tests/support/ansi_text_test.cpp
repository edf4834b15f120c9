// Texts in an 8-bit ANSI code page (the test programs have no manifest):
// every routine keeps its byte form.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/ansi_text.h"
#include "support/ravel.h"

namespace {

bool single_byte_code_page()
{
    CPINFO info{};
    return GetACP() != CP_UTF8 && GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
}

TEST(AnsiTextByteForm, EveryByteIsACharacter)
{
    if (!single_byte_code_page())
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " is not an 8-bit one";
    const std::string utf8_bytes = "\xd0\xb6\xd0\xb6";  // two UTF-8 letters, four 8-bit characters here
    EXPECT_FALSE(ansi_is_utf8());
    EXPECT_EQ(3u, ansi_cut(utf8_bytes, 3));
    EXPECT_EQ(4u, ansi_length(utf8_bytes));
    EXPECT_EQ(1u, ansi_char_size(utf8_bytes, 0));
    char small[4];
    EXPECT_FALSE(format_bounded(small, sizeof small, "%s", "\xe9\xe9\xe9\xe9"));
    EXPECT_STREQ("\xe9\xe9\xe9", small);

    char lowered[] = "\xc9T\xc9 \xd0\x9f";
    char expected[] = "\xc9T\xc9 \xd0\x9f";
    CharLowerBuffA(expected, static_cast<DWORD>(std::strlen(expected)));
    minstr_ansi(lowered);
    EXPECT_STREQ(expected, lowered) << "minstr_ansi lowers as CharLowerBuffA does";

    char name[8];
    std::memcpy(name, "Caf\xe9\xe9\xe9\xe9\xe9", sizeof name);
    format_name_for_host(name, sizeof name);
    EXPECT_STREQ("Caf\xe9\xe9\xe9\xe9", name) << "names stay byte for byte, cut to the field";
}

}  // namespace
