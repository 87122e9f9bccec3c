#include "formats/raw/rawimage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fits/fileiocodes.h"
#include "imagemodel/image.h"
#include "tests/support/temp_dir.h"

namespace {

// One pixel as the file holds it: bits per pixel, signedness and byte order.
std::string Encode(double v, int bits, bool bigEndian) {
  unsigned char b[8] = {};
  std::size_t n = 0;
  switch (bits) {
    case 8:
      b[0] = static_cast<unsigned char>(v);
      n = 1;
      break;
    case 16: {
      const auto u = static_cast<std::uint16_t>(static_cast<std::int32_t>(v));
      std::memcpy(b, &u, 2);
      n = 2;
      break;
    }
    case 32: {
      const auto u = static_cast<std::uint32_t>(static_cast<std::int64_t>(v));
      std::memcpy(b, &u, 4);
      n = 4;
      break;
    }
    case -32: {
      const float f = static_cast<float>(v);
      std::memcpy(b, &f, 4);
      n = 4;
      break;
    }
    default:
      std::memcpy(b, &v, 8);
      n = 8;
      break;
  }
  std::string s(reinterpret_cast<char*>(b), n);  // this machine's order: least first
  if (bigEndian) std::reverse(s.begin(), s.end());
  return s;
}

// Values that tell the types, the byte order and the signedness apart.
double Value(int bits, bool isSigned, int i) {
  switch (bits) {
    case 8:
      return (i * 37 + 200) % 256;
    case 16:
      return isSigned ? -30000 + i * 1111 : 65535 - i * 1234;
    case 32:
      return isSigned ? -2000000000.0 + i * 123456789.0 : 4000000000.0 - i * 98765.0;
    case -32:
      return static_cast<float>(-1.5e30 + i * 0.25e30);
    default:
      return 1e300 / (i + 1) * (i % 2 ? -1 : 1);
  }
}

using Layout = std::tuple<int, bool, bool, int, int>;  // bits, signed, big endian, skip, planes

class RawReadTest : public ::testing::TestWithParam<Layout> {};

TEST_P(RawReadTest, PixelsComeBackAsWritten) {
  const auto [bits, isSigned, big, skip, planes] = GetParam();
  const int w = 3, h = 2;
  std::string bytes(static_cast<std::size_t>(skip), 'h');
  std::vector<double> values;
  for (int i = 0; i < w * h * planes; ++i) {
    values.push_back(Value(bits, isSigned, i));
    bytes += Encode(values.back(), bits, big);
  }
  bytes += "trailing bytes are ignored";
  TempDir dir;
  const std::string path = dir.File("a.raw");
  WriteFileOrDie(path, bytes);
  CImage image;
  const RAWIMAGE raw{bits, w, h, planes, skip, big ? 1 : 0, isSigned ? 1 : 0};
  ASSERT_EQ(CRawImage::Read(image, path, raw), FIO_OK);
  ASSERT_EQ(image.GetPlanes(), planes);
  EXPECT_EQ(image.GetDimension(), planes > 1 ? 3 : 2);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        EXPECT_EQ(image.GetPixel(x, y, p), values[static_cast<std::size_t>((p * h + y) * w + x)])
            << "plane " << p << " x " << x << " y " << y;
  EXPECT_EQ(image.GetOrgFileFormat(), kRawFormatName);
  EXPECT_EQ(image.GetOrgBitsPixel(), bits);
  EXPECT_EQ(image.IsSaveableFormat(), 0);
  ASSERT_EQ(image.m_FitsHeader.GetCount(), 5);
  // Two axes also for three planes.
  EXPECT_EQ(image.m_FitsHeader.GetAt(2).substr(0, 30), "NAXIS   =                    2");
}

INSTANTIATE_TEST_SUITE_P(
    Types, RawReadTest,
    ::testing::Values(Layout{8, false, false, 0, 1}, Layout{8, false, true, 7, 3},
                      Layout{16, false, false, 0, 1}, Layout{16, false, true, 5, 1},
                      Layout{16, true, false, 1, 3}, Layout{16, true, true, 0, 3},
                      Layout{32, false, false, 0, 1}, Layout{32, true, true, 9, 1},
                      Layout{32, true, false, 0, 3}, Layout{-32, false, false, 0, 1},
                      Layout{-32, true, true, 3, 3}, Layout{-64, true, false, 16, 1},
                      Layout{-64, true, true, 0, 3}));

TEST(RawRead, ByteOrderOfOnePixel) {
  TempDir dir;
  const std::string path = dir.File("p.raw");
  WriteFileOrDie(path, std::string("\x01\x02", 2));
  for (const auto& [order, value] : {std::pair{1, 0x0102}, std::pair{0, 0x0201}}) {
    CImage image;
    ASSERT_EQ(CRawImage::Read(image, path, RAWIMAGE{16, 1, 1, 1, 0, order, 0}), FIO_OK);
    EXPECT_EQ(image.GetPixel(0, 0), value);
  }
}

TEST(RawRead, ShortAndUnusableLayoutsGiveTheirCodes) {
  TempDir dir;
  const std::string path = dir.File("s.raw");
  WriteFileOrDie(path, std::string(16, 'x'));
  struct Case {
    RAWIMAGE raw;
    int code;
  };
  const Case cases[] = {
      {{8, 4, 4, 1, 0, 0, 0}, FIO_OK},
      {{8, 4, 4, 1, 1, 0, 0}, FIO_ERR_SHORT},
      {{8, 1, 1, 1, 100, 0, 0}, FIO_ERR_SHORT},  // a skip past the end
      {{16, 4, 4, 1, 0, 0, 0}, FIO_ERR_SHORT},
      {{8, 4, 4, 3, 0, 0, 0}, FIO_ERR_SHORT},
      // A huge claim is checked against the file before anything is allocated.
      {{-64, 100000, 100000, 3, 0, 0, 0}, FIO_ERR_SHORT},
      {{8, 0, 4, 1, 0, 0, 0}, FIO_ERR_FORMAT},
      {{8, 4, 4, 2, 0, 0, 0}, FIO_ERR_FORMAT},
      {{12, 1, 1, 1, 0, 0, 0}, FIO_ERR_FORMAT},
      {{8, 1, 1, 1, -1, 0, 0}, FIO_ERR_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw.nBitsPixel * 1000 + c.raw.nPlanes * 100 + c.raw.nHeaderSize);
    CImage image;
    EXPECT_EQ(CRawImage::Read(image, path, c.raw), c.code);
  }
  CImage image;
  EXPECT_EQ(CRawImage::Read(image, dir.File("none.raw"), RAWIMAGE{8, 1, 1, 1, 0, 0, 0}),
            FIO_ERR_OPEN);
}

}  // namespace
