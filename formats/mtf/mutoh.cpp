// Reading and writing Mutoh MTF and BIN files. Every size from a header is checked
// against the file before anything is allocated for it; writes go to a temporary file
// that replaces the target only when it is complete.
#include "formats/mtf/mutoh.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kMagic = "MUTOHCV";
constexpr std::string_view kTag = "COMMENT [MTF]";
constexpr std::size_t kValueAt = 24;     // where a tagged card's value begins
constexpr std::size_t kValueLimit = 79;  // CAMERA, DATE and TIME values kept
constexpr std::string_view kFormatMtf = "Mutoh MTF ﾌｫｰﾏｯﾄ";
constexpr std::string_view kFormatBin = "Mutoh BIN ﾌｫｰﾏｯﾄ";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// At most n bytes of UTF-8 text, never splitting a character.
std::string_view Utf8Cut(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

// Cut to n bytes without splitting a character, padded with blanks to n.
std::string FitText(std::string_view s, std::size_t n) {
  std::string out(Utf8Cut(s, n));
  out.resize(n, ' ');
  return out;
}

unsigned LoadU16(const unsigned char* b) {
  return b[0] | static_cast<unsigned>(b[1]) << 8;
}

void StoreU16(unsigned char* b, unsigned v) {
  b[0] = static_cast<unsigned char>(v & 0xFF);
  b[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

bool ParseInt(std::string_view s, int* v) {
  return ParseDecimalInt(s, v);
}
bool ParseReal(std::string_view s, double* v) {
  return ParseDecimalDouble(s, v, nullptr, true);
}

// Three numbers joined by sep.
bool ParseTriple(std::string_view s, char sep, int v[3]) {
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t used = 0;
    if (!ParseDecimalInt(s.substr(pos), &v[i], &used)) return false;
    pos += used;
    if (i < 2) {
      if (pos >= s.size() || s[pos] != sep) return false;
      ++pos;
    }
  }
  return true;
}

// What the MTF header said, beside its lines.
struct MtfHeader {
  int width = -1;
  int height = -1;
  std::optional<double> dataMin, dataMax, shutter, temperature;
  std::optional<std::string> camera, date, time;
  std::vector<std::pair<std::string, std::string>> lines;
};

int ParseMtfHeader(std::string_view text, MtfHeader* h) {
  if (!text.starts_with(kMagic)) return MTF_ERR_FORMAT;
  std::size_t pos = 0;
  std::string key, value;
  if (!CMutoh::GetHeaderLine(text, &pos, &key, &value) || key != kMagic || !value.empty())
    return MTF_ERR_FORMAT;
  while (CMutoh::GetHeaderLine(text, &pos, &key, &value)) {
    h->lines.emplace_back(key, value);
    double d = 0;
    if (key == "WIDTH") {
      if (!ParseInt(value, &h->width)) h->width = -1;
    } else if (key == "HEIGHT") {
      if (!ParseInt(value, &h->height)) h->height = -1;
    } else if (key == "DATAMIN" && ParseReal(value, &d)) {
      h->dataMin = d;
    } else if (key == "DATAMAX" && ParseReal(value, &d)) {
      h->dataMax = d;
    } else if (key == "SHUTTIME" && ParseReal(value, &d) && d >= 0) {
      h->shutter = d;
    } else if (key == "TEMP" && ParseReal(value, &d)) {
      h->temperature = d;
    } else if (key == "CAMERA") {
      h->camera = std::string(Utf8Cut(value, kValueLimit));
    } else if (key == "DATE") {
      h->date = std::string(Utf8Cut(value, kValueLimit));
    } else if (key == "TIME") {
      h->time = std::string(Utf8Cut(value, kValueLimit));
    }
  }
  if (h->width <= 0 || h->height <= 0) return MTF_ERR_FORMAT;
  return MTF_OK;
}

void AddMtfCards(CImage& image, const MtfHeader& h) {
  if (h.date && h.time) {
    std::string d, t;
    if (CMutoh::MakeDateTimeString(*h.date, *h.time, LocalBiasMinutes(), &d, &t)) {
      CMutoh::AddFitsHeader(image, "DATE-OBS= '" + FitText(d, 10) +
                                       "'         / Observation start date (YYYY-MM-DD)");
      CMutoh::AddFitsHeader(
          image, "UT      = '" + FitText(t, 12) + "'       / Typical UTC at exposure (HH:MM:SS.S)");
    }
    CMutoh::AddFitsHeader(image,
                          "TIMESYS = 'UTC     '           / Time System used in this header");
  }
  if (h.shutter)
    CMutoh::AddFitsHeader(image, Format("EXPTIME = %20.2f / Exposure time (sec)", *h.shutter));
  if (h.camera)
    CMutoh::AddFitsHeader(image, "INSTRUME= '" + FitText(*h.camera, 20) + "' / Name of instrument");
  if (h.temperature)
    CMutoh::AddFitsHeader(
        image, Format("DET-TMP = %20.2f / Detector temperature (K)", *h.temperature + 273.15));
  for (const auto& [key, value] : h.lines)
    if (!value.empty())
      image.m_FitsHeader.Add(std::string(kTag) + FitText(key, 8) + " = " + FitText(value, 56));
}

// Rows of 16-bit counts, least significant byte first, from the current position.
int ReadPixels(CImage& image, std::FILE* f, ProgressSink* progress, const std::string& caption) {
  if (!image.AllocImage(progress, caption)) return MTF_ERR_MEMORY;
  const int width = image.GetWidth(), height = image.GetHeight();
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 2);
  ProgressScope scope(progress, caption);
  for (int y = 0; y < height; ++y) {
    if (std::fread(row.data(), 1, row.size(), f) != row.size()) return MTF_ERR_SHORT;
    auto* px = static_cast<std::uint16_t*>(image.GetImageAdr(0, y));
    if (!px) return MTF_ERR_MEMORY;
    for (int x = 0; x < width; ++x)
      px[x] = static_cast<std::uint16_t>(LoadU16(&row[2 * static_cast<std::size_t>(x)]));
    scope.Update(y + 1, height);
  }
  return MTF_OK;
}

int ReadMutoh(CImage& image, const std::string& path, int type, bool pixels, ProgressSink* progress,
              const std::string& caption) {
  std::uint64_t size = 0;
  int code = MTF_OK;
  fileio::FilePtr f = fileio::OpenForReading(path, &size, &code);
  if (!f) return code;
  const bool mtf = type == CMutoh::MTF;
  const std::size_t headerSize = mtf ? kMutohHeaderSize : kMutohBinHeaderSize;
  std::string header(headerSize, '\0');
  if (std::fread(header.data(), 1, headerSize, f.get()) != headerSize) return MTF_ERR_SHORT;

  image.Empty();
  image.m_FitsHeader.DeleteAll();
  image.SetBitsPixel(16);
  image.SetSigned(0);
  image.SetPlanes(1);
  image.SetBscale(1.0);
  image.SetBzero(0.0);

  bool levels = false;
  double lo = 0, hi = 0;
  MtfHeader h;
  if (mtf) {
    image.SetWidth(-1);
    image.SetHeight(-1);
    if (int rc = ParseMtfHeader(header, &h)) return rc;
    image.SetWidth(h.width);
    image.SetHeight(h.height);
    if (h.dataMin && h.dataMax) {
      levels = true;
      lo = *h.dataMin;
      hi = *h.dataMax;
    }
  } else {
    const auto* b = reinterpret_cast<const unsigned char*>(header.data());
    const int width = static_cast<int>(LoadU16(b)), height = static_cast<int>(LoadU16(b + 2));
    if (width == 0 || height == 0 || width > kMutohBinMaxSide || height > kMutohBinMaxSide)
      return MTF_ERR_FORMAT;
    image.SetWidth(width);
    image.SetHeight(height);
    const unsigned a = LoadU16(b + 4), c = LoadU16(b + 6);
    if (a != c) {
      levels = true;
      lo = std::min(a, c);
      hi = std::max(a, c);
    }
  }
  image.SetOrgWidth(image.GetWidth());
  image.SetOrgHeight(image.GetHeight());
  CMutoh::MakeRequiredFitsHeader(image);
  if (mtf) AddMtfCards(image, h);

  if (pixels) {
    // The rows must lie in the file before anything is allocated for them.
    const std::uint64_t need = static_cast<std::uint64_t>(image.GetWidth()) *
                               static_cast<std::uint64_t>(image.GetHeight()) * 2u;
    if (need > size - headerSize) return MTF_ERR_SHORT;
    if (int rc = ReadPixels(image, f.get(), progress, caption)) return rc;
  }
  if (levels) {
    if (!image.AllocLevel()) return MTF_ERR_MEMORY;
    image.SetLevel(0, lo, hi);
  } else if (pixels && !image.SetDefaultLevel()) {
    return MTF_ERR_MEMORY;
  }
  image.SetOwnLevel(0);

  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(mtf ? kFormatMtf : kFormatBin);
  image.SetOrgBitsPixel(16);
  image.SetOrgPlanes(1);
  return MTF_OK;
}

// The value of the first tagged card of keyword whose '=' stands where the writer puts
// it: 8 characters from the value's start.
std::optional<std::string> TaggedValue8(const CImage& image, std::string_view keyword) {
  const std::string lead = std::string(kTag) + std::string(keyword);
  for (const std::string& card : image.m_FitsHeader.Cards())
    if (card.starts_with(lead) && card.size() > kValueAt - 2 && card[kValueAt - 2] == '=')
      return card.size() > kValueAt ? card.substr(kValueAt, 8) : std::string();
  return std::nullopt;
}

// The text value of a FITS card (quotes removed, trailing blanks cut); nullopt when the
// header has no such card or its value is not a text.
std::optional<std::string> CardText(const CImage& image, std::string_view keyword) {
  const int i = image.m_FitsHeader.Find(keyword);
  if (i < 0) return std::nullopt;
  const std::string& card = image.m_FitsHeader.GetAt(i);
  const std::size_t open = card.find('\'', 10);
  if (card.size() < 10 || card.compare(8, 2, "= ") != 0 || open == std::string::npos)
    return std::nullopt;
  const std::size_t close = card.find('\'', open + 1);
  if (close == std::string::npos) return std::nullopt;
  std::string v = card.substr(open + 1, close - open - 1);
  while (!v.empty() && v.back() == ' ') v.pop_back();
  return v;
}

// The file's bytes through a buffer into a temporary file, renamed over the target at the end.
class Output {
 public:
  int Open(const std::string& path) {
    const int e = file_.Open(path);
    return e == 0 ? MTF_OK : FioCreateCode(e);
  }
  bool Put(const void* data, std::size_t n) { return file_.Put(data, n); }
  int Commit() { return file_.Commit() ? MTF_OK : MTF_ERR_WRITE; }

 private:
  BufferedAtomicFile file_;
};

// The data minimum and maximum of plane 0 truncated toward zero.
void DataRange(const CImage& image, int* lo, int* hi) {
  double a = 0, b = 0;
  if (!image.GetMinMax(0, &a, &b)) a = b = 0;
  *lo = static_cast<int>(std::trunc(std::clamp(a, -2147483648.0, 2147483647.0)));
  *hi = static_cast<int>(std::trunc(std::clamp(b, -2147483648.0, 2147483647.0)));
}

std::string MakeMtfHeader(const CImage& image) {
  int lo = 0, hi = 0;
  DataRange(image, &lo, &hi);
  std::string text = std::string(kMagic) + "\n";
  text += Format("WIDTH %d\n", image.GetWidth());
  text += Format("HEIGHT %d\n", image.GetHeight());
  text += Format("DATAMIN %d\n", lo);
  text += Format("DATAMAX %d\n", hi);
  static constexpr std::string_view kKeys[] = {"CAMERA", "BINING", "SUBARY", "SHUTTIME",
                                               "TIME",   "DATE",   "TEMP",   "NOTE"};
  constexpr std::string_view kEnd = "END\n";
  auto put = [&](const std::string& line) {
    // A line that would leave no room for the end line is left out.
    if (text.size() + line.size() + kEnd.size() <= static_cast<std::size_t>(kMutohHeaderSize))
      text += line;
  };
  auto toFile = [](std::string_view utf8) {
    auto sjis = Utf8ToSjis(utf8);
    return sjis ? *sjis : std::string(utf8);
  };
  for (std::string_view key : kKeys) {
    std::optional<std::string> special;
    if (key == "DATE") special = CMutoh::GetDateHeader(image);
    if (key == "TIME") special = CMutoh::GetTimeHeader(image);
    if (special) {
      put(std::string(key) + " " + toFile(*special) + "\n");
      continue;
    }
    if (key == "DATE" || key == "TIME") continue;
    const std::string lead = std::string(kTag) + FitText(key, 8) + " = ";
    for (const std::string& card : image.m_FitsHeader.Cards()) {
      if (!card.starts_with(lead)) continue;
      std::string value = card.substr(kValueAt);
      while (!value.empty() && value.back() == ' ') value.pop_back();
      put(std::string(key) + " " + toFile(value) + "\n");
    }
  }
  text += kEnd;
  text.resize(kMutohHeaderSize, '\0');
  return text;
}

int WriteMutoh(const CImage& image, const std::string& path, int type, ProgressSink* progress,
               const std::string& caption) {
  const int width = image.GetWidth(), height = image.GetHeight();
  const bool mtf = type == CMutoh::MTF;
  if (image.IsEmpty() || image.GetBitsPixel() != 16 || image.IsSigned() || image.GetPlanes() != 1 ||
      width <= 0 || height <= 0 || (!mtf && (width > 0xFFFF || height > 0xFFFF)))
    return MTF_ERR_HEADER;
  std::string header;
  if (mtf) {
    header = MakeMtfHeader(image);
  } else {
    int lo = 0, hi = 0;
    DataRange(image, &lo, &hi);
    header.assign(kMutohBinHeaderSize, '\0');
    auto* b = reinterpret_cast<unsigned char*>(header.data());
    StoreU16(b, static_cast<unsigned>(width));
    StoreU16(b + 2, static_cast<unsigned>(height));
    StoreU16(b + 4, static_cast<unsigned>(lo));
    StoreU16(b + 6, static_cast<unsigned>(hi));
  }
  Output out;
  if (int rc = out.Open(path)) return rc;
  if (!out.Put(header.data(), header.size())) return MTF_ERR_WRITE;
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 2);
  ProgressScope scope(progress, caption);
  for (int y = 0; y < height; ++y) {
    const auto* px = static_cast<const std::uint16_t*>(image.GetImageAdr(0, y, 0));
    if (!px) return MTF_ERR_MEMORY;
    for (int x = 0; x < width; ++x) StoreU16(&row[2 * static_cast<std::size_t>(x)], px[x]);
    if (!out.Put(row.data(), row.size())) return MTF_ERR_WRITE;
    scope.Update(y + 1, height);
  }
  return out.Commit();
}

}  // namespace

bool CMutoh::GetHeaderLine(std::string_view header, std::size_t* pos, std::string* keyword,
                           std::string* value) {
  // A zero byte ends the text: the rest of the block is filler.
  header = header.substr(0, header.find('\0'));
  std::size_t i = *pos;
  while (i < header.size() &&
         (header[i] == '\r' || header[i] == '\n' || header[i] == ' ' || header[i] == '\t'))
    ++i;
  *pos = i;
  if (i >= header.size()) return false;
  const auto c = static_cast<unsigned char>(header[i]);
  if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  std::size_t e = header.find('\n', i);
  if (e == std::string_view::npos) e = header.size();
  std::string_view line = header.substr(i, e - i);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  const std::size_t blank = line.find_first_of(" \t");
  std::string_view key = line.substr(0, blank);
  std::string_view rest = blank == std::string_view::npos ? std::string_view() : line.substr(blank);
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  *pos = e;
  if (key == "END") return false;
  *keyword = std::string(key);
  *value = SjisToUtf8(rest);
  return true;
}

int CMutoh::GetDaysOfMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool CMutoh::MakeDateTimeString(std::string_view date, std::string_view time, int bias,
                                std::string* dateOut, std::string* timeOut) {
  int d[3], t[3];
  if (!ParseTriple(date, '/', d) || !ParseTriple(time, ':', t)) return false;
  int month = d[0], day = d[1], year = d[2];
  int hour = t[0], minute = t[1];
  const int second = t[2];
  if (year >= 0 && year < 100) year += year > 69 ? 1900 : 2000;
  // Fields out of range would carry the roll-over past one day and outside the table.
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > GetDaysOfMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || bias < -24 * 60 || bias > 24 * 60)
    return false;
  minute += bias;
  hour += static_cast<int>(std::floor(minute / 60.0));
  minute = ((minute % 60) + 60) % 60;
  if (hour < 0) {
    hour += 24;
    if (--day < 1) {
      if (--month < 1) {
        month = 12;
        --year;
      }
      day = GetDaysOfMonth(year, month);
    }
  } else if (hour > 23) {
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

std::optional<std::string> CMutoh::GetDateHeader(const CImage& image) {
  if (auto v = TaggedValue8(image, "DATE")) return v;
  if (auto v = CardText(image, "DATE"); v && v->size() >= 6 && (*v)[2] == '/' && (*v)[5] == '/')
    return v->substr(0, 8);
  auto v = CardText(image, "DATE-OBS");
  if (!v) return std::nullopt;
  const std::string& s = *v;
  if (s.size() >= 8 && s[2] == '/' && s[5] == '/')  // dd/mm/yy
    return s.substr(3, 2) + "/" + s.substr(0, 2) + "/" + s.substr(6, 2);
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-')  // YYYY-MM-DD
    return s.substr(5, 2) + "/" + s.substr(8, 2) + "/" + s.substr(2, 2);
  return std::nullopt;
}

std::optional<std::string> CMutoh::GetTimeHeader(const CImage& image) {
  if (auto v = TaggedValue8(image, "TIME")) return v;
  if (auto v = CardText(image, "TIME"); v && v->size() >= 6 && (*v)[2] == ':' && (*v)[5] == ':')
    return v->substr(0, 8);
  if (auto v = CardText(image, "DATE-OBS");
      v && v->size() >= 17 && (*v)[13] == ':' && (*v)[16] == ':')
    return v->substr(11, 8);
  return std::nullopt;
}

void CMutoh::AddFitsHeader(CImage& image, std::string_view text) {
  image.m_FitsHeader.Add(FitText(text, 80));
}

void CMutoh::MakeRequiredFitsHeader(CImage& image) {
  AddFitsHeader(image, Format("SIMPLE  = %20.20s", "T"));
  AddFitsHeader(image,
                Format("BITPIX  = %20d / # of bits storing pixel values", image.GetBitsPixel()));
  AddFitsHeader(image, Format("NAXIS   = %20d / # of axes in frame", 2));
  AddFitsHeader(image, Format("NAXIS1  = %20d / # of pixels/row", image.GetWidth()));
  AddFitsHeader(image, Format("NAXIS2  = %20d / # of rows in frame", image.GetHeight()));
}

int CMutoh::Read(CImage& image, const std::string& path, int type, ProgressSink* progress,
                 const std::string& caption) {
  try {
    return ReadMutoh(image, path, type, true, progress, caption);
  } catch (const std::bad_alloc&) {
    return MTF_ERR_MEMORY;
  }
}

int CMutoh::ReadHeader(CImage& image, const std::string& path, int type, ProgressSink* progress,
                       const std::string& caption) {
  try {
    return ReadMutoh(image, path, type, false, progress, caption);
  } catch (const std::bad_alloc&) {
    return MTF_ERR_MEMORY;
  }
}

int CMutoh::Write(const CImage& image, const std::string& path, int type, ProgressSink* progress,
                  const std::string& caption) {
  try {
    return WriteMutoh(image, path, type, progress, caption);
  } catch (const std::bad_alloc&) {
    return MTF_ERR_MEMORY;
  }
}
