#include "formats/clipboard/ralclipboard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "formats/fio/fileiomsg.h"
#include "imagemodel/image.h"
#include "platform/messagebox.h"
#include "platform/progress.h"

namespace {

// A clipboard in memory that can be told to refuse.
class MemoryClipboard : public ClipboardAccess {
 public:
  bool open = true, placeFails = false;
  std::vector<std::uint8_t> block;
  DibBlock dib;
  bool Open() override { return open; }
  bool HasPrivate() override { return !block.empty(); }
  bool HasBitmap() override { return !dib.empty(); }
  bool GetPrivate(std::vector<std::uint8_t>* out) override {
    *out = block;
    return !block.empty();
  }
  bool GetBitmap(DibBlock* out) override {
    *out = dib;
    return !dib.empty();
  }
  bool Place(const std::vector<std::uint8_t>& b, const DibBlock& d) override {
    if (placeFails) return false;
    block = b;
    dib = d;
    return true;
  }
};

class ScopedAccess {
 public:
  explicit ScopedAccess(ClipboardAccess* a) { SetClipboardAccess(a); }
  ~ScopedAccess() { SetClipboardAccess(nullptr); }
};

struct Case {
  int bits;
  int isSigned;
  int planes;
  double bscale, bzero;
};

class ClipLayoutTest : public ::testing::TestWithParam<Case> {};

TEST_P(ClipLayoutTest, CopyAndPasteKeepRawValuesScalingAndLevels) {
  const Case& c = GetParam();
  CImage image(c.bits, 13, 7, c.planes, c.bscale, c.bzero, c.isSigned);
  const std::size_t row = 13u * image.GetBytesPixel();
  for (int p = 0; p < c.planes; ++p)
    for (int y = 0; y < 7; ++y) {
      auto* r = static_cast<std::uint8_t*>(image.GetImageAdr(0, y, p));
      for (std::size_t i = 0; i < row; ++i)
        r[i] = static_cast<std::uint8_t>(i * 31 + y * 7 + p * 101);
    }
  for (int p = 0; p < c.planes; ++p) image.SetLevel(p, -3.5 + p, 1234.25 * (p + 1));

  MemoryClipboard clip;
  ScopedAccess scoped(&clip);
  ASSERT_EQ(CRalClipboard::Write(image, {}, nullptr, {}), FIO_OK);
  ASSERT_EQ(clip.block.size(), 112u + row * 7 * c.planes);
  std::int32_t bits;
  double bzero, max0;
  std::memcpy(&bits, clip.block.data(), 4);
  std::memcpy(&bzero, clip.block.data() + 32, 8);
  std::memcpy(&max0, clip.block.data() + 64, 8);
  EXPECT_EQ(bits, c.bits);
  EXPECT_EQ(bzero, c.bzero);
  EXPECT_EQ(max0, 1234.25);

  CImage back;
  RecordingProgress progress;
  ASSERT_EQ(CRalClipboard::Read(back, &progress, "paste"), FIO_OK);
  EXPECT_EQ(back.GetBitsPixel(), c.bits);
  EXPECT_EQ(back.IsSigned(), c.isSigned);
  EXPECT_EQ(back.GetPlanes(), c.planes);
  EXPECT_EQ(back.GetDimension(), c.planes > 1 ? 3 : 2);
  EXPECT_EQ(back.GetBscale(), c.bscale);
  EXPECT_EQ(back.GetBzero(), c.bzero);
  for (int p = 0; p < c.planes; ++p) {
    EXPECT_EQ(back.GetLevelMin(p), image.GetLevelMin(p));
    EXPECT_EQ(back.GetLevelMax(p), image.GetLevelMax(p));
    EXPECT_EQ(back.GetLevelRange(p), image.GetLevelRange(p));
    for (int y = 0; y < 7; ++y)
      ASSERT_EQ(std::memcmp(back.GetImageAdr(0, y, p), image.GetImageAdr(0, y, p), row), 0);
  }
  EXPECT_EQ(back.HasOwnLevel(), 1);
  EXPECT_EQ(back.IsSaveableFormat(), 1);
  EXPECT_EQ(back.IsSaveableFile(), 0);
  EXPECT_EQ(back.GetOrgFileFormat(), kClipboardFormatText);
  EXPECT_EQ(back.GetOrgFileName(), kClipboardFileName);
  EXPECT_EQ(back.GetOrgBitsPixel(), c.bits);
  EXPECT_EQ(back.GetOrgPlanes(), c.planes);
  EXPECT_FALSE(progress.events.empty());
}

INSTANTIATE_TEST_SUITE_P(Types, ClipLayoutTest,
                         ::testing::Values(Case{8, 0, 1, 1, 0}, Case{16, 0, 1, 1, 32768},
                                           Case{16, 1, 3, 2.5, -7}, Case{32, 1, 1, 1, 0},
                                           Case{-32, 1, 3, 1, 0}, Case{-64, 1, 1, 1, 0}),
                         [](const auto& info) {
                           const Case& c = info.param;
                           return (c.bits < 0 ? "Float" + std::to_string(-c.bits)
                                              : (c.isSigned ? "Signed" : "Unsigned") +
                                                    std::to_string(c.bits)) +
                                  "Planes" + std::to_string(c.planes);
                         });

TEST(ClipRules, CodesAndTheBitmapFallback) {
  CImage image;
  EXPECT_EQ(CRalClipboard::Read(image), FIO_ERR_CLIPBOARD_OPEN);  // no clipboard at all
  MemoryClipboard clip;
  ScopedAccess scoped(&clip);
  EXPECT_EQ(CRalClipboard::IsReadable(), 0);
  EXPECT_EQ(CRalClipboard::Read(image), FIO_ERR_CLIPBOARD_EMPTY);
  clip.open = false;
  EXPECT_EQ(CRalClipboard::Read(image), FIO_ERR_CLIPBOARD_OPEN);
  clip.open = true;

  // Another program's 24-bit bitmap, 2 × 1: one grey pixel and one red one.
  BITMAPINFOHEADER h;
  h.biWidth = 2;
  h.biHeight = 1;
  h.biBitCount = 24;
  clip.dib.assign(40, 0);
  StoreBitmapInfoHeader(h, clip.dib.data());
  for (int v : {9, 9, 9, 0, 0, 200, 0, 0}) clip.dib.push_back(static_cast<std::uint8_t>(v));
  EXPECT_EQ(CRalClipboard::IsReadable(), 1);
  ASSERT_EQ(CRalClipboard::Read(image), FIO_OK);
  EXPECT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetPixel(1, 0, 0), 200.0);
  EXPECT_EQ(image.GetOrgBitsPixel(), 24);
  EXPECT_EQ(image.GetOrgPlanes(), 0);

  CImage small(8, 1, 1, 1, 1.0, 0.0, 0);
  clip.placeFails = true;
  EXPECT_EQ(CRalClipboard::Write(small, clip.dib), FIO_ERR_CLIPBOARD_WRITE);
}

// A private block cut short of its rows or of its header, or with an impossible type,
// holds no image to paste: the clipboard's code, and through the dispatcher the
// clipboard's message without a file name, not the message of a file cut short.
TEST(ClipRules, DamagedPrivateBlockGivesTheClipboardMessage) {
  MemoryClipboard clip;
  ScopedAccess scoped(&clip);
  CImage small(16, 8, 3, 1, 1.0, 0.0, 0);
  ASSERT_EQ(CRalClipboard::Write(small, clip.dib), FIO_OK);
  const std::vector<std::uint8_t> whole = clip.block;
  ASSERT_EQ(whole.size(), 112u + 8 * 3 * 2);
  const std::vector<std::vector<std::uint8_t>> damaged{
      {whole.begin(), whole.end() - 1},
      {whole.begin(), whole.begin() + 112},
      {whole.begin(), whole.begin() + 60},
      std::vector<std::uint8_t>(112, 0),
  };
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    clip.block = damaged[i];
    CImage image;
    EXPECT_EQ(CRalClipboard::Read(image), FIO_ERR_CLIPBOARD_EMPTY) << "case " << i;
    RecordingMessageBox box;
    ScopedMessageBox scopedBox(&box);
    CRalImage pasted;
    CReadParam param;
    param.SetFileType(FILETYPE_CLIPBOARD);
    EXPECT_EQ(CRalImageIO::ReadImageFile(pasted, "_CLIPBOARD_", &param), 0) << "case " << i;
    ASSERT_EQ(box.shown.size(), 1u) << "case " << i;
    EXPECT_EQ(box.shown[0].text, std::string(kFioMsgClipboardEmpty)) << "case " << i;
  }
  // The whole block still pastes.
  clip.block = whole;
  CImage image;
  EXPECT_EQ(CRalClipboard::Read(image), FIO_OK);
  EXPECT_EQ(image.GetWidth(), 8);
}

}  // namespace
