// Writing SBIG files. The text header is rebuilt from the image's tagged COMMENT cards,
// with the lines that describe the pixels (size, background, range) replaced by the
// image's own values; rows are written plain or difference-coded. Everything goes to a
// temporary file that replaces the target only when it is complete.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "fits/fileiocodes.h"
#include "formats/sbig/sbig.h"
#include "formats/sbig/sbig_internal.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/text.h"

using namespace sbig_detail;

namespace {

constexpr std::size_t kHeaderTextLimit = 2042;  // room left for "End", LF, CR and 0x1A
constexpr std::string_view kEndLine = "End\n\r\x1a";
constexpr std::size_t kMaxRecordBytes = 0xFFFF;

// Tags whose cards belong to the text header.
bool IsHeaderTag(std::string_view tag) {
  return tag.starts_with("ST") || tag.starts_with("2") || tag.starts_with("SBIG");
}

// Whether a card's text is the camera line that opens a header.
bool IsCameraLine(const TaggedCard& card) {
  if (card.tag == "SBIG") return true;
  if (card.tag == "255" || card.tag == "237") return card.text.starts_with("PixCel");
  return card.text.starts_with("ST-") || card.text.starts_with("STV");
}

int RoundToInt(double v) {
  v = std::floor(v + 0.5);
  if (!(v >= INT_MIN)) return INT_MIN;  // also NaN
  if (v > INT_MAX) return INT_MAX;
  return static_cast<int>(v);
}

// The lines that describe the pixels, with the image's values.
std::string ReplaceStatusTag(const CImage& image, const std::string& line) {
  auto is = [&](std::string_view key) {
    return line.size() >= key.size() + 3 && line.starts_with(key) &&
           line.compare(key.size(), 3, " = ") == 0;
  };
  const double scale = image.GetBscale() != 0.0 ? image.GetBscale() : 1.0;
  const double lo = image.GetLevelMin(0), hi = image.GetLevelMax(0);
  if (is("Width")) return Format("Width = %d", image.GetWidth());
  if (is("Height")) return Format("Height = %d", image.GetHeight());
  if (is("Background"))
    return Format("Background = %d", RoundToInt((lo - image.GetBzero()) / scale));
  if (is("Range")) return Format("Range = %d", RoundToInt((hi - lo) / scale));
  return line;
}

// The 2048-byte text header, or nullopt when the cards do not make one.
std::optional<std::string> WriteHeaderType3(const CImage& image, bool compressed) {
  std::vector<TaggedCard> cards;
  for (const std::string& card : image.m_FitsHeader.Cards())
    if (auto tagged = ParseTaggedCard(card); tagged && IsHeaderTag(tagged->tag))
      cards.push_back(std::move(*tagged));
  auto first = std::find_if(cards.begin(), cards.end(), IsCameraLine);
  if (first == cards.end()) return std::nullopt;

  const std::string& camera = first->text;
  std::string firstLine = camera.substr(0, camera.find(' '));
  if (compressed) firstLine += " Compressed";
  firstLine += " Image\n\r";
  auto encoded = Utf8ToSjis(firstLine);
  if (!encoded) return std::nullopt;
  std::string header = std::move(*encoded);
  for (auto it = first + 1; it != cards.end(); ++it) {
    auto line = Utf8ToSjis(ReplaceStatusTag(image, it->text));
    if (!line) return std::nullopt;
    if (header.size() + line->size() + 2 > kHeaderTextLimit) continue;
    header += *line;
    header += "\n\r";
  }
  header += kEndLine;
  if (header.size() > static_cast<std::size_t>(kSbigHeaderSize)) return std::nullopt;
  header.resize(kSbigHeaderSize, '\0');
  return header;
}

// The value of a "key = value" tagged card.
std::optional<std::string> GetHeaderValueST4(const CImage& image, std::string_view key) {
  for (const std::string& card : image.m_FitsHeader.Cards()) {
    auto tagged = ParseTaggedCard(card);
    if (!tagged) continue;
    const std::string& t = tagged->text;
    if (t.size() >= key.size() + 3 && t.starts_with(key) && t.compare(key.size(), 3, " = ") == 0)
      return t.substr(key.size() + 3);
  }
  return std::nullopt;
}

// The ST-4 trailer: "v", the note in 78 bytes, four numbers in 10 bytes each, zeros.
std::optional<std::string> MakeST4Trailer(const CImage& image) {
  static constexpr std::string_view kKeys[] = {"Note", "Exposure", "Focal_length", "Aperture",
                                               "Response_factor"};
  std::string trailer = "v";
  for (std::string_view key : kKeys) {
    auto value = GetHeaderValueST4(image, key);
    if (!value) return std::nullopt;
    auto sjis = Utf8ToSjis(*value);
    if (!sjis) return std::nullopt;
    const std::size_t width = key == "Note" ? 78 : 10;
    std::string field(SjisCut(*sjis, width));
    if (key == "Note")
      field.append(width - field.size(), ' ');
    else
      field.insert(0, width - field.size(), ' ');
    trailer += field;
  }
  trailer.resize(kSbigST4FileSize - kSbigST4TrailerOffset, '\0');
  return trailer;
}

// The file's bytes through a buffer into a temporary file, renamed over the target at the end.
class Output {
 public:
  int Open(const std::string& path) {
    const int e = file_.Open(path);
    return e == 0 ? SBG_OK : FioCreateCode(e);
  }
  bool Put(const void* data, std::size_t n) { return file_.Put(data, n); }
  int Commit() { return file_.Commit() ? SBG_OK : SBG_ERR_WRITE; }

 private:
  BufferedAtomicFile file_;
};

void PutU16(std::vector<unsigned char>& out, unsigned v) {
  out.push_back(static_cast<unsigned char>(v & 0xFF));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

// The record of one row: the first pixel, then one byte per difference within ±127 or
// 0x80 and the pixel; the raw row when that would not be shorter than width × 2.
void CompressRow(const std::uint16_t* px, int width, std::vector<unsigned char>& out) {
  const std::size_t raw = static_cast<std::size_t>(width) * 2;
  out.assign(2, 0);  // room for the count
  PutU16(out, px[0]);
  for (int x = 1; x < width && out.size() - 2 < raw; ++x) {
    const int d = static_cast<int>(px[x]) - static_cast<int>(px[x - 1]);
    if (d >= -127 && d <= 127) {
      out.push_back(static_cast<unsigned char>(static_cast<std::int8_t>(d)));
    } else {
      out.push_back(0x80);
      PutU16(out, px[x]);
    }
  }
  if (out.size() - 2 >= raw) {
    out.assign(2, 0);
    for (int x = 0; x < width; ++x) PutU16(out, px[x]);
  }
  const std::size_t n = out.size() - 2;
  out[0] = static_cast<unsigned char>(n & 0xFF);
  out[1] = static_cast<unsigned char>(n >> 8);
}

int WriteSbigType3(const CImage& image, const std::string& path, bool compressed,
                   ProgressSink* progress, const std::string& caption) {
  const int width = image.GetWidth(), height = image.GetHeight();
  // The file holds unsigned 16-bit counts of one plane; a record counts its bytes in 16
  // bits, so a raw row can hold at most 32767 pixels.
  if (image.IsEmpty() || image.GetBitsPixel() != 16 || image.GetPlanes() != 1 || width <= 0 ||
      height <= 0 || (compressed && static_cast<std::size_t>(width) * 2 > kMaxRecordBytes))
    return SBG_ERR_HEADER;
  auto header = WriteHeaderType3(image, compressed);
  if (!header) return SBG_ERR_HEADER;

  Output out;
  if (int rc = out.Open(path)) return rc;
  if (!out.Put(header->data(), header->size())) return SBG_ERR_WRITE;
  std::vector<unsigned char> bytes;
  ProgressScope scope(progress, caption);
  for (int y = 0; y < height; ++y) {
    const auto* px = static_cast<const std::uint16_t*>(image.GetImageAdr(0, y, 0));
    if (!px) return SBG_ERR_MEMORY;
    if (compressed) {
      CompressRow(px, width, bytes);
    } else {
      bytes.clear();
      for (int x = 0; x < width; ++x) PutU16(bytes, px[x]);
    }
    if (!out.Put(bytes.data(), bytes.size())) return SBG_ERR_WRITE;
    scope.Update(y + 1, height);
  }
  return out.Commit();
}

int WriteSbigST4(const CImage& image, const std::string& path, ProgressSink* progress,
                 const std::string& caption) {
  // Nothing is written unless the trailer can be made.
  auto trailer = MakeST4Trailer(image);
  if (!trailer) return SBG_ERR_HEADER;
  if (image.IsEmpty() || image.GetBitsPixel() != 8 || image.GetPlanes() != 1 ||
      image.GetWidth() != kSbigST4Width || image.GetHeight() != kSbigST4Height)
    return SBG_ERR_HEADER;
  Output out;
  if (int rc = out.Open(path)) return rc;
  ProgressScope scope(progress, caption);
  for (int y = 0; y < kSbigST4Height; ++y) {
    const void* row = image.GetImageAdr(0, y, 0);
    if (!row) return SBG_ERR_MEMORY;
    if (!out.Put(row, kSbigST4Width)) return SBG_ERR_WRITE;
    scope.Update(y + 1, kSbigST4Height);
  }
  if (!out.Put(trailer->data(), trailer->size())) return SBG_ERR_WRITE;
  return out.Commit();
}

}  // namespace

int CSbig::Write(const CImage& image, const std::string& path, int type, ProgressSink* progress,
                 const std::string& caption) {
  try {
    if ((type & ~SBIG_COMPRESSED) == SBIG_ST4) return WriteSbigST4(image, path, progress, caption);
    return WriteSbigType3(image, path, (type & SBIG_COMPRESSED) != 0, progress, caption);
  } catch (const std::bad_alloc&) {
    return SBG_ERR_MEMORY;
  }
}
