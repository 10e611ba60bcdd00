#include "transmit.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

// A digit string of the given length, deterministic but irregular.
QString Digits(int count) {
    QString s;
    unsigned x = 12345;
    for (int i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        s.append(QChar(u'0' + (x >> 16) % 10));
    }
    return s;
}

// Independent reference: the sum of digit * 10^k over positions k from the right,
// all modulo 256.
int ReferenceMod256(const QString& digits) {
    int sum = 0, power = 1;
    for (qsizetype i = digits.size() - 1; i >= 0; --i) {
        sum = (sum + (digits[i].unicode() - u'0') * power) % 256;
        power = power * 10 % 256;
    }
    return sum;
}

struct NumberCase {
    const char* name;
    QString text;
    std::optional<int> expected;
};

class NumberTable : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberTable, GivesByteOrNothing) {
    const NumberCase& c = GetParam();
    const std::optional<unsigned char> got = NumberByte(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
        EXPECT_EQ(*got, *c.expected);
    }
}

const QString k40 = Digits(40);
const QString k1000 = Digits(1000);

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberTable,
    testing::Values(
        NumberCase{"SixtyFive", "65", 0x41}, NumberCase{"ThreeHundred", "300", 0x2C},
        NumberCase{"Zero", "0", 0}, NumberCase{"Empty", "", 0}, NumberCase{"Max", "255", 255},
        NumberCase{"FortyDigits", k40, ReferenceMod256(k40)},
        NumberCase{"LongestExamined", Digits(254), ReferenceMod256(Digits(254))},
        NumberCase{"ThousandDigitsUseFirst254", k1000, ReferenceMod256(k1000.left(254))},
        NumberCase{"Minus", "-5", std::nullopt}, NumberCase{"Letter", "12a", std::nullopt},
        NumberCase{"InnerSpace", "1 2", std::nullopt}, NumberCase{"LeadingSpace", " 7", std::nullopt},
        NumberCase{"Plus", "+7", std::nullopt},
        NumberCase{"ArabicIndicDigit", QString(QChar(0x0663)), std::nullopt},
        NumberCase{"FullwidthDigit", QString(QChar(0xFF11)), std::nullopt},
        NumberCase{"LetterAt254IsExamined", Digits(253) + "x" + Digits(46), std::nullopt},
        NumberCase{"LetterAt255IsNot", Digits(254) + "x" + Digits(45), ReferenceMod256(Digits(254))}),
    [](const testing::TestParamInfo<NumberCase>& info) { return info.param.name; });

struct TextCase {
    const char* name;
    QString text;
    std::string expected;
};

class TextTable : public testing::TestWithParam<TextCase> {};

TEST_P(TextTable, GivesLatin1Bytes) { EXPECT_EQ(TextBytes(GetParam().text), GetParam().expected); }

const QString kEmoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // one character, two QChars

INSTANTIATE_TEST_SUITE_P(
    Cases, TextTable,
    testing::Values(
        TextCase{"Hello", "Hello", "Hello"}, TextCase{"Empty", "", ""},
        TextCase{"Long", QString(300, u'z'), std::string(255, 'z')},
        TextCase{"EAcute", QString(QChar(0xE9)), "\xE9"},
        TextCase{"Euro", QString(QChar(0x20AC)), "?"},
        TextCase{"ControlKept", "a\rb\tc", "a\rb\tc"},
        TextCase{"NonBmpIsOneCharacter", "a" + kEmoji + "b", "a?b"},
        TextCase{"NonBmpCountsOnce", QString(254, u'x') + kEmoji + "y", std::string(254, 'x') + "?"},
        TextCase{"LoneSurrogate", QString(QChar(0xD800)) + "a", "?a"}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(CharByte, Latin1OrQuestionMark) {
    EXPECT_EQ(CharByte(QChar(u'a')), 'a');
    EXPECT_EQ(CharByte(QChar(u'\r')), '\r');
    EXPECT_EQ(static_cast<unsigned char>(CharByte(QChar(0xFF))), 0xFF);
    EXPECT_EQ(CharByte(QChar(0x0100)), '?');
}

}  // namespace
