#include "formats/raw/dataimport.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imagemodel/image.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";

std::string Card(const std::string& s) {
  std::string c = s;
  c.resize(80, ' ');
  return c;
}

std::string Header(int width, int height) {
  char n1[81], n2[81];
  std::snprintf(n1, sizeof n1, "NAXIS1  = %20d", width);
  std::snprintf(n2, sizeof n2, "NAXIS2  = %20d", height);
  return Card("SIMPLE  =                    T") + Card("BITPIX  =                  -32") +
         Card("NAXIS   =                    2") + Card(n1) + Card(n2) +
         Card("BSCALE  =                  2.0") + Card("BZERO   =                 10.0") +
         Card("END");
}

std::vector<float> Oracle(const std::string& path, const DataImportLayout& l, int w, int h) {
  const std::string sep = l.separator.empty() ? "," : l.separator;
  const std::string command = std::string(kPython) + " " + DATAIMPORT_CHECK_SCRIPT + " '" + path +
                              "' " + std::to_string(l.delimit) + " " +
                              std::to_string(l.fieldLength) + " '" + sep + "' " +
                              std::to_string(l.sequence) + " " + std::to_string(l.lineEnds) + " " +
                              std::to_string(w) + " " + std::to_string(h) + " 2>&1";
  std::vector<float> out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char line[256];
  while (std::fgets(line, sizeof line, pipe)) out.push_back(std::strtof(line, nullptr));
  ::pclose(pipe);
  return out;
}

// The numbers of a w × h image in the given layout, with line ends every few numbers.
std::string Numbers(const std::vector<double>& v, const DataImportLayout& l, int perLine) {
  std::string text;
  for (std::size_t i = 0; i < v.size(); ++i) {
    char number[64];
    if (l.delimit == 0) {
      // Left-aligned: the numbers begin at the first character that can start one.
      std::snprintf(number, sizeof number, "%-*.*g", l.fieldLength, 6, v[i]);
    } else {
      std::snprintf(number, sizeof number, "%.9g", v[i]);
    }
    text += number;
    const bool lineEnd = (i + 1) % static_cast<std::size_t>(perLine) == 0;
    if (l.delimit != 0 && (!lineEnd || l.lineEnds == 1))
      text += l.delimit == 2 ? "\t" : l.separator;
    if (lineEnd) text += i % 2 ? "\r\n" : "\n";
  }
  return text;
}

struct LayoutCase {
  int delimit;
  int sequence;
  int lineEnds;
  const char* separator;
};

class DataImportOracleTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(DataImportOracleTest, ImageIsWhatNumpyReads) {
  if (std::system((std::string(kPython) + " -c 'import numpy' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << kPython << " cannot import numpy (python3-numpy)";
  const LayoutCase& c = GetParam();
  const int w = 5, h = 4;
  DataImportLayout layout;
  layout.delimit = c.delimit;
  layout.sequence = c.sequence;
  layout.lineEnds = c.lineEnds;
  layout.separator = c.separator;
  layout.fieldLength = 14;
  layout.bscale = 2.0;
  layout.bzero = 10.0;
  layout.author = "Observer";
  std::mt19937 random(c.delimit * 100 + c.sequence * 10 + c.lineEnds);
  std::uniform_real_distribution<double> dist(-1e5, 1e5);
  std::vector<double> v(static_cast<std::size_t>(w * h));
  for (double& x : v) x = dist(random);
  v[3] = 0;
  v[7] = -1.25e-7;
  // Lines that do not match the image's rows: the layout, not the lines, places numbers.
  const std::string text = Header(w, h) + "\n  " + Numbers(v, layout, 4);
  TempDir dir;
  const std::string path = dir.File("data.txt");
  WriteFileOrDie(path, text);

  DataImportAnswers answers;
  answers.axes = 2;
  answers.width = w;
  answers.height = h;
  answers.layout = layout;
  CImage image;
  ASSERT_EQ(DataImport(image, path, answers), DIMP_OK);
  const std::vector<float> expected = Oracle(path, layout, w, h);
  ASSERT_EQ(expected.size(), v.size());
  EXPECT_EQ(image.GetBitsPixel(), -32);
  EXPECT_EQ(image.GetBscale(), 2.0);
  EXPECT_EQ(image.GetBzero(), 10.0);
  std::string author;
  image.GetAuthor(&author);
  EXPECT_EQ(author, "Observer");
  // The stored numbers, before BSCALE and BZERO.
  for (int y = 0; y < h; ++y) {
    const auto* row = static_cast<const float*>(image.GetImageAdr(0, y, 0));
    ASSERT_NE(row, nullptr);
    for (int x = 0; x < w; ++x)
      EXPECT_EQ(row[x], expected[static_cast<std::size_t>(y * w + x)]) << x << "," << y;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DataImportOracleTest,
                         ::testing::Values(LayoutCase{0, 0, 0, ""}, LayoutCase{0, 1, 0, ""},
                                           LayoutCase{0, 0, 1, ""}, LayoutCase{0, 1, 1, ""},
                                           LayoutCase{1, 0, 0, ","}, LayoutCase{1, 1, 0, ";"},
                                           LayoutCase{1, 0, 1, ","}, LayoutCase{1, 1, 1, " "},
                                           LayoutCase{2, 0, 0, ""}, LayoutCase{2, 1, 0, ""},
                                           LayoutCase{2, 0, 1, ""}, LayoutCase{2, 1, 1, ""}));

class DataImportTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& text) {
    const std::string path = dir_.File("d.txt");
    WriteFileOrDie(path, text);
    return path;
  }
  TempDir dir_;
};

TEST_F(DataImportTest, SpectralColumnsAskWhichOneAndCheckIt) {
  const std::string path = Put(Header(3, 1) + "1 10 100\n2 20 200\n3 30 300\n");
  DataImportAnswers a;
  a.axes = 1;
  a.width = 3;
  a.oneDimensionHeight = 4;
  a.layout.kind = 1;
  a.layout.sequence = 1;
  a.layout.delimit = 1;
  a.layout.separator = " ";
  CImage image;
  int columns = 0;
  EXPECT_EQ(DataImport(image, path, a, &columns), DIMP_ASK_COLUMN);
  EXPECT_EQ(columns, 3);
  a.column = 4;
  EXPECT_EQ(DataImport(image, path, a), DIMP_ERR_COLUMN);
  a.column = 2;
  ASSERT_EQ(DataImport(image, path, a), DIMP_OK);
  ASSERT_EQ(image.GetHeight(), 4);
  // The one row is shown on every row.
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(image.GetPixel(x, y), 10.0 * (x + 1));
  a.width = 10;
  EXPECT_EQ(DataImport(image, path, a), DIMP_ERR_FEWER);
}

// The same import text written on Japanese Windows (CP932) and in UTF-8, with and without
// a byte-order mark: 80-byte cards with Japanese values, then the numbers. Each reads to
// the same cards and the same pixels.
TEST_F(DataImportTest, Cp932AndUtf8TextsReadTheSame) {
  const std::vector<std::string> japanese = {"OBJECT  = 'アンドロメダ銀河'",
                                             "OBSERVER= 'ｶﾒﾗ係 山田'", "COMMENT 露出 1分30秒 ①"};
  std::string cards = Header(3, 2);
  cards.resize(cards.size() - 80);  // the END card goes after the Japanese ones
  std::string utf8 = cards, cp932 = cards;
  for (const std::string& c : japanese) {
    utf8 += Card(c);
    const std::optional<std::string> s = Utf8ToSjis(c);
    ASSERT_TRUE(s.has_value()) << c;
    cp932 += Card(*s);
  }
  const std::string numbers = "1.5 2.5 3.5\r\n4.5 5.5 -6.5\r\n";
  utf8 += Card("END") + numbers;
  cp932 += Card("END") + numbers;
  ASSERT_FALSE(IsValidUtf8(cp932));
  DataImportAnswers a;
  a.axes = 2;
  a.width = 3;
  a.height = 2;
  a.layout.delimit = 1;
  a.layout.separator = " ";
  std::vector<std::vector<std::string>> headers;
  for (const std::string& text : {utf8, "\xEF\xBB\xBF" + utf8, cp932}) {
    CImage image;
    ASSERT_EQ(DataImport(image, Put(text), a), DIMP_OK);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        EXPECT_EQ(image.GetPixel(x, y), (y == 1 && x == 2 ? -1 : 1) * (1.5 + x + 3 * y));
    // The import dialogs take the cards from the header read on its own.
    CImage header;
    ASSERT_EQ(DataImportReadHeader(header, dir_.File("d.txt")), DIMP_OK);
    headers.push_back(header.m_FitsHeader.Cards());
  }
  // The Japanese cards as written in UTF-8, 80 bytes each.
  ASSERT_GE(headers[0].size(), japanese.size());
  for (std::size_t i = 0; i < japanese.size(); ++i)
    EXPECT_EQ(headers[0][headers[0].size() - japanese.size() + i], Card(japanese[i]));
  EXPECT_EQ(headers[1], headers[0]);
  EXPECT_EQ(headers[2], headers[0]);
}

TEST_F(DataImportTest, MalformedTextsGiveTheirCodes) {
  struct Case {
    const char* what;
    std::string text;
    int width, height, delimit, fieldLength;
    int code;
  };
  const std::string end = Header(2, 2);
  const Case cases[] = {
      {"no END", Card("SIMPLE  =                    T") + "1 2 3 4", 2, 2, 1, 0, DIMP_ERR_NO_END},
      {"END cut short", end.substr(0, end.size() - 80) + "EN", 2, 2, 1, 0, DIMP_ERR_NO_END},
      {"invalid card", Card("NAXIS   = 'two'") + end + "1 2 3 4", 2, 2, 1, 0, 17},
      {"no number", end + "  abc \n", 2, 2, 1, 0, DIMP_ERR_NO_NUMBER},
      {"too few", end + "1 2 3", 2, 2, 1, 0, DIMP_ERR_SHORT_DATA},
      {"too few fixed", end + "1    2    3  ", 2, 2, 0, 5, DIMP_ERR_SHORT_DATA},
      {"huge claim", end + "1 2 3 4", 2000000000, 2000000000, 1, 0, DIMP_ERR_SHORT_DATA},
      {"zero width", end + "1 2 3 4", 0, 2, 1, 0, DIMP_ERR_INVALID},
      {"zero field", end + "1 2 3 4", 2, 2, 0, 0, DIMP_ERR_INVALID},
      {"fits", end + "1 2 3 4", 2, 2, 1, 0, DIMP_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DataImportAnswers a;
    a.width = c.width;
    a.height = c.height;
    a.layout.delimit = c.delimit;
    a.layout.fieldLength = c.fieldLength;
    a.layout.separator = " ";
    CImage image;
    const int rc = DataImport(image, Put(c.text), a);
    EXPECT_EQ(rc, c.code);
    if (rc != DIMP_OK) {
      EXPECT_TRUE(image.IsEmpty());
    }
  }
  // Every code of the import has its words.
  for (int code : {DIMP_ERR_SHORT_DATA, DIMP_ERR_COLUMN, DIMP_ERR_FEWER, DIMP_ERR_INVALID,
                   DIMP_ERR_NO_END, DIMP_ERR_NO_NUMBER, DIMP_ERR_MEMORY})
    EXPECT_FALSE(DataImportText(code).empty()) << code;
  EXPECT_NE(DataImportText(DIMP_ASK_COLUMN, 7).find("7 列"), std::string::npos);
}

}  // namespace
