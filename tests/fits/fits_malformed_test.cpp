// Malformed FITS files made in code: every truncation, missing END, absurd sizes, junk.
// Each must give its code without a crash, a hang or a large allocation; the test suite
// runs under AddressSanitizer and UndefinedBehaviorSanitizer.
#include <sys/stat.h>

#include <random>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

class FitsMalformedTest : public FitsTest {
 protected:
  void SetUp() override {
    FitsTest::SetUp();
    // Warnings go to a recorder rather than to the test's output.
    scoped_ = std::make_unique<ScopedMessageBox>(&box_);
  }
  void TearDown() override {
    scoped_.reset();
    FitsTest::TearDown();
  }
  int Read(const std::string& bytes, int color = 0) {
    CRalImage img;
    return CFits::Read(img, Put("bad.fits", bytes), 1, color, 0, 1, 2, nullptr, "", 0);
  }
  RecordingMessageBox box_;
  std::unique_ptr<ScopedMessageBox> scoped_;
};

// A two-record header, three records of 16-bit data and a table of two records.
std::string WellFormed() {
  std::vector<std::string> cards = ImageCards(16, {60, 60}, true);
  for (int i = 0; cards.size() < 40; ++i) cards.push_back(Key("NOTE" + std::to_string(i), i));
  std::vector<std::int16_t> v(60 * 60, 3);
  std::vector<std::string> extension = {Card("XTENSION= 'TABLE   '"),
                                        Key("BITPIX", 8),
                                        Key("NAXIS", 2),
                                        Key("NAXIS1", 10),
                                        Key("NAXIS2", 1),
                                        Key("TFIELDS", 1),
                                        Key("TTYPE1", "'A'"),
                                        Key("TBCOL1", 1),
                                        Key("EXTNAME", "'Vantorel Phot data'")};
  for (int i = 0; extension.size() < 40; ++i)
    extension.push_back(Key("NOTE" + std::to_string(i), i));
  return Header(cards) + PadRecord(BigEndian(v), '\0') + Header(extension) +
         PadRecord("0123456789", ' ');
}

}  // namespace

TEST_F(FitsMalformedTest, TruncationAtEveryRecordBoundary) {
  const std::string file = WellFormed();
  ASSERT_EQ(file.size(), 8 * kRecord);
  ASSERT_EQ(Read(file), FITS_OK);
  // Records: 0-1 header, 2-4 data, 5-6 extension header, 7 extension data. A file that
  // ends inside the extension opens without it, which the reader notes.
  const int expected[] = {FITS_READ_FAILED,
                          FITS_READ_FAILED,
                          FITS_READ_FAILED,
                          FITS_READ_FAILED,
                          FITS_READ_FAILED,
                          FITS_OK /* no extension */,
                          FITS_OK /* cut in its header */,
                          FITS_OK /* cut before its data */};
  for (std::size_t records = 0; records < 8; ++records) {
    EXPECT_EQ(Read(file.substr(0, records * kRecord)), expected[records]) << records << " records";
    EXPECT_EQ(CFits::GetCutExtension().number, records >= 6 ? 1 : 0) << records << " records";
  }
  EXPECT_TRUE(box_.shown.empty()) << "the reader itself shows nothing";
}

TEST_F(FitsMalformedTest, TruncationAnywhereGivesACodeNeverACrash) {
  const std::string file = WellFormed();
  for (std::size_t size = 1; size < file.size(); size += 397) {
    const int rc = Read(file.substr(0, size));
    EXPECT_TRUE(rc == FITS_READ_FAILED || rc == FITS_OK) << size << ": " << rc;
    // The image's data end at 2 × 2880 + 7200 bytes; only what comes later may be missing.
    if (size < 2 * kRecord + 7200) {
      EXPECT_EQ(rc, FITS_READ_FAILED) << size;
    }
  }
}

TEST_F(FitsMalformedTest, FileNotAMultipleOfTheRecordSize) {
  std::vector<std::int16_t> v(50, 9);
  // Complete data without the padding of its last record.
  EXPECT_EQ(Read(Header(ImageCards(16, {10, 5})) + BigEndian(v)), FITS_OK);
  // A header cut inside its record.
  EXPECT_EQ(Read(Header(ImageCards(16, {10, 5})).substr(0, 1000)), FITS_READ_FAILED);
  // Data cut inside a row.
  EXPECT_EQ(Read(Header(ImageCards(16, {10, 5})) + BigEndian(v).substr(0, 99)), FITS_READ_FAILED);
}

TEST_F(FitsMalformedTest, HeaderWithoutEnd) {
  std::vector<std::int16_t> v(4, 1);
  EXPECT_EQ(Read(Header(ImageCards(16, {2, 2}), false) + PadRecord(BigEndian(v), '\0')),
            FITS_READ_FAILED);
  // Many records of cards and no END: the length is bounded by the file.
  std::vector<std::string> cards = ImageCards(8, {1, 1});
  for (int i = 0; i < 2000; ++i) cards.push_back(Key("JUNK" + std::to_string(i % 1000), i));
  EXPECT_EQ(Read(Header(cards, false)), FITS_READ_FAILED);
}

TEST_F(FitsMalformedTest, EmptyMissingAndNonRegularFiles) {
  EXPECT_EQ(Read(""), FITS_READ_FAILED);
  CRalImage img;
  EXPECT_EQ(CFits::Read(img, dir_.File("none.fits"), 1, 0, 0, 0, 0, nullptr, "", 0),
            FITS_OPEN_FAILED);
  EXPECT_EQ(CFits::Read(img, dir_.path(), 1, 0, 0, 0, 0, nullptr, "", 0), FITS_IS_FOLDER);
  EXPECT_EQ(CFits::ReadHeader(img, dir_.path(), 1), FITS_IS_FOLDER);
  const std::string fifo = dir_.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CFits::Read(img, fifo, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_NOT_REGULAR);
}

TEST_F(FitsMalformedTest, SizesThatWouldAllocateTooMuchAreRefusedFirst) {
  struct Case {
    std::vector<long long> axes;
    int bits;
    int expected;
  };
  const Case cases[] = {
      {{2147483647, 2147483647}, 16, FITS_READ_FAILED},  // 8 EiB claimed by a small file
      {{1, 1, 2147483647}, 8, FITS_READ_FAILED},         // two billion planes
      {{65536, 65536, 65536}, 16, FITS_READ_FAILED},     // 512 TiB
      {{2147483647, 2147483647, 2147483647}, 32, FITS_INVALID_IMAGE},  // beyond 64 bits
      {{-1, 5}, 8, FITS_INVALID_IMAGE},
      {{5, -2147483647}, 8, FITS_INVALID_IMAGE},
      {{5, 5, 0}, 8, FITS_INVALID_IMAGE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(Header(ImageCards(c.bits, c.axes)) + std::string(kRecord, '\0')), c.expected);
    EXPECT_EQ(Read(Header(ImageCards(c.bits, c.axes)) + std::string(kRecord, '\0'), 1), c.expected);
  }
}

TEST_F(FitsMalformedTest, JunkValuesAndJunkFiles) {
  const std::vector<std::string> junk = {
      "'",    "''''''''''",         "T",   "1e999999", "-",
      "0x10", std::string(70, '9'), "NaN", "'abc",     "/ only a comment"};
  for (const std::string& value : junk) {
    for (const char* key :
         {"BITPIX",   "NAXIS",   "NAXIS1",  "NAXIS2",   "BSCALE", "BZERO",   "BLANK",
          "CTYPE1",   "CUNIT2",  "AUTHOR",  "CRPIX1",   "CD1_1",  "PC2_2",   "PV2_1",
          "PC001002", "SI-TYPE", "SI-LMTD", "SI-LMIN1", "EXTEND", "DISPAXIS"}) {
      std::vector<std::string> cards = ImageCards(8, {4, 4}, true);
      cards.push_back(Key(key, value));
      cards.push_back(Card(std::string("SI-LMAX1= ") + value));
      const int rc = Read(Header(cards) + PadRecord(std::string(16, '\x02'), '\0'));
      EXPECT_TRUE(rc == FITS_OK || rc == FITS_READ_FAILED || rc == FITS_INVALID_IMAGE ||
                  rc == FITS_INVALID_CARD)
          << key << " = " << value << ": " << rc;
    }
  }
  // Random bytes, and random bytes behind a valid header.
  std::mt19937 random(20240607);
  for (int n = 0; n < 40; ++n) {
    std::string bytes(static_cast<std::size_t>(random() % (4 * kRecord)), '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const int rc = Read(bytes);
    EXPECT_TRUE(rc == FITS_READ_FAILED || rc == FITS_INVALID_IMAGE || rc == FITS_INVALID_CARD)
        << rc;
    const int after = Read(Header(ImageCards(8, {4, 4}, true)) +
                           PadRecord(std::string(16, '\x02'), '\0') + "XTENSION= " + bytes);
    EXPECT_TRUE(after == FITS_OK || after == FITS_READ_FAILED || after == FITS_INVALID_IMAGE)
        << after;
  }
}

TEST_F(FitsMalformedTest, ForeignExtensionWithJunkSizesIsKeptAsBytesUpToTheNextExtension) {
  std::vector<std::int16_t> v(4, 1);
  const std::string image = Header(ImageCards(16, {2, 2}, true)) + PadRecord(BigEndian(v), '\0');
  const std::string table =
      Header({Card("XTENSION= 'TABLE   '"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 1),
              Key("NAXIS2", 1), Key("TFIELDS", 0), Key("EXTNAME", "'Vantorel Pos data'")}) +
      PadRecord("1", ' ');
  // Sizes that cannot be right, and a data unit claimed far beyond the end of the file
  // that another extension follows: the unit is kept as the bytes up to that one, which
  // is read, and the reader names the unit it could not parse.
  const std::string negative = Header({Card("XTENSION= 'IMAGE   '"), Key("BITPIX", 8),
                                       Key("NAXIS", 1), Key("NAXIS1", -40), Key("EXTNAME", "'X'")});
  const std::string huge = Header({Card("XTENSION= 'IMAGE   '"), Key("BITPIX", 8), Key("NAXIS", 1),
                                   Key("NAXIS1", 2000000000), Key("EXTNAME", "'X'")});
  for (const std::string& foreign : {negative, huge}) {
    CRalImage img;
    ASSERT_EQ(
        CFits::Read(img, Put("f.fits", image + foreign + table), 1, 0, 0, 0, 0, nullptr, "", 0),
        FITS_OK);
    ASSERT_EQ(img.m_FitsExtensions.size(), 1u);
    EXPECT_EQ(img.m_FitsExtensions[0].GetExtName(), "'Vantorel Pos data'");
    ASSERT_EQ(img.m_KeptExtensions.size(), 1u);
    EXPECT_EQ(img.m_KeptExtensions[0].GetHeader(), foreign);
    EXPECT_EQ(img.m_KeptExtensions[0].GetDataLength(), 0u);
    const std::vector<FitsCutExtension> damaged = CFits::GetDamagedExtensions();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].number, 1);
    EXPECT_EQ(damaged[0].name, "X");
    EXPECT_EQ(CFits::GetCutExtension().number, 0);
  }
  // Without a later extension the huge one is a file cut short: left out and noted so.
  CRalImage img;
  ASSERT_EQ(CFits::Read(img, Put("g.fits", image + huge), 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  EXPECT_TRUE(img.m_KeptExtensions.empty());
  EXPECT_EQ(CFits::GetCutExtension().number, 1);
  EXPECT_TRUE(CFits::GetDamagedExtensions().empty());
}
