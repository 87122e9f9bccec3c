#include "imagemodel/fitsheader.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(FitsHeaderTest, AddMakesEightyCharacterCardsAndTheRestStoreAsGiven) {
  CFitsHeader h;
  h.Add("SIMPLE  =                    T");
  h.Add(std::string(100, 'X'));
  ASSERT_EQ(h.GetCount(), 2);
  EXPECT_EQ(h.GetAt(0).size(), 80u);
  EXPECT_EQ(h.GetAt(0).substr(0, 30), "SIMPLE  =                    T");
  EXPECT_EQ(h.GetAt(1), std::string(80, 'X'));
  h.SetAt(0, "short");
  EXPECT_EQ(h.GetAt(0), "short");
  h.SetAt(5, "ignored");
  EXPECT_EQ(h.GetCount(), 2);
  EXPECT_EQ(h.GetAt(5), "");
  EXPECT_EQ(h.GetAt(-1), "");
  // A multi-byte character is never cut in half at column 80.
  h.Add(std::string(79, 'a') + "露");
  EXPECT_EQ(h.GetAt(2), std::string(79, 'a') + " ");
}

TEST(FitsHeaderTest, InsertAtGrowsThePastTheEnd) {
  CFitsHeader h;
  h.InsertAt(0, "FIRST");
  EXPECT_EQ(h.GetCount(), 1);
  h.InsertAt(3, "FOURTH");
  ASSERT_EQ(h.GetCount(), 4);
  EXPECT_EQ(h.GetAt(1), "");
  EXPECT_EQ(h.GetAt(3), "FOURTH");
  h.InsertAt(1, "SECOND");
  EXPECT_EQ(h.GetAt(1), "SECOND");
  EXPECT_EQ(h.GetAt(4), "FOURTH");
  EXPECT_EQ(h.DeleteAt(4), 1);
  EXPECT_EQ(h.DeleteAt(4), 0);
  EXPECT_EQ(h.GetCount(), 4);
}

TEST(FitsHeaderTest, FindComparesTheWholePaddedKeyword) {
  CFitsHeader h;
  h.Add("NAXIS1  =                  100");
  h.Add("NAXIS   =                    2");
  h.Add("LONGKEYWORD");
  EXPECT_EQ(h.Find("NAXIS"), 1);
  EXPECT_EQ(h.Find("NAXIS1"), 0);
  EXPECT_EQ(h.Find("LONGKEYWXXX"), 2);  // cut to 8 characters
  EXPECT_EQ(h.Find("BITPIX"), -1);
}

TEST(FitsHeaderTest, DeleteAllTakesContinuationCardsWithIt) {
  CFitsHeader h;
  h.Add("COMMENT   first");
  h.Add("          continued");
  h.Add("          continued again");
  h.Add("OBJECT  = 'M42'");
  h.Add("          not a COMMENT's continuation? yes it follows OBJECT");
  h.Add("COMMENT   second");
  h.Add("          its continuation");
  h.Add("HISTORY   kept");
  h.DeleteAll("COMMENT");
  ASSERT_EQ(h.GetCount(), 3);
  EXPECT_EQ(h.GetAt(0).substr(0, 6), "OBJECT");
  EXPECT_EQ(h.GetAt(1).substr(0, 10), "          ");
  EXPECT_EQ(h.GetAt(2).substr(0, 7), "HISTORY");
  h.DeleteAll();
  EXPECT_EQ(h.GetCount(), 0);
}

TEST(FitsHeaderTest, NaxisCardsAreRewrittenOnlyWhenPresent) {
  CFitsHeader h;
  h.SetNaxis1(10);
  EXPECT_EQ(h.GetCount(), 0);
  h.Add("NAXIS1  =                    5");
  h.Add("NAXIS2  =                    7");
  h.SetNaxis1(640);
  h.SetNaxis2(480);
  EXPECT_EQ(h.GetAt(0), "NAXIS1  =                  640 / # of pixels/row");
  EXPECT_EQ(h.GetAt(1), "NAXIS2  =                  480 / # of rows in frame");
}

TEST(FitsExtensionTest, AxesColumnsAndDataSize) {
  CFitsExtension e;
  EXPECT_EQ(e.GetDataSize(), 0u);
  e.SetNAxis(2);
  e.SetNAxes(0, 120);
  e.SetNAxes(1, 30);
  EXPECT_EQ(e.GetDataSize(), 3600u);
  EXPECT_THROW(e.SetNAxes(2, 1), std::out_of_range);
  EXPECT_THROW(e.GetNAxes(-1), std::out_of_range);
  e.SetNAxes(1, -3);
  EXPECT_EQ(e.GetDataSize(), 0u);
  e.SetNAxis(3);
  e.SetNAxes(0, 2000000000);
  e.SetNAxes(1, 2000000000);
  e.SetNAxes(2, 2000000000);
  EXPECT_EQ(e.GetDataSize(), UINT64_MAX);  // saturates instead of wrapping
  e.SetSize(3);
  e.SetTType("'X'", 2);
  e.SetTBCol(17, 2);
  EXPECT_EQ(e.GetTType(2), "'X'");
  EXPECT_EQ(e.GetTBCol(2), 17);
  EXPECT_THROW(e.GetTForm(3), std::out_of_range);
}

TEST(FitsExtensionTest, CopyingCarriesEverythingOrNothing) {
  CFitsExtension empty;
  empty.SetXtension("'TABLE   '");
  empty.SetExtName("'no data'");
  empty.SetNAxis(2);
  CFitsExtension copy(empty);
  EXPECT_EQ(copy.GetXtension(), "");
  EXPECT_EQ(copy.GetExtName(), "");
  EXPECT_EQ(copy.GetNAxis(), 0);
  EXPECT_FALSE(copy.HasData());

  CFitsExtension src;
  src.SetXtension("'TABLE   '");
  src.SetExtName(std::string(kExtNamePhot));
  src.SetBitPix(8);
  src.SetNAxis(2);
  src.SetNAxes(0, 4);
  src.SetNAxes(1, 2);
  src.SetTFields(1);
  src.SetSize(1);
  src.SetTForm("'A4'", 0);
  src.m_Header.Add("XTENSION= 'TABLE   '");
  src.SetData({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  CFitsExtension dst;
  dst.SetData({1, 2, 3});
  dst = src;
  EXPECT_EQ(dst.GetExtName(), src.GetExtName());
  EXPECT_EQ(dst.GetTForm(0), "'A4'");
  EXPECT_EQ(dst.m_Header, src.m_Header);
  ASSERT_EQ(dst.GetDataLength(), 8u);
  EXPECT_NE(dst.GetData(), src.GetData());
  EXPECT_EQ(std::string(dst.GetData(), dst.GetData() + 8), "abcdefgh");

  // A source whose axes claim more than it holds copies only what it has; one holding
  // more (a table of 16-bit values) keeps all of it.
  src.SetNAxes(0, 1000);
  CFitsExtension short_copy(src);
  EXPECT_EQ(short_copy.GetDataLength(), 8u);
  src.SetNAxes(0, 2);
  CFitsExtension wide_copy(src);
  EXPECT_EQ(wide_copy.GetDataLength(), 8u);
  EXPECT_EQ(wide_copy.GetData()[7], 'h');
}

TEST(FitsExtensionTest, WorldCoordinatesFromForeignTablesOnly) {
  CFitsExtension e;
  e.SetExtName("'WCS-TAB'");
  e.SetSize(2);
  e.SetTType("'RA'", 0);
  e.SetTType("'CD1_1'", 1);
  EXPECT_EQ(e.IsWCSFromExtension(), 1);
  e.SetTType("'XPC'", 1);
  EXPECT_EQ(e.IsWCSFromExtension(), 0);
  e.SetTType("PC1_2", 1);
  EXPECT_EQ(e.IsWCSFromExtension(), 1);
  for (std::string_view own : {kExtNamePhot, kExtNamePos, kExtNamePhoR}) {
    e.SetExtName(own);
    EXPECT_EQ(e.IsWCSFromExtension(), 0) << own;
  }
  e.SetExtName("'Vantorel Phot data  '");  // blanks padded inside the quotes
  EXPECT_EQ(e.IsWCSFromExtension(), 0);
}
