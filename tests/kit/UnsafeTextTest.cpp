#include "kit/UnsafeText.h"

#include <gtest/gtest.h>

namespace {

TEST(UnsafeText, ClassifiesControlsSeparatorsAndBidiButNotText)
{
    for (char32_t c : {0x00, 0x1b, 0x1f, 0x7f, 0x80, 0x9b, 0x9f, 0x061c, 0x200e, 0x200f, 0x2028, 0x2029, 0x202a,
                       0x202e, 0x2066, 0x2069})
        EXPECT_TRUE(Vant::IsUnsafeCodePoint(c)) << std::hex << unsigned(c);
    for (char32_t c : {0x20, 0x7e, 0xa0, 0xe9, 0x4e2d, 0x200d, 0x2027, 0x202f, 0x2065, 0x206a, 0x1f600})
        EXPECT_FALSE(Vant::IsUnsafeCodePoint(c)) << std::hex << unsigned(c);
}

TEST(UnsafeText, JsonEscapesC1SeparatorsAndBidiKeepsEverythingElse)
{
    // C1 CSI, RLO, LINE SEPARATOR and ALM between ordinary Chinese text and an emoji.
    const std::string in = "{\"d\":\"a\xC2\x9B" "b\xE2\x80\xAE" "c\xE2\x80\xA8\xD8\x9C\xE4\xB8\xAD\xF0\x9F\x98\x80\"}";
    EXPECT_EQ(Vant::EscapeUnsafeInJson(in),
              "{\"d\":\"a\\u009Bb\\u202Ec\\u2028\\u061C\xE4\xB8\xAD\xF0\x9F\x98\x80\"}");
    // Invalid or truncated sequences pass unchanged, and nothing is read past the end.
    for (std::string bad : {std::string("\xC2"), std::string("x\xE2\x80"), std::string("\xED\xA0\x80"),
                            std::string("\xE0\x82\x9B"), std::string("\xC0\x9B")})
        EXPECT_EQ(Vant::EscapeUnsafeInJson(bad), bad);
}

} // namespace
