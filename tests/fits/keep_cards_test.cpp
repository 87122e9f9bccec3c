// Unplaced header keywords kept live by the setting KeepCards of section IO: which cards
// count as valid FITS, where the kept cards stand, saving the saved file again, the
// setting off as before, and the saved files read by ccdproc's ImageFileCollection and
// fitsverify.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "fits/fitscards.h"
#include "tests/fits/fits_test_support.h"

namespace {

using namespace fitstest;

struct CardCase {
  const char* card;
  bool valid;
};

class ValidCard : public ::testing::TestWithParam<CardCase> {};

TEST_P(ValidCard, AsFitsDefinesIt) {
  EXPECT_EQ(fitscards::IsValidKeywordCard(GetParam().card), GetParam().valid) << GetParam().card;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, ValidCard,
    ::testing::Values(CardCase{"FILTER  = 'R       '           / filter", true},
                      CardCase{"FILTER  = 'it''s R'", true},  // a doubled quote inside
                      CardCase{"GAIN    =                  1.5", true},
                      CardCase{"CCD-TEMP=               -20.25 / degrees", true},
                      CardCase{"SATURATE=              6.5D+04", true},
                      CardCase{"XBINNING=                    2", true},
                      CardCase{"FLIPPED =                    F", true},
                      CardCase{"IMPEDANC= (1.5, -2.0)", true},
                      CardCase{"UNKNOWN =                      / no value", true},
                      CardCase{"HISTORY flat fielded", true},
                      CardCase{"CONTINUE  'the rest'", true},
                      CardCase{"GAIN    = abc", false},                    // no FITS value
                      CardCase{"GAIN    =                 1.5e3", false},  // lower-case exponent
                      CardCase{"GAIN    =                   1.", true},
                      CardCase{"GAIN    =                    .", false},
                      CardCase{"FILTER  = 'R", false},              // quote never closed
                      CardCase{"FILTER  = 'R' junk", false},        // text after the value
                      CardCase{"BAD KEY = 1", false},               // blank inside a keyword
                      CardCase{"filter  = 'R'", false},             // lower-case keyword
                      CardCase{"FILTER  'R'", false},               // no value indicator
                      CardCase{"OBJECT  = 'アンドロメダ'", false},  // not ASCII
                      CardCase{"        just text", false}, CardCase{"CONTINUE  plain", false},
                      CardCase{"IMPEDANC= (1.5 -2.0)", false}));

class KeepCardsTest : public FitsTest {
 protected:
  // A 16-bit image read from a file with these cards after the image's own.
  void ReadSource(const std::vector<std::string>& extra, CRalImage& image) {
    std::vector<std::string> cards = ImageCards(16, {6, 4});
    for (const std::string& c : extra) cards.push_back(Card(c));
    std::vector<std::int16_t> v(24);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>(i * 7);
    ASSERT_EQ(CFits::Read(image, Put("src.fits", Header(cards) + PadRecord(BigEndian(v), '\0')), 1,
                          0, 0, 0, 0, nullptr, "", 0),
              FITS_OK);
  }
  // The composed cards without trailing blanks, DATE and the banner's time left out.
  static std::vector<std::string> Comparable(const CImage& image) {
    std::vector<std::string> out;
    const CFitsHeader header = CFits::FormatHeader(image);
    for (const std::string& c : header.Cards()) {
      const std::string card = c.substr(0, c.find_last_not_of(' ') + 1);
      if (card.rfind("DATE    =", 0) == 0 || card.rfind(std::string(kFitsCommentOutBanner), 0) == 0)
        continue;
      out.push_back(card);
    }
    return out;
  }
  static int IndexOf(const std::vector<std::string>& cards, const std::string& begin) {
    for (std::size_t i = 0; i < cards.size(); ++i)
      if (cards[i].rfind(begin, 0) == 0) return static_cast<int>(i);
    return -1;
  }
};

const std::vector<std::string> kExtra = {
    "OBJECT  = 'NGC 7000'",
    "IMAGETYP= 'FLAT    '",
    "FILTER  = 'Ha      '           / narrow band",
    "GAIN    =                 0.85",
    "HISTORY bias subtracted",
    "GAIN2   = abc",
    "CHECKSUM= 'hcHjjc9ghcEghc9g'",
    "CRPIX3  =                  1.0",
    "FILTER  = 'OIII    '",
    "COMMENT from the camera",
};

TEST_F(KeepCardsTest, SettingKeepsValidUnplacedCardsBeforeTheParameterBlock) {
  CRalImage image;
  ASSERT_NO_FATAL_FAILURE(ReadSource(kExtra, image));
  // Stored as the environment dialog stores it.
  ASSERT_EQ(CRegistry::Write("IO", "KeepCards", 1, CRegistry::TYPE_BOOL), 1);
  const std::vector<std::string> on = Comparable(image);
  const int object = IndexOf(on, "OBJECT  =");
  const int block = IndexOf(on, std::string(kFitsParamTitle));
  ASSERT_GE(object, 0);
  // The valid unplaced cards, in their order, after the observation group and its
  // blank, then a blank and the parameter block.
  const std::vector<std::string> kept = {
      "IMAGETYP= 'FLAT    '", "FILTER  = 'Ha      '           / narrow band",
      "GAIN    =                 0.85", "HISTORY bias subtracted", ""};
  ASSERT_LT(object + 2 + static_cast<int>(kept.size()), static_cast<int>(on.size()));
  EXPECT_EQ(on[static_cast<std::size_t>(object) + 1], "");
  for (std::size_t k = 0; k < kept.size(); ++k)
    EXPECT_EQ(on[static_cast<std::size_t>(object) + 2 + k], kept[k]);
  EXPECT_EQ(block, object + 2 + static_cast<int>(kept.size()) + 1);
  // The rest is commented out under the banner as before.
  for (const char* c : {"COMMENT GAIN2   = abc", "COMMENT CHECKSUM=", "COMMENT CRPIX3  =",
                        "COMMENT FILTER  = 'OIII", "COMMENT from the camera"})
    EXPECT_GT(IndexOf(on, c), block) << c;
  EXPECT_EQ(IndexOf(on, "COMMENT IMAGETYP"), -1);

  // Saving the saved file again, twice, gives the same cards.
  CRalImage second, third;
  ASSERT_EQ(CFits::Write(image, dir_.File("on1.fits"), nullptr, ""), FITS_OK);
  ASSERT_EQ(CFits::Read(second, dir_.File("on1.fits"), 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  ASSERT_EQ(CFits::Write(second, dir_.File("on2.fits"), nullptr, ""), FITS_OK);
  ASSERT_EQ(CFits::Read(third, dir_.File("on2.fits"), 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  EXPECT_EQ(Comparable(second), on);
  EXPECT_EQ(Comparable(third), on);

  // The override of a process wins over the setting, and -1 gives the setting back.
  CFits::SetKeepCardsOverride(0);
  const std::vector<std::string> overridden = Comparable(image);
  CFits::SetKeepCardsOverride(-1);
  EXPECT_EQ(Comparable(image), on);

  // Off: what a save wrote before there was a choice, every unplaced card commented out.
  ASSERT_EQ(CRegistry::Write("IO", "KeepCards", 0, CRegistry::TYPE_BOOL), 1);
  const std::vector<std::string> off = Comparable(image);
  EXPECT_EQ(off, overridden);
  EXPECT_EQ(IndexOf(off, "FILTER  ="), -1);
  EXPECT_EQ(IndexOf(off, "HISTORY"), -1);
  const int offBlock = IndexOf(off, std::string(kFitsParamTitle));
  for (const char* c : {"COMMENT IMAGETYP= 'FLAT", "COMMENT FILTER  = 'Ha", "COMMENT GAIN    =",
                        "COMMENT HISTORY bias subtracted", "COMMENT GAIN2   = abc"})
    EXPECT_GT(IndexOf(off, c), offBlock) << c;
  ASSERT_EQ(CFits::Write(image, dir_.File("off.fits"), nullptr, ""), FITS_OK);

  // ccdproc finds the frames saved with the setting by their keys, and not the one saved
  // without it; fitsverify passes all three.
  const std::string command = "/usr/bin/python3 " KEEP_CARDS_SCRIPT " " + dir_.path() +
                              " on1.fits on2.fits off.fits > " + dir_.File("out.txt") + " 2>&1";
  const int rc = std::system(command.c_str());
  if (WIFEXITED(rc) && WEXITSTATUS(rc) == 77) GTEST_SKIP() << ReadFileOrEmpty(dir_.File("out.txt"));
  ASSERT_EQ(rc, 0) << ReadFileOrEmpty(dir_.File("out.txt"));
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("out.txt")),
            "on1.fits FLAT Ha 0.85 verified\n"
            "on2.fits FLAT Ha 0.85 verified\n"
            "off.fits - - - verified\n");
}

}  // namespace
