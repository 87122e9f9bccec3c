// Reading Bitran files: the signature and version, the flag byte, the typed text blocks,
// the frame size, the extended records of version 1.1 and later, and the raw frame of
// little-endian 16-bit counts. Every length and count from the file is checked against
// what is left of the file before anything is read or allocated for it.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "formats/bitran/bitran.h"
#include "formats/bitran/bitran_internal.h"
#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/text.h"

using namespace bitran_detail;

CBitranParam CBitran::m_BitranParam;

void CBitranParam::Init() {
  m_strDrkFileName.clear();
  m_strFltFileName.clear();
  m_strFdkFileName.clear();
  m_nDrkConvert = m_nFltConvert = m_nFdkConvert = 0;
  m_nSky = m_nSkyThreshold = 0;
  m_strConvert.clear();
  m_nPlanes = 1;
  m_nHighRes = 0;
  m_nLeft = m_nTop = 0;
  m_Binning = {1, 1};
  m_nPixelCorrect = 0;
  m_strPixelCorrect.clear();
  m_nGreenPixel = 0;
  m_nMirror = 0;
}

namespace {

constexpr std::string_view kSignatures[] = {"BITRAN Corporation STARDOM ",
                                            "BITRAN CCD original format "};
constexpr std::size_t kSignatureLength = 27;
constexpr std::size_t kLeadLength = 31;  // signature, one byte, three bytes of version
constexpr int kMaxRecords = 10;
constexpr char kRecordEnd[8] = {'C', 'C', 'D', '=', 'w', 'o', 'r', 'd'};

// Text block types.
constexpr std::int32_t kTextCamera = 1;
constexpr std::int32_t kTextConvert = 4;

// A file read front to back, knowing how much of it is left.
class InFile {
 public:
  // 0, or the code that says why the path is no readable regular file (never blocking
  // on a FIFO).
  int Open(const std::string& path) {
    int code = BRN_OK;
    file_ = fileio::OpenForReading(path, &size_, &code);
    return file_ ? BRN_OK : code;
  }
  std::uint64_t Remaining() const { return pos_ <= size_ ? size_ - pos_ : 0; }
  std::uint64_t Size() const { return size_; }
  bool Read(void* dst, std::size_t n) {
    std::size_t got = std::fread(dst, 1, n, file_.get());
    pos_ += got;
    return got == n;
  }
  bool ReadI32(std::int32_t* v) {
    unsigned char b[4];
    if (!Read(b, 4)) return false;
    *v = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
    return true;
  }

 private:
  fileio::FilePtr file_;
  std::uint64_t size_ = 0;
  std::uint64_t pos_ = 0;
};

std::int32_t LoadI32(const unsigned char* b) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
      static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
}

// Camera texts are C strings in the file: a terminating zero (often counted in the block
// length) ends the text.
std::string DecodeText(const std::string& raw) {
  std::size_t nul = raw.find('\0');
  return SjisToUtf8(std::string_view(raw).substr(0, nul));
}

// The camera description: colour, binning, mirror, and the comment lines.
void TakeCameraText(const std::string& text, CBitranParam& prm, CBitranHeader& hdr) {
  prm.SetPlanes(text.find("カラー") != std::string::npos ? 3 : 1);
  static constexpr std::string_view kBinning = "ﾋﾞﾆﾝｸﾞ";
  if (text.find("白黒ﾋﾞﾆﾝｸﾞ") != std::string::npos) {
    prm.SetBinning({2, 2});
  } else if (text.find("ﾋﾞﾆﾝｸﾞなし") != std::string::npos) {
    prm.SetBinning({1, 1});
  } else if (std::size_t p = text.find(kBinning); p != std::string::npos) {
    std::string_view after = std::string_view(text).substr(p + kBinning.size());
    int n = 0;
    if (!after.empty() && after[0] >= '0' && after[0] <= '9' && ParseInt(after, &n) && n > 0)
      prm.SetBinning({n, n});
  }
  if (text.find("BT-20") != std::string::npos) prm.SetMirror(1);
  hdr.SetData(text);
  std::size_t b = 0;
  while (b < text.size()) {
    std::size_t e = text.find_first_of("\r\n", b);
    if (e == std::string::npos) e = text.size();
    if (e > b) hdr.SetComment(std::string_view(text).substr(b, e - b));
    b = e + 1;
  }
}

// The pixel offset that the convert text gives before the first calibration file name.
int GetImageCorrect(const std::string& convert) {
  std::string lower = LowerAscii(convert);
  std::size_t ext = lower.find(".drk");
  if (ext == std::string::npos) ext = lower.find(".flt");
  if (ext == std::string::npos) ext = lower.find(".fdk");
  if (ext == std::string::npos) return 0;
  std::string_view before = std::string_view(lower).substr(0, ext);
  std::size_t open = before.rfind('(');
  if (open == std::string_view::npos) return 0;
  std::size_t comma = before.find(',', open);
  if (comma == std::string_view::npos) return 0;
  int v = 0;
  return ParseInt(before.substr(open + 1, comma - open - 1), &v) ? v : 0;
}

// The calibration file named by extension ext, placed in the folder of the file read.
// Case is kept: file names on this system are case-sensitive.
std::string GetFileName(const std::string& convert, std::string_view ext, const std::string& path) {
  std::string lower = LowerAscii(convert);
  std::size_t at = lower.find(ext);
  if (at == std::string::npos) return {};
  std::size_t end = lower.find_first_of(",)", at + ext.size());
  if (end == std::string::npos) return {};
  std::size_t begin = lower.find_last_of("(,", at);
  begin = begin == std::string::npos ? 0 : begin + 1;
  std::string item = convert.substr(begin, at + ext.size() - begin);
  while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.erase(0, 1);
  // Only the name travels: the camera machine's drive and folders mean nothing here.
  std::size_t slash = item.find_last_of("\\/:");
  if (slash != std::string::npos) item.erase(0, slash + 1);
  if (item.size() <= ext.size()) return {};
  return DirectoryOf(path) + "/" + item;
}

// "空" with a number before a later ")": the sky switch.
void TakeSky(const std::string& convert, CBitranParam& prm) {
  std::size_t sky = convert.find("空");
  if (sky == std::string::npos) return;
  std::size_t from = sky + std::string_view("空").size();
  std::size_t close = convert.find(')', from);
  if (close == std::string::npos) return;
  std::string_view between = std::string_view(convert).substr(from, close - from);
  std::size_t digit = between.find_first_of("-0123456789");
  int n = 0;
  if (digit != std::string_view::npos) ParseInt(between.substr(digit), &n);
  prm.SetSky(n, 1);
}

// Record 2: the defect list and the binning.
int TakeRecord2(InFile& f, std::int32_t n, std::int32_t b, CBitranParam& prm) {
  if (n != 0) {
    if (n < 0 || static_cast<std::uint64_t>(n) > f.Remaining()) return BRN_ERR_SHORT;
    std::string raw(static_cast<std::size_t>(n), '\0');
    if (!f.Read(raw.data(), raw.size())) return BRN_ERR_SHORT;
    prm.SetPixelCorrect(DecodeText(raw) + " ");
  }
  const int version = prm.GetVersion();
  if (version >= 17) {
    const auto bits = static_cast<std::uint32_t>(b);
    const int x = static_cast<int>(bits & 0xFFFF);
    const int y = static_cast<int>(bits >> 16);
    prm.SetBinning({x, y != 0 ? y : x});
  } else if (version == 16 && prm.GetBinning() == BitranBinning{1, 1}) {
    if (b == 0 || (prm.IsColor() && prm.IsHighRes()))
      prm.SetBinning({1, 1});
    else
      prm.SetBinning({b, b});
  }
  return BRN_OK;
}

// The header, from the start of the file; leaves the file at the first pixel.
int ReadHeaderFrom(CImage& image, InFile& f, const std::string& path, CBitranHeader& hdr) {
  CBitranParam& prm = CBitran::m_BitranParam;
  prm.Init();

  char lead[kLeadLength];
  const std::size_t leadBytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(kLeadLength, f.Size()));
  if (!f.Read(lead, leadBytes) || leadBytes < kSignatureLength) return BRN_ERR_SIGNATURE;
  std::string_view sig(lead, kSignatureLength);
  if (sig != kSignatures[0] && sig != kSignatures[1]) return BRN_ERR_SIGNATURE;
  if (leadBytes < kLeadLength) return BRN_ERR_SHORT;
  double version = 0;
  std::string_view versionText(lead + 28, 3);
  // "1.7" × 10 is 16.999…: round, never truncate.
  if (ParseDouble(versionText, &version) && version >= 0 && version < 1000)
    prm.SetVersion(static_cast<int>(std::lround(version * 10)));
  else
    prm.SetVersion(0);

  unsigned char flags = 0;
  if (!f.Read(&flags, 1)) return BRN_ERR_SHORT;
  prm.SetGreenPixel(flags & 0x0F);
  prm.SetPixelCorrect((flags >> 4) & 1);
  prm.SetHighRes((flags >> 6) & 1);

  for (;;) {
    std::int32_t type = 0, length = 0;
    if (!f.ReadI32(&type)) return BRN_ERR_SHORT;
    if (type == 0) break;
    if (!f.ReadI32(&length)) return BRN_ERR_SHORT;
    if (length < 0 || static_cast<std::uint64_t>(length) > f.Remaining()) return BRN_ERR_SHORT;
    std::string raw(static_cast<std::size_t>(length), '\0');
    if (!f.Read(raw.data(), raw.size())) return BRN_ERR_SHORT;
    std::string text = DecodeText(raw);
    switch (type) {
      case kTextCamera:
        TakeCameraText(text, prm, hdr);
        break;
      case kTextConvert:
        prm.SetConvert(text);
        hdr.SetComment(text);
        break;
      case 2:
      case 3:
      case 5:
        hdr.SetComment(text);
        break;
      default:
        break;  // what other blocks hold means nothing here
    }
  }

  std::int32_t size[4];
  for (auto& v : size)
    if (!f.ReadI32(&v)) return BRN_ERR_SHORT;
  // A frame without pixels is no camera frame.
  if (size[0] <= 0 || size[1] <= 0) return BRN_ERR_SIGNATURE;
  image.SetWidth(size[0]);
  image.SetHeight(size[1]);
  image.SetPlanes(1);
  // The frame as the file holds it: a FITS save compares the image with this size to
  // tell a cropped image from the whole frame, and writes two axes.
  image.SetOrgWidth(size[0]);
  image.SetOrgHeight(size[1]);
  image.SetFirstFits(0);
  prm.SetDisuseWidth(size[3]);

  if (prm.GetVersion() >= 11) {
    for (int record = 1; record <= kMaxRecords; ++record) {
      unsigned char r[8];
      if (!f.Read(r, 8)) return BRN_ERR_SHORT;
      if (std::memcmp(r, kRecordEnd, 8) == 0) break;
      const std::int32_t a = LoadI32(r), b = LoadI32(r + 4);
      if (record == 1) {
        if (a != -1) prm.SetLeft(a);
        if (b != -1) prm.SetTop(b);
      } else if (record == 2) {
        if (int rc = TakeRecord2(f, a, b, prm)) return rc;
      }
    }
  }

  const std::string& convert = prm.GetConvert();
  prm.SetImageCorrect(GetImageCorrect(convert));
  prm.SetDrkFileName(GetFileName(convert, ".drk", path));
  prm.SetFltFileName(GetFileName(convert, ".flt", path));
  prm.SetFdkFileName(GetFileName(convert, ".fdk", path));
  TakeSky(convert, prm);

  image.SetBscale(1.0);
  image.SetBzero(0.0);
  image.SetBitsPixel(-32);
  image.SetSigned(0);
  hdr.Required(image);
  hdr.Time(image);
  hdr.Instrument(image);
  hdr.Comment(image);
  return BRN_OK;
}

// The frame: height rows of width counts, each stored as offset + count.
int ReadImage(CImage& image, InFile& f, ProgressSink* progress, const std::string& caption) {
  const int width = image.GetWidth(), height = image.GetHeight();
  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * 2;
  // Refused before anything is allocated: the frame must lie in the file.
  if (rowBytes * static_cast<std::uint64_t>(height) > f.Remaining()) return BRN_ERR_SHORT;
  if (!image.AllocImage(progress, caption)) return BRN_ERR_MEMORY;
  const float offset = static_cast<float>(CBitran::m_BitranParam.GetImageCorrect());
  std::vector<unsigned char> row(static_cast<std::size_t>(rowBytes));
  ProgressScope scope(progress, caption);
  for (int y = 0; y < height; ++y) {
    if (!f.Read(row.data(), row.size())) return BRN_ERR_SHORT;
    auto* out = static_cast<float*>(image.GetImageAdr(0, y));
    if (!out) return BRN_ERR_MEMORY;
    for (int x = 0; x < width; ++x) {
      const unsigned v = row[2 * static_cast<std::size_t>(x)] |
                         static_cast<unsigned>(row[2 * static_cast<std::size_t>(x) + 1]) << 8;
      out[x] = offset + static_cast<float>(v);
    }
    scope.Update(y + 1, height);
  }
  return BRN_OK;
}

}  // namespace

int CBitran::Read(CImage& image, const std::string& path, ProgressSink* progress,
                  const std::string& caption) {
  InFile f;
  if (int rc = f.Open(path)) return rc;
  try {
    image.Empty();
    CBitranHeader hdr;
    if (int rc = ReadHeaderFrom(image, f, path, hdr)) return rc;
    if (int rc = ReadImage(image, f, progress, caption)) return rc;
  } catch (const std::bad_alloc&) {
    return BRN_ERR_MEMORY;
  }
  image.SetSaveableFormat(0);
  image.SetSaveableFile(0);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(kBitranFormatName);
  image.SetOrgBitsPixel(16);
  image.SetOrgPlanes(image.GetPlanes());
  return BRN_OK;
}

int CBitran::Read(CImage& image, const std::string& path, CBitranParam* param,
                  ProgressSink* progress, const std::string& caption) {
  int rc = Read(image, path, progress, caption);
  if (rc == BRN_OK && param) *param = m_BitranParam;
  return rc;
}

int CBitran::ReadHeader(CImage& image, const std::string& path, ProgressSink*, const std::string&) {
  InFile f;
  if (int rc = f.Open(path)) return rc;
  try {
    image.Empty();
    CBitranHeader hdr;
    if (int rc = ReadHeaderFrom(image, f, path, hdr)) return rc;
  } catch (const std::bad_alloc&) {
    return BRN_ERR_MEMORY;
  }
  image.SetPlanes(m_BitranParam.GetPlanes());
  return BRN_OK;
}

void CBitran::DlkFltCorrection(CImage& image, int offset, ProgressSink* progress,
                               const std::string& caption) {
  if (offset == 0 || image.IsEmpty()) return;
  const int planes = image.GetPlanes(), height = image.GetHeight(), width = image.GetWidth();
  const std::int64_t rows = static_cast<std::int64_t>(planes) * height;
  std::vector<double> values;
  ProgressScope scope(progress, caption);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < height; ++y) {
      if (image.GetBitsPixel() == -32) {
        auto* row = static_cast<float*>(image.GetImageAdr(0, y, p));
        if (!row) return;
        const float add = static_cast<float>(offset);
        for (int x = 0; x < width; ++x) row[x] += add;
      } else {
        values.resize(static_cast<std::size_t>(width));
        if (!image.GetPhysicalRow(y, p, values.data())) return;
        for (double& v : values) v += offset;
        if (!image.SetPhysicalRow(y, p, values.data())) return;
      }
      scope.Update(static_cast<std::int64_t>(p) * height + y + 1, rows);
    }
}
