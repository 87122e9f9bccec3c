// Files whose names tell no format (".mt", ".fts.1", none at all) are read by their first
// card: a FITS file, plain or gzip-packed, opens as FITS under such a name, reads the same
// as under its own, and saves back over itself as FITS; anything else stays refused as of
// unknown format, and a name of another known format keeps it. Only regular files are
// looked into, without waiting on a FIFO.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "formats/fio/fileiomsg.h"
#include "formats/fitscomp/fitscomp.h"
#include "imagemodel/vmmanager.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Card(std::string text) {
  text.resize(80, ' ');
  return text;
}

// A 5 x 3 image of 16-bit values with a scaling, as a FITS file's bytes; simple is the
// text of the first card.
std::string SmallFits(const std::string& simple = "SIMPLE  =                    T") {
  std::string h = Card(simple) + Card("BITPIX  =                   16") +
                  Card("NAXIS   =                    2") + Card("NAXIS1  =                    5") +
                  Card("NAXIS2  =                    3") + Card("BSCALE  =                  0.5") +
                  Card("BZERO   =                  100") + Card("END");
  h.resize(2880, ' ');
  std::string d;
  for (int v = -7; v < 8; ++v) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v * 1000));
    d += static_cast<char>(u >> 8);
    d += static_cast<char>(u & 0xFF);
  }
  d.resize(2880, '\0');
  return h + d;
}

std::vector<double> Pixels(const CRalImage& image) {
  std::vector<double> all(static_cast<std::size_t>(image.GetWidth() * image.GetHeight()));
  for (int y = 0; y < image.GetHeight(); ++y)
    EXPECT_TRUE(image.GetPhysicalRow(y, 0, all.data() + y * image.GetWidth()));
  return all;
}

class ContentTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVmManager::Restart();
    CRalImageIO::ClearLastError();
  }
  std::string Put(const std::string& name, const std::string& bytes) {
    WriteFileOrDie(dir_.File(name), bytes);
    return dir_.File(name);
  }
  // Reads as the program opens a file: the type its name suggests, then ReadFile.
  static int Open(CRalImage& image, const std::string& path, int* type = nullptr) {
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    const int ok = CRalImageIO::ReadFile(image, path, &param, -64, nullptr);
    if (type) *type = param.GetFileType();
    return ok;
  }

  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox box_;
  ScopedMessageBox scoped_{&box_};
};

TEST_F(ContentTypeTest, AFitsFileOpensAsFitsUnderAnyNameThatTellsNoFormat) {
  const std::string fits = Put("x.fits", SmallFits());
  CRalImage reference;
  ASSERT_EQ(Open(reference, fits), 1);
  const std::vector<double> want = Pixels(reference);
  ASSERT_EQ(*std::min_element(want.begin(), want.end()), -7000 * 0.5 + 100);
  ASSERT_EQ(*std::max_element(want.begin(), want.end()), 7000 * 0.5 + 100);

  ASSERT_EQ(fitscomp::GzipFile(fits, dir_.File("x.pk")), 0);
  for (const std::string name : {"x.mt", "x.fts.1", "x", "x.pk"}) {
    SCOPED_TRACE(name);
    const std::string path = name == "x.pk" ? dir_.File(name) : Put(name, SmallFits());
    EXPECT_TRUE(CRalImageIO::IsFitsFile(path));
    EXPECT_EQ(CRalImageIO::GetFileTypeOfFile(path), FILETYPE_FITS);
    CRalImage image;
    int type = 0;
    ASSERT_EQ(Open(image, path, &type), 1) << CRalImageIO::GetLastError();
    EXPECT_EQ(type, FILETYPE_FITS) << "the type read is recorded";
    EXPECT_EQ(image.GetOrgFileFormat(), "FITS");
    EXPECT_EQ(Pixels(image), want);
    // The header alone too, as info and the plane question read it.
    CRalImage header;
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    ASSERT_EQ(CRalImageIO::ReadHeader(header, path, &param), 1);
    EXPECT_EQ(header.GetWidth(), 5);
    EXPECT_EQ(param.GetFileType(), FILETYPE_FITS);
  }
  EXPECT_TRUE(box_.shown.empty());

  // A name of another known format keeps it: a FITS file named .png is no PNG file.
  CRalImage png;
  int type = 0;
  EXPECT_EQ(Open(png, Put("x.png", SmallFits()), &type), 0);
  EXPECT_EQ(type, FILETYPE_PNG);
  EXPECT_EQ(CRalImageIO::GetFileTypeOfFile(dir_.File("x.png")), FILETYPE_PNG);
  EXPECT_NE(CRalImageIO::GetLastError(), FIO_ERR_UNKNOWN_TYPE);
}

TEST_F(ContentTypeTest, OnlyTheStandardFirstCardOfARegularFileMakesFits) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"false.mt", SmallFits("SIMPLE  =                    F")},
      {"free.mt", SmallFits("SIMPLE  = T")},  // T not in column 30
      {"lower.mt", SmallFits("simple  =                    T")},
      {"short.mt", "SIMPLE  =                    "},
      {"empty.mt", ""},
      {"text.mt", "a note about M31\n"},
      {"gzip.mt", std::string("\x1f\x8b", 2) + "not a gzip stream at all"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Put(c.name, c.bytes);
    EXPECT_FALSE(CRalImageIO::IsFitsFile(path));
    EXPECT_EQ(CRalImageIO::GetFileTypeOfFile(path), FILETYPE_UNKNOWN);
    box_.shown.clear();
    CRalImage image;
    EXPECT_EQ(Open(image, path), 0);
    EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_UNKNOWN_TYPE);
    ASSERT_EQ(box_.shown.size(), 1u);
    EXPECT_EQ(box_.shown[0].text, FileioMessageText(FIO_ERR_UNKNOWN_TYPE, path));
  }
  // A number as extension is an SBIG frame unless the content is FITS.
  EXPECT_EQ(CRalImageIO::GetFileTypeOfFile(Put("frame.001", "ST-7 Image\n")), FILETYPE_SBIG);
  // Nothing but a regular file is opened: a FIFO without a writer would hold up a
  // blocking open for ever; a folder and a missing file are no FITS files either.
  ASSERT_EQ(::mkfifo(dir_.File("pipe.mt").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir_.File("folder.mt").c_str(), 0700), 0);
  for (const char* name : {"pipe.mt", "folder.mt", "missing.mt"})
    EXPECT_FALSE(CRalImageIO::IsFitsFile(dir_.File(name))) << name;
}

TEST_F(ContentTypeTest, AFitsFileOpenedUnderSuchANameIsSavedBackAsFits) {
  const std::string path = Put("x.mt", SmallFits());
  CRalImage image;
  ASSERT_EQ(Open(image, path), 1);
  EXPECT_EQ(CRalImageIO::GetSaveFileType(image, path), FILETYPE_FITS);
  // A new file of no known format, and another file of the image's, are not FITS by that.
  EXPECT_EQ(CRalImageIO::GetSaveFileType(image, dir_.File("new.mt")), FILETYPE_UNKNOWN);
  EXPECT_EQ(CRalImageIO::GetSaveFileType(image, Put("other.mt", SmallFits())), FILETYPE_UNKNOWN);
  EXPECT_EQ(CRalImageIO::GetSaveFileType(image, dir_.File("x.tif")), FILETYPE_TIFF);

  CRalImage changed;
  ASSERT_EQ(Open(changed, path), 1);
  *static_cast<double*>(changed.GetImageAdr(0, 0, 0)) = 42.0;
  ASSERT_EQ(CRalImageIO::WriteImageFile(changed, path, 0), 1) << CRalImageIO::GetLastError();
  ASSERT_TRUE(CRalImageIO::IsFitsFile(path));
  CRalImage again;
  ASSERT_EQ(Open(again, path), 1);
  EXPECT_EQ(Pixels(again), Pixels(changed));
  EXPECT_EQ(CRalImageIO::WriteImageFile(changed, dir_.File("new.mt"), 0), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_UNKNOWN_TYPE);

  // A gzip-packed file is not written back unpacked under its name.
  const std::string plain = Put("plain.fits", SmallFits());
  ASSERT_EQ(fitscomp::GzipFile(plain, dir_.File("x.pk")), 0);
  CRalImage packed;
  ASSERT_EQ(Open(packed, dir_.File("x.pk")), 1);
  EXPECT_EQ(CRalImageIO::GetSaveFileType(packed, dir_.File("x.pk")), FILETYPE_UNKNOWN);
}

}  // namespace
