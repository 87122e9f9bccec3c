#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/clocale.h"

#include <clocale>

TEST(Text, DecodesShiftJisKanjiAndKeepsHalfWidthKatakana) {
  // "露出" (exposure) and half-width "ｶﾒﾗ" (camera) as a camera would write them.
  EXPECT_EQ(SjisToUtf8("\x98\x49\x8f\x6f"), "露出");
  EXPECT_EQ(SjisToUtf8("\xb6\xd2\xd7"), "ｶﾒﾗ");
  EXPECT_EQ(SjisToUtf8("1\x95\xaa"
                       "30\x95\x62"),
            "1分30秒");
  // CP932 extensions beyond plain Shift_JIS: the circled digit one.
  EXPECT_EQ(SjisToUtf8("\x87\x40"), "①");
}

TEST(Text, BadShiftJisBytesBecomeReplacementCharacters) {
  EXPECT_EQ(SjisToUtf8("A\x81"), "A\xEF\xBF\xBD");  // truncated lead byte at the end
  EXPECT_EQ(SjisToUtf8("\xFF"
                       "B"),
            "\xEF\xBF\xBD"
            "B");  // byte that is never valid
  EXPECT_EQ(SjisToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Text, EncodesBackToShiftJisOrRefuses) {
  EXPECT_EQ(Utf8ToSjis("露出 ｶﾒﾗ").value(), "\x98\x49\x8f\x6f \xb6\xd2\xd7");
  EXPECT_FALSE(Utf8ToSjis("\xF0\x9F\x98\x80").has_value());  // an emoji has no CP932 form
  EXPECT_FALSE(Utf8ToSjis("\xC0\xAF").has_value());          // overlong UTF-8
}

TEST(Text, Utf8ValidityAndPrefixes) {
  EXPECT_TRUE(IsValidUtf8("ＭＳ ゴシック"));
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(IsValidUtf8("\xE3\x81"));      // cut short
  EXPECT_EQ(Utf8Prefix("ＭＳ ゴシック", 3), "ＭＳ ");
  EXPECT_EQ(Utf8Prefix("abc", 10), "abc");
  EXPECT_TRUE(EqualsNoCase("FitsBottomUp", "FITSBOTTOMUP"));
  EXPECT_FALSE(EqualsNoCase("abc", "abd"));
}

TEST(Text, TextFilesReadAsUtf8OrCp932) {
  struct Case {
    std::string bytes, want;
    bool cp932;
  } cases[] = {
      {"plain ASCII,1.5\r\n", "plain ASCII,1.5\r\n", false},
      {"露出 ｶﾒﾗ", "露出 ｶﾒﾗ", false},
      {"\xEF\xBB\xBF露出", "露出", false},                  // byte-order mark dropped
      {"\x98\x49\x8f\x6f \xb6\xd2\xd7", "露出 ｶﾒﾗ", true},  // CP932
      {"C:\\\x8a\xcf\x91\xaa\\m31.fts", "C:\\観測\\m31.fts", true},
      {"", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCp932TextFile(c.bytes), c.cp932) << c.want;
    EXPECT_EQ(TextFileToUtf8(c.bytes), c.want) << c.want;
  }
}

TEST(CLocaleNumbers, IgnoreTheUsersDecimalComma) {
  // Whatever locale the program runs in, settings and headers use a decimal point.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  EXPECT_EQ(FormatC("%13.6e", 0.5), " 5.000000e-01");
  EXPECT_DOUBLE_EQ(AtofC("2.5"), 2.5);
  double v = 0;
  EXPECT_EQ(ScanC("1.25", "%lf", &v), 1);
  EXPECT_DOUBLE_EQ(v, 1.25);
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!german) GTEST_SKIP() << "de_DE.UTF-8 is not installed; checked in the C locale only";
}

TEST(CLocaleNumbers, AtoiSaturatesInsteadOfOverflowing) {
  EXPECT_EQ(AtoiC("99999999999999"), 2147483647);
  EXPECT_EQ(AtoiC("-99999999999999"), -2147483647 - 1);
  EXPECT_EQ(AtoiC("  42abc"), 42);
  EXPECT_EQ(AtoiC("abc"), 0);
}
