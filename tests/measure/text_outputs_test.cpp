// The text and CSV files of the photometry, rectangle, positioning and graph tools, as
// their dialogs write them: UTF-8 that astropy's Table.read and numpy parse into the
// values the tools hold, Japanese column names included; the column texts in UTF-8 too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "graph/graph2ddata.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/positioning.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace {

// A sky of 100 with three Gaussian stars and a slope, so that every statistic differs.
CRalImage StarField(int w, int h) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  const double stars[3][3] = {{20, 18, 900}, {45, 30, 600}, {28, 40, 1500}};
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double v = 100.0 + 0.5 * x + 0.25 * y;
      for (const auto& s : stars) {
        const double dx = x - s[0], dy = y - s[1];
        v += s[2] * std::exp(-(dx * dx + dy * dy) / (2 * 1.8 * 1.8));
      }
      row[static_cast<std::size_t>(x)] = v;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.AllocLevel();
  image.SetLevel(0, 0.0, 2000.0);
  return image;
}

std::string Num(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// One block of the oracle's expectations.
class Expectation {
 public:
  Expectation(std::string* out, const std::string& path, const std::vector<std::string>& columns)
      : out_(out) {
    *out_ += "FILE " + path + "\nCOLUMNS ";
    for (std::size_t i = 0; i < columns.size(); ++i) *out_ += (i ? "\t" : "") + columns[i];
    *out_ += "\n";
  }
  void Row(const std::vector<std::string>& cells) {
    *out_ += "ROW ";
    for (std::size_t i = 0; i < cells.size(); ++i) *out_ += (i ? "\t" : "") + cells[i];
    *out_ += "\n";
  }

 private:
  std::string* out_;
};

std::vector<std::string> MarkCells(const CApertureMark& m) {
  const double mean = m.m_nPixels ? m.m_dTotal / m.m_nPixels : 0.0;
  return {Num(m.m_nPixels), Num(m.m_dTotal), Num(mean), Num(m.m_dStdDev)};
}

class TextOutputs : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
  TempDir dir_;
};

TEST_F(TextOutputs, CsvFilesReadByAstropyAsTheToolsHoldThem) {
  CRalImage image = StarField(64, 56);
  std::string expectations;

  // Circular photometry: two semi-automatic measurements, one with centroid search.
  CAperture aperture;
  aperture.SetParams(0, 0, 4, 8, 3, 0, 3);
  ASSERT_EQ(aperture.AddStar(20, 18, &image), 1);
  aperture.SetParams(0, 0, 5, 9, 2, 1, 3);
  ASSERT_EQ(aperture.AddStar(44, 31, &image), 1);
  aperture.UpdateItems();
  ASSERT_EQ(aperture.WriteText(dir_.File("aperture.csv")), 1);
  Expectation a(
      &expectations, dir_.File("aperture.csv"),
      {"番号", "ObjX", "ObjY", "Obj径", "ObjPix", "Obj総ｶｳﾝﾄ", "Obj平均", "ObjSD", "SkyX", "SkyY",
       "Sky内径", "Sky幅", "SkyPix", "Sky総ｶｳﾝﾄ", "Sky平均", "SkySD", "測光結果", "測光方法"});
  int measurements = 0;
  for (int r = 0; r < aperture.GetItemCount(); ++r) {
    const CApertureItem& item = aperture.GetItem(r);
    if (item.m_nKind != CApertureItem::RESULT) continue;
    const CApertureMark& star = aperture.GetMark(item.m_nMark);
    const CApertureMark& sky = aperture.GetMark(item.m_nMark + 1);
    std::vector<std::string> cells = {Num(item.m_nNumber), Num(star.m_dCx + 1), Num(star.m_dCy + 1),
                                      Num(star.m_dOuterX)};
    for (const std::string& c : MarkCells(star)) cells.push_back(c);
    for (double v : {sky.m_dCx + 1, sky.m_dCy + 1, sky.m_dInnerX, sky.m_dOuterX - sky.m_dInnerX})
      cells.push_back(Num(v));
    for (const std::string& c : MarkCells(sky)) cells.push_back(c);
    cells.push_back(Num(item.m_dResult));
    cells.push_back(star.m_nMethod == CApertureMark::SEMICTRD ? "=SEMICTRD" : "=SEMI");
    a.Row(cells);
    ++measurements;
  }
  ASSERT_EQ(measurements, 2);

  // Rectangles.
  CApertureRect rect;
  rect.SetImage(&image);
  ASSERT_EQ(rect.Measure(10, 10, 30, 25), 1);
  ASSERT_EQ(rect.Measure(40, 5, 60, 50), 1);
  ASSERT_EQ(rect.WriteText(dir_.File("rect.csv")), 1);
  Expectation r(&expectations, dir_.File("rect.csv"),
                {"番号", "LeftX", "TopY", "RightX", "BottomY", "ﾋﾟｸｾﾙ数", "総ｶｳﾝﾄ", "平均ｶｳﾝﾄ",
                 "最小ｶｳﾝﾄ", "最大ｶｳﾝﾄ"});
  for (int i = 0; i < rect.GetItemCount(); ++i) {
    const CApertureRectItem& it = rect.GetItem(i);
    r.Row({Num(i + 1), Num(it.m_nLeft + 1), Num(it.m_nTop + 1), Num(it.m_nRight + 1),
           Num(it.m_nBottom + 1), Num(it.m_nPixels), Num(it.m_dTotal), Num(it.m_dMean),
           Num(it.m_dMin), Num(it.m_dMax)});
  }

  // Positioning: a detection over the whole image (rows shorter than the heading) and a
  // centroid (rows with empty fields).
  CPositioning pos;
  pos.SetImage(&image);
  pos.SetMethod(CPositioning::SEARCH);
  pos.SetFactor(3.0);
  ASSERT_EQ(pos.Measure(&image, 0, 0, 63, 55), 3);  // the three stars
  pos.SetMethod(CPositioning::CENTROID);
  pos.SetAreaMode(CPositioning::SEMI);
  pos.SetRadius(6);
  ASSERT_EQ(pos.Measure(&image, 5, 40, 17, 52), 1);
  ASSERT_GE(pos.GetItemCount(), 3);
  ASSERT_EQ(pos.WriteText(dir_.File("positions.csv")), 1);
  Expectation p(&expectations, dir_.File("positions.csv"),
                {"番号", "ObjectX", "ObjectY", "方法", "LeftX", "TopY", "RightX", "BottomY",
                 "測定中心X", "測定中心Y", "測定半径"});
  int searched = 0, centred = 0;
  for (int i = 0; i < pos.GetItemCount(); ++i) {
    const CPositioningItem& it = pos.GetItem(i);
    std::vector<std::string> cells = {Num(i + 1), Num(it.m_dX + 1), Num(it.m_dY + 1)};
    if (it.m_nMethod == CPositioningItem::SEARCH) {
      ++searched;
      for (const std::string& c :
           {std::string("=SEARCH"), Num(it.m_nLeft + 1), Num(it.m_nTop + 1), Num(it.m_nRight + 1),
            Num(it.m_nBottom + 1), std::string(), std::string(), std::string()})
        cells.push_back(c);
    } else {
      ++centred;
      for (const std::string& c :
           {std::string("=CENTROID"), std::string(), std::string(), std::string(), std::string(),
            Num((it.m_nLeft + it.m_nRight) / 2 + 1), Num((it.m_nTop + it.m_nBottom) / 2 + 1),
            Num((it.m_nRight - it.m_nLeft) / 2)})
        cells.push_back(c);
    }
    p.Row(cells);
  }
  EXPECT_EQ(searched, 3);
  EXPECT_EQ(centred, 1);

  // The graph along a line through a star.
  CCtrlGraph2DCore graph;
  graph.CalcLine(&image, 10.0, 18.0, 30.0, 18.0, 1.0);
  ASSERT_TRUE(graph.OutputText(dir_.File("profile.csv")));
  const CCtrlGraph2DData* data = graph.GetGraphData(0);
  ASSERT_NE(data, nullptr);
  Expectation g(&expectations, dir_.File("profile.csv"), {"X座標", "Y座標", "カウント値"});
  for (int i = 0; i < data->m_nCount; ++i) {
    const double x = 10.0 + 20.0 * i / (data->m_nCount - 1);
    // x and y are written with one decimal: compared to a tenth.
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.1f", x + 1);
    g.Row({shown, "19", Num(data->m_Value[0][static_cast<std::size_t>(i)])});
  }

  WriteFileOrDie(dir_.File("expected.txt"), expectations);
  const std::string command = "/usr/bin/python3 " CSV_ORACLE " " + dir_.File("expected.txt") +
                              " > " + dir_.File("out.txt") + " 2>&1";
  const int rc = std::system(command.c_str());
  if (WIFEXITED(rc) && WEXITSTATUS(rc) == 77) GTEST_SKIP() << ReadFileOrEmpty(dir_.File("out.txt"));
  EXPECT_EQ(rc, 0) << ReadFileOrEmpty(dir_.File("out.txt"));
}

// The column texts are UTF-8 as well: the Japanese headings stand as they are, and a
// later output replaces an earlier one whole.
TEST_F(TextOutputs, ColumnTextsAreUtf8) {
  CRalImage image = StarField(64, 56);
  CAperture aperture;
  aperture.SetParams(0, 0, 4, 8, 3, 0, 3);
  ASSERT_EQ(aperture.AddStar(20, 18, &image), 1);
  CApertureRect rect;
  rect.SetImage(&image);
  ASSERT_EQ(rect.Measure(10, 10, 30, 25), 1);
  CPositioning pos;
  pos.SetImage(&image);
  ASSERT_EQ(pos.Measure(&image, 10, 8, 30, 28), 1);
  WriteFileOrDie(dir_.File("a.txt"), std::string(5000, 'x'));
  ASSERT_EQ(aperture.WriteText(dir_.File("a.txt")), 1);
  ASSERT_EQ(rect.WriteText(dir_.File("r.txt")), 1);
  ASSERT_EQ(pos.WriteText(dir_.File("p.txt")), 1);
  const struct {
    const char* file;
    const char* heading;
    std::string want;
  } cases[] = {{"a.txt", "番号   ObjX    ObjY   Obj径", aperture.FormatText(false)},
               {"r.txt", " 番号  LeftX   TopY  RightX  BtmY    ﾋﾟｸｾﾙ数", rect.FormatText(false)},
               {"p.txt", " 番号   ObjectX   ObjectY     方法", pos.FormatText(false)}};
  for (const auto& c : cases) {
    const std::string text = ReadFileOrEmpty(dir_.File(c.file));
    EXPECT_TRUE(IsValidUtf8(text)) << c.file;
    EXPECT_EQ(text.rfind(c.heading, 0), 0u) << c.file << ": " << text.substr(0, 80);
    EXPECT_EQ(text, c.want) << c.file;
  }
}

}  // namespace
