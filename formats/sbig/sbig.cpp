// Reading SBIG files. The type comes from the first header line (or, for the old ST-4
// frame, from the file's fixed size and its trailer mark); the header's key = value lines
// give the geometry, levels and FITS cards, and every line is kept as a tagged COMMENT
// card. Lengths from the file (sizes, row records) are checked against the file and the
// image before they are used.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>
#include <optional>
#include <vector>

#include "formats/fio/fileioutil.h"
#include "formats/sbig/sbig.h"
#include "formats/sbig/sbig_internal.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/progress.h"
#include "platform/text.h"

// ---------------------------------------------------------------- shared helpers

namespace sbig_detail {

const std::vector<TypeInfo>& Types() {
  static const std::vector<TypeInfo> kTypes = {
      {SBIG_ST4X, "ST-4X ", "", "STX", "ST-4X", "STX"},
      {SBIG_ST5, "ST-5 ", "", "ST5", "ST-5", "ST5"},
      {SBIG_ST6, "ST-6 ", "", "ST6", "ST-6 Series", "ST6"},
      {SBIG_ST7, "ST-7 ", "ST-X ", "ST7", "ST-7 Series", "ST7"},
      {SBIG_ST8, "ST-8 ", "", "ST8", "ST-8 Series", "ST8"},
      {SBIG_ST5C, "PixCel255 ", "", "255", "ST-5C", "255"},
      {SBIG_ST237, "PixCel237 ", "", "237", "ST-237 Series", "237"},
      {SBIG_ST9, "ST-9 ", "", "ST9", "ST-9 Series", "ST9"},
      {SBIG_ST10, "ST-10 ", "", "ST10", "ST-10 Series", "STX"},
      {SBIG_STV, "STV ", "", "STV", "STV", "STV"},
      {SBIG_ST1K, "ST-1K ", "", "ST1K", "ST-1001 Series", "STK"},
      {SBIG_ST2K, "ST-2K ", "", "ST2K", "ST-2000 Series", "ST2K"},
      {SBIG_SBIG, "SBIG ", "", "SBIG", "SBIG Series", ""},
      // No first line: recognised by its size and trailer.
      {SBIG_ST4, "", "", "ST4", "ST-4", "ST4"},
  };
  return kTypes;
}

const TypeInfo* FindType(int type) {
  type &= ~SBIG_COMPRESSED;
  for (const TypeInfo& t : Types())
    if (t.type == type) return &t;
  return nullptr;
}

const TypeInfo* FindTag(std::string_view tag) {
  for (const TypeInfo& t : Types())
    if (t.tag == tag) return &t;
  return nullptr;
}

std::optional<TaggedCard> ParseTaggedCard(std::string_view card) {
  static constexpr std::string_view kLead = "COMMENT [";
  if (card.substr(0, kLead.size()) != kLead) return std::nullopt;
  std::size_t close = card.find(']', kLead.size());
  if (close == std::string_view::npos || close == kLead.size() || close > kLead.size() + 4)
    return std::nullopt;
  std::string_view text = card.substr(close + 1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return TaggedCard{std::string(card.substr(kLead.size(), close - kLead.size())),
                    std::string(text)};
}

std::string FitText(std::string_view s, std::size_t n) {
  std::size_t cut = std::min(n, s.size());
  if (cut < s.size())
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  std::string out(s.substr(0, cut));
  out.resize(n, ' ');
  return out;
}

std::string_view SjisCut(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
    if (i + len > n) break;
    i += len;
  }
  return s.substr(0, std::min(i, s.size()));
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace sbig_detail

using namespace sbig_detail;

// ---------------------------------------------------------------- reading

namespace {

constexpr std::size_t kFirstLineLimit = 512;
constexpr std::size_t kLineLimit = 70;

class InFile {
 public:
  // SBG_OK, or the code that says why the name cannot be read (never blocking on a FIFO).
  int Open(const std::string& path) {
    int code = SBG_OK;
    file_ = fileio::OpenForReading(path, &size_, &code);
    if (!file_) return code;
    std::setvbuf(file_.get(), nullptr, _IOFBF, 1 << 16);
    return SBG_OK;
  }
  std::uint64_t Size() const { return size_; }
  std::uint64_t Remaining() const { return pos_ <= size_ ? size_ - pos_ : 0; }
  bool Seek(std::uint64_t pos) {
    if (pos > static_cast<std::uint64_t>(LONG_MAX) ||
        std::fseek(file_.get(), static_cast<long>(pos), SEEK_SET) != 0)
      return false;
    pos_ = pos;
    return true;
  }
  bool Read(void* dst, std::size_t n) {
    std::size_t got = std::fread(dst, 1, n, file_.get());
    pos_ += got;
    return got == n;
  }

 private:
  fileio::FilePtr file_;
  std::uint64_t size_ = 0;
  std::uint64_t pos_ = 0;
};

unsigned LoadU16(const unsigned char* b) {
  return b[0] | static_cast<unsigned>(b[1]) << 8;
}

// The type from the first 2048 bytes; 0 when the file is no SBIG file.
int GetType(std::string_view header, InFile& f) {
  std::size_t lf = header.substr(0, kFirstLineLimit).find('\n');
  if (lf != std::string_view::npos) {
    std::string_view line = header.substr(0, lf);
    for (const TypeInfo& t : Types()) {
      if (t.prefix.empty()) continue;
      if (line.starts_with(t.prefix) || (!t.altPrefix.empty() && line.starts_with(t.altPrefix)))
        return t.type | (line.find("Compressed") != std::string_view::npos ? SBIG_COMPRESSED : 0);
    }
  }
  if (f.Size() == kSbigST4FileSize) {
    char mark = 0;
    if (f.Seek(kSbigST4TrailerOffset) && f.Read(&mark, 1) && mark == 'v') return SBIG_ST4;
  }
  return 0;
}

// The trailer fields of an ST-4 file as the text header of the later files.
std::string MakeST4Header(const unsigned char* trailer) {
  auto field = [&](int offset, int length) {
    return std::string(reinterpret_cast<const char*>(trailer) + offset,
                       static_cast<std::size_t>(length));
  };
  std::string note = field(1, 78);
  note = note.substr(0, note.find_first_of(std::string_view("\0\r\n\x1a", 4)));
  while (!note.empty() && note.back() == ' ') note.pop_back();
  int exposure = 0;
  double focal = 0, aperture = 0, response = 0;
  if (!ParseInt(field(79, 10), &exposure)) exposure = 0;
  if (!ParseDouble(field(89, 10), &focal)) focal = 0;
  if (!ParseDouble(field(99, 10), &aperture)) aperture = 0;
  if (!ParseDouble(field(109, 10), &response)) response = 0;
  std::string h = "ST-4 Image\n\r";
  h += "Note = " + note + "\n\r";
  h += "Width = 192\n\r";
  h += "Height = 165\n\r";
  h += Format("Exposure = %d\n\r", exposure);
  h += Format("Focal_length = %.3f\n\r", focal);
  h += Format("Aperture = %.3f\n\r", aperture);
  h += Format("Response_factor = %.3f\n\r", response);
  h += "End\n\r\x1a";
  return h;
}

// One header line: whole (for the values) and cut to 70 bytes (for the tagged card).
struct HeaderLine {
  std::string full;
  std::string kept;
};

// The lines of the text header, decoded from CP932; "End" is left out. The header is a
// C string: a zero byte ends it, as does the end-of-file mark 0x1A at a line start.
std::vector<HeaderLine> GetSbigHeader(std::string_view header) {
  header = header.substr(0, header.find('\0'));
  std::vector<HeaderLine> lines;
  std::size_t i = 0;
  while (i < header.size() && header[i] != '\x1a') {
    std::size_t e = header.find_first_of("\r\n", i);
    if (e == std::string_view::npos) e = header.size();
    std::string_view raw = header.substr(i, e - i);
    if (raw != "End") lines.push_back({SjisToUtf8(raw), SjisToUtf8(SjisCut(raw, kLineLimit))});
    i = e;
    while (i < header.size() && (header[i] == '\r' || header[i] == '\n')) ++i;
  }
  return lines;
}

// The value of "key = value", or nullopt when no line starts with the key.
std::optional<std::string> GetDesc(const std::vector<HeaderLine>& lines, std::string_view key) {
  for (const HeaderLine& line : lines) {
    std::string_view s = line.full;
    if (s.size() >= key.size() + 3 && s.starts_with(key) && s.substr(key.size(), 3) == " = ") {
      s.remove_prefix(key.size() + 3);
      while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
      return std::string(s);
    }
  }
  return std::nullopt;
}

std::optional<double> GetNumber(const std::vector<HeaderLine>& lines, std::string_view key) {
  auto v = GetDesc(lines, key);
  double d = 0;
  if (!v || !ParseDouble(*v, &d)) return std::nullopt;
  return d;
}

std::optional<int> GetInt(const std::vector<HeaderLine>& lines, std::string_view key) {
  auto v = GetDesc(lines, key);
  int d = 0;
  if (!v || !ParseInt(*v, &d)) return std::nullopt;
  return d;
}

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int GetDaysOfMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[(month - 1) % 12];
}

// Three numbers joined by sep, blanks allowed around them.
bool ParseTriple(std::string_view s, char sep, int v[3]) {
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t used = 0;
    if (!ParseInt(s.substr(pos), &v[i], &used)) return false;
    pos += used;
    if (i < 2) {
      if (pos >= s.size() || s[pos] != sep) return false;
      ++pos;
    }
  }
  return true;
}

// Date (month/day/year) and local time (h:m:s) as UTC "YYYY-MM-DD" and "HH:MM:SS.000".
bool MakeDateTimeString(std::string_view date, std::string_view time, int bias,
                        std::string* dateOut, std::string* timeOut) {
  int d[3], t[3];
  if (!ParseTriple(date, '/', d) || !ParseTriple(time, ':', t)) return false;
  int month = d[0], day = d[1], year = d[2];
  int hour = t[0], minute = t[1], second = t[2];
  if (year >= 0 && year < 100) year += year > 69 ? 1900 : 2000;
  // Fields out of range would carry the roll-over past one day and outside the table.
  if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > GetDaysOfMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || bias < -48 * 60 || bias > 48 * 60)
    return false;
  int minutes = minute + bias;
  int hours = minutes / 60;
  minutes %= 60;
  if (minutes < 0) {  // a negative remainder borrows one hour
    minutes += 60;
    --hours;
  }
  minute = minutes;
  hour += hours;
  while (hour < 0) {
    hour += 24;
    if (--day < 1) {
      if (--month < 1) {
        month = 12;
        --year;
      }
      day = GetDaysOfMonth(year, month);
    }
  }
  while (hour > 23) {
    hour -= 24;
    if (++day > GetDaysOfMonth(year, month)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
  *dateOut = Format("%04d-%02d-%02d", year, month, day);
  *timeOut = Format("%02d:%02d:%02d.000", hour, minute, second);
  return true;
}

void SetFitsHeader(CImage& image, const std::vector<HeaderLine>& lines, int type) {
  CFitsHeader& h = image.m_FitsHeader;
  h.Add(Format("SIMPLE  = %20.20s", "T"));
  h.Add(Format("BITPIX  = %20d / # of bits storing pixel values", image.GetBitsPixel()));
  h.Add(Format("NAXIS   = %20d / # of axes in frame", 2));
  h.Add(Format("NAXIS1  = %20d / # of pixels/row", image.GetWidth()));
  h.Add(Format("NAXIS2  = %20d / # of rows in frame", image.GetHeight()));
  if (auto observer = GetDesc(lines, "Observer"); observer && !observer->empty())
    h.Add("OBSERVER= '" + FitText(*observer, 50) + "'");
  auto date = GetDesc(lines, "Date");
  auto time = GetDesc(lines, "Time");
  if (date && time) {
    std::string d, t;
    if (MakeDateTimeString(*date, *time, LocalBiasMinutes(), &d, &t)) {
      h.Add("DATE-OBS= '" + FitText(d, 10) + "'         / Observation start date (YYYY-MM-DD)");
      h.Add("UT      = '" + FitText(t, 12) + "'       / Typical UTC at exposure (HH:MM:SS.S)");
    }
    h.Add("TIMESYS = 'UTC     '           / Time System used in this header");
  }
  if (auto exposure = GetNumber(lines, "Exposure"))
    h.Add(Format("EXPTIME = %20.2f / Exposure time (sec)", *exposure / 100));
  auto count = GetInt(lines, "Number_exposures");
  auto each = GetNumber(lines, "Each_exposure");
  if (count && *count > 1 && each) {
    h.Add(Format("EXP1TIME= %20.2f / Each exposure time (sec)", *each / 100));
    h.Add(Format("COADD   = %20d / EXPTIME = EXP1TIME x COADD", *count));
  }
  const TypeInfo* info = FindType(type);
  h.Add("INSTRUME= '" + FitText(info ? info->name : "", 20) + "' / Name of instrument");
  if (auto t = GetNumber(lines, "Temperature"); t && *t + 273.15 >= 0)
    h.Add(Format("DET-TMP = %20.2f / Detector temperature (K)", *t + 273.15));
  if (auto gain = GetNumber(lines, "E_gain"); gain && *gain >= 0)
    h.Add(Format("GAIN    = %20.3f / AD conversion factor", *gain));
  auto focal = GetNumber(lines, "Focal_length");
  if (focal && *focal >= 0)
    h.Add(Format("FOC-LEN = %20.3f / Focal length of telescope (mm)", *focal * 25.4));
  auto aperture = GetNumber(lines, "Aperture");
  if (focal && aperture && *focal > 0 && *aperture > 0) {
    const double ratio = (*focal * 25.4) / (2 * 25.4 * std::sqrt(*aperture / std::numbers::pi));
    h.Add(Format("F-RATIO = %20.2f / Monochromatic F-Ratio", ratio));
  }
}

void SetSbigHeader(CImage& image, const std::vector<HeaderLine>& lines, int type) {
  const TypeInfo* info = FindType(type);
  if (!info) return;
  const std::string_view tag = info->tag;
  const std::size_t width = tag.size() == 3 ? 67 : 66;
  for (const HeaderLine& line : lines)
    image.m_FitsHeader.Add("COMMENT [" + std::string(tag) + "]" + FitText(line.kept, width));
}

// The smallest and largest count read, for levels from the data without a second pass.
struct DataRange {
  unsigned lo = 0xFFFFFFFF;
  unsigned hi = 0;
  void Take(const std::uint16_t* px, int n) {
    for (int x = 0; x < n; ++x) {
      lo = std::min<unsigned>(lo, px[x]);
      hi = std::max<unsigned>(hi, px[x]);
    }
  }
  void Take(const std::uint8_t* px, int n) {
    for (int x = 0; x < n; ++x) {
      lo = std::min<unsigned>(lo, px[x]);
      hi = std::max<unsigned>(hi, px[x]);
    }
  }
};

// Plain rows: width 16-bit counts each (8-bit for ST-4).
int ReadFileNormal(CImage& image, InFile& f, ProgressScope& scope, DataRange& range) {
  const int width = image.GetWidth(), height = image.GetHeight();
  const std::size_t bytes = static_cast<std::size_t>(width) * image.GetBytesPixel();
  std::vector<unsigned char> row(bytes);
  for (int y = 0; y < height; ++y) {
    if (!f.Read(row.data(), bytes)) return SBG_ERR_SHORT;
    void* out = image.GetImageAdr(0, y);
    if (!out) return SBG_ERR_MEMORY;
    if (image.GetBytesPixel() == 1) {
      std::memcpy(out, row.data(), bytes);
      range.Take(static_cast<const std::uint8_t*>(out), width);
    } else {
      auto* px = static_cast<std::uint16_t*>(out);
      for (int x = 0; x < width; ++x)
        px[x] = static_cast<std::uint16_t>(LoadU16(&row[2 * static_cast<std::size_t>(x)]));
      range.Take(px, width);
    }
    scope.Update(y + 1, height);
  }
  return SBG_OK;
}

// One record per row: a 16-bit count, then the raw row (count = width × 2) or the first
// pixel followed by one-byte differences and 0x80-escaped 16-bit values. A record must
// make exactly one row: more would write past the row, fewer would leave it undefined.
int ReadFileCompressed(CImage& image, InFile& f, ProgressScope& scope, DataRange& range) {
  const int width = image.GetWidth(), height = image.GetHeight();
  const std::size_t rawBytes = static_cast<std::size_t>(width) * 2;
  // The count is 16 bits: no record is longer, whatever the width claims.
  std::vector<unsigned char> record(0xFFFF);
  for (int y = 0; y < height; ++y) {
    unsigned char head[2];
    if (!f.Read(head, 2)) return SBG_ERR_SHORT;
    const std::size_t n = LoadU16(head);
    if (!f.Read(record.data(), n)) return SBG_ERR_SHORT;
    auto* px = static_cast<std::uint16_t*>(image.GetImageAdr(0, y));
    if (!px) return SBG_ERR_MEMORY;
    if (n == rawBytes) {
      for (int x = 0; x < width; ++x)
        px[x] = static_cast<std::uint16_t>(LoadU16(&record[2 * static_cast<std::size_t>(x)]));
    } else {
      if (n < 2) return SBG_ERR_FORMAT;
      unsigned value = LoadU16(record.data());
      px[0] = static_cast<std::uint16_t>(value);
      int x = 1;
      std::size_t i = 2;
      while (i < n) {
        if (x >= width) return SBG_ERR_FORMAT;
        if (record[i] == 0x80) {
          if (i + 3 > n) return SBG_ERR_FORMAT;
          value = LoadU16(&record[i + 1]);
          i += 3;
        } else {
          value = (value +
                   static_cast<unsigned>(static_cast<int>(static_cast<std::int8_t>(record[i])))) &
                  0xFFFF;
          ++i;
        }
        px[x++] = static_cast<std::uint16_t>(value);
      }
      if (x != width) return SBG_ERR_FORMAT;
    }
    range.Take(px, width);
    scope.Update(y + 1, height);
  }
  return SBG_OK;
}

int ReadSbig(CImage& image, const std::string& path, bool pixels, ProgressSink* progress,
             const std::string& caption) {
  InFile f;
  if (int rc = f.Open(path)) return rc;
  std::string header(kSbigHeaderSize, '\0');
  if (!f.Read(header.data(), header.size())) return SBG_ERR_SHORT;

  image.Empty();
  image.SetPlanes(1);
  image.SetBscale(1.0);
  image.SetBzero(0.0);
  const int type = GetType(header, f);
  if (type == 0) return SBG_ERR_FORMAT;
  const bool st4 = type == SBIG_ST4;
  const bool compressed = (type & SBIG_COMPRESSED) != 0;

  bool ownLevel = false;
  DataRange range;
  int width = kSbigST4Width, height = kSbigST4Height;
  std::vector<HeaderLine> lines;
  if (st4) {
    unsigned char trailer[kSbigST4FileSize - kSbigST4TrailerOffset];
    if (!f.Seek(kSbigST4TrailerOffset) || !f.Read(trailer, sizeof trailer)) return SBG_ERR_SHORT;
    lines = GetSbigHeader(MakeST4Header(trailer));
  } else {
    lines = GetSbigHeader(header);
    auto fileVersion = GetInt(lines, "File_version");
    auto dataVersion = GetInt(lines, "Data_version");
    if (!fileVersion || (*fileVersion != 2 && *fileVersion != 3) || !dataVersion ||
        *dataVersion != 1)
      return SBG_ERR_VERSION;
    auto w = GetInt(lines, "Width");
    auto h = GetInt(lines, "Height");
    if (!w || !h || *w <= 0 || *h <= 0) return SBG_ERR_FORMAT;
    width = *w;
    height = *h;
  }
  image.SetWidth(width);
  image.SetHeight(height);
  if (!st4) {
    auto background = GetInt(lines, "Background");
    auto range = GetInt(lines, "Range");
    if (background && range) {
      image.SetLevel(0, *background, static_cast<double>(*background) + *range);
      ownLevel = true;
    }
  }
  image.SetSigned(0);
  image.SetBitsPixel(st4 ? 8 : 16);

  if (pixels) {
    // The rows must lie in the file before anything is allocated for them.
    const std::uint64_t w = static_cast<std::uint64_t>(width);
    const std::uint64_t h = static_cast<std::uint64_t>(height);
    const std::uint64_t available = f.Size() - (st4 ? 0 : kSbigHeaderSize);
    // A record takes at least its count, the first pixel and one byte per further pixel.
    const std::uint64_t least = st4 ? w * h : compressed ? h * (w + 3) : h * w * 2;
    if (least > available) return SBG_ERR_SHORT;
    if (!image.AllocImage(progress, caption)) return SBG_ERR_MEMORY;
    if (!f.Seek(st4 ? 0 : kSbigHeaderSize)) return SBG_ERR_SHORT;
    ProgressScope scope(progress, caption);
    int rc = compressed ? ReadFileCompressed(image, f, scope, range)
                        : ReadFileNormal(image, f, scope, range);
    if (rc != SBG_OK) return rc;
  }

  const TypeInfo* info = FindType(type);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(std::string(info->name) + " " +
                         std::string(compressed ? kSbigCompressedText : kSbigPlainText));
  image.SetOrgBitsPixel(st4 ? 8 : 16);
  image.SetOrgPlanes(1);
  // The frame as the file holds it: a FITS save compares the image with this size to
  // tell a cropped image from the whole frame, and writes two axes.
  image.SetOrgWidth(width);
  image.SetOrgHeight(height);
  image.SetFirstFits(0);
  SetFitsHeader(image, lines, type);
  if (pixels) {
    SetSbigHeader(image, lines, type);
    if (ownLevel) {
      image.SetOwnLevel(1);
    } else {
      // The levels of the data, as SetDefaultLevel would find them by scanning again.
      if (!image.AllocLevel()) return SBG_ERR_MEMORY;
      image.SetLevel(0, range.lo, range.hi);
      image.SetOwnLevel(0);
    }
  } else {
    image.SetOwnLevel(ownLevel ? 1 : 0);
  }
  return SBG_OK;
}

}  // namespace

int CSbig::Read(CImage& image, const std::string& path, ProgressSink* progress,
                const std::string& caption) {
  try {
    return ReadSbig(image, path, true, progress, caption);
  } catch (const std::bad_alloc&) {
    return SBG_ERR_MEMORY;
  }
}

int CSbig::ReadHeader(CImage& image, const std::string& path, ProgressSink* progress,
                      const std::string& caption) {
  try {
    return ReadSbig(image, path, false, progress, caption);
  } catch (const std::bad_alloc&) {
    return SBG_ERR_MEMORY;
  }
}

// ---------------------------------------------------------------- types and extensions

std::string CSbig::GetTypeString(int type) {
  const TypeInfo* info = FindType(type);
  return info ? std::string(info->name) : std::string();
}

int CSbig::GetSbigType(const CImage& image) {
  for (const std::string& card : image.m_FitsHeader.Cards()) {
    auto tagged = ParseTaggedCard(card);
    if (!tagged) continue;
    if (const TypeInfo* info = FindTag(tagged->tag)) return info->type;
  }
  return 0;
}

bool CSbig::IsWritable(const CImage& image, int type) {
  if ((type & ~SBIG_COMPRESSED) != SBIG_ST4) return true;
  return image.GetWidth() == kSbigST4Width && image.GetHeight() == kSbigST4Height;
}

bool CSbig::IsSbigType(int type, std::string_view extension) {
  auto upper = [](std::string_view s) {
    std::string u(s);
    for (char& c : u)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
  };
  const std::string ext = upper(extension);
  if (type == SBIG_ST4) return ext == "ST4";
  // Colour separations and numbered series suit every type.
  const bool generic = ext == "R" || ext == "G" || ext == "B" ||
                       (!ext.empty() && ext.find_first_not_of("0123456789") == std::string::npos);
  if (generic) return true;
  if (type & SBIG_COMPRESSED) return false;
  if (type == SBIG_SBIG) return ext.starts_with("ST") || ext == "SBIG";
  const TypeInfo* info = FindType(type);
  return info && info->type == type && !info->extension.empty() && ext == info->extension;
}

int CSbig::GetSbigCompression(std::string_view formatName) {
  return formatName.find(kSbigCompressedText) != std::string_view::npos ? 1 : 0;
}
