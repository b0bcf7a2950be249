// SPDX-License-Identifier: MIT
// UTF-16 to UTF-8 as `vornak inspect` shows names from an image: pairs
// joined, lone surrogates replaced, and the way back from strict UTF-8.
#include <gtest/gtest.h>

#include "tools/vornak/base/utf.h"

TEST(Utf16ToUtf8, PairsJoinAndLoneSurrogatesBecomeReplacementCharacters) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"A\u00e9\u20ac", "A\xc3\xa9\xe2\x82\xac"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
        {u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
        {std::u16string{0xD800, u'a'}, "\xef\xbf\xbd" "a"},          // high surrogate, then no low one
        {std::u16string{0xDC00}, "\xef\xbf\xbd"},                     // low surrogate first
        {std::u16string{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd"},  // a pair in the wrong order
        {std::u16string{u'A', 0xDBFF}, "A\xef\xbf\xbd"},             // high surrogate at the end
        {std::u16string{0xD83D, 0xDE00, 0xDBFF}, "\xf0\x9f\x98\x80\xef\xbf\xbd"},
    };
    for (const Case &c : cases) {
        std::string out = vornak::utf16_to_utf8(c.in);
        EXPECT_EQ(out, c.out) << "case with " << c.in.size() << " units";
        std::u16string back;
        EXPECT_TRUE(vornak::utf8_to_utf16(out, back)) << "the result is well-formed UTF-8";
    }
}

TEST(Utf16ToUtf8, UndoesStrictUtf8ToUtf16) {
    const std::string names[] = {"plain.txt", "Caf\xc3\xa9 \xf0\x9f\x98\x80.txt", "\xe4\xb8\xad\xe6\x96\x87",
                                 "\xef\xbf\xbf\xf4\x8f\xbf\xbf"};
    for (const std::string &name : names) {
        std::u16string units;
        ASSERT_TRUE(vornak::utf8_to_utf16(name, units)) << name;
        EXPECT_EQ(vornak::utf16_to_utf8(units), name);
    }
}
