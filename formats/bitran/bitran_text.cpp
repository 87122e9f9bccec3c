// The fields that the Bitran camera software writes into its description text (date,
// exposure, detector, temperature), the FITS cards made from them, and the parsing
// helpers of the library. All text here is UTF-8, decoded from the file's CP932.
#include <time.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "formats/bitran/bitran.h"
#include "formats/bitran/bitran_internal.h"
#include "imagemodel/image.h"

namespace bitran_detail {

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string CutText(std::string_view s, std::size_t n) {
  if (s.size() <= n) return std::string(s);
  std::size_t cut = n;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return std::string(s.substr(0, cut));
}

std::string FitText(std::string_view s, std::size_t n) {
  std::string out = CutText(s, n);
  out.resize(n, ' ');
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormatC(format, args);
  va_end(args);
  return out;
}

}  // namespace bitran_detail

using namespace bitran_detail;

namespace bitran_text {

namespace {

// A field between two markers: blanks around it allowed, digits only.
bool DigitsField(std::string_view s, int* value) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  if (b == e || e - b > 9) return false;
  int v = 0;
  for (std::size_t i = b; i < e; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysOfMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[(month - 1) % 12];
}

// The digits (and, for seconds, "." and "/") that stand directly before pos.
std::string_view Before(std::string_view s, std::size_t pos, bool seconds) {
  std::size_t b = pos;
  while (b > 0) {
    char c = s[b - 1];
    if ((c >= '0' && c <= '9') || (seconds && (c == '.' || c == '/')))
      --b;
    else
      break;
  }
  return s.substr(b, pos - b);
}

}  // namespace

bool ParseDateTime(std::string_view text, int biasMinutes, BitranDateTime* out) {
  static constexpr std::string_view kMarks[] = {"年", "月", "日", "時", "分", "秒"};
  std::size_t pos[6];
  std::size_t from = 0;
  for (int i = 0; i < 6; ++i) {
    pos[i] = text.find(kMarks[i], from);
    if (pos[i] == std::string_view::npos) return false;
    from = pos[i] + kMarks[i].size();
  }
  if (pos[0] < 4) return false;
  int f[6];
  if (!DigitsField(text.substr(pos[0] - 4, 4), &f[0])) return false;
  for (int i = 1; i < 6; ++i) {
    std::size_t b = pos[i - 1] + kMarks[i - 1].size();
    if (!DigitsField(text.substr(b, pos[i] - b), &f[i])) return false;
  }
  BitranDateTime t{f[0], f[1], f[2], f[3], f[4], f[5]};
  // Out-of-range fields would send the roll-over below past one day and index the month
  // table outside its bounds; such a date is not a date.
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysOfMonth(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 60)
    return false;
  if (biasMinutes < -48 * 60 || biasMinutes > 48 * 60) return false;

  int minutes = t.minute + biasMinutes;
  int hours = minutes / 60;
  minutes %= 60;
  if (minutes < 0) {  // a negative remainder borrows one hour
    minutes += 60;
    --hours;
  }
  t.minute = minutes;
  t.hour += hours;
  while (t.hour < 0) {
    t.hour += 24;
    if (--t.day < 1) {
      if (--t.month < 1) {
        t.month = 12;
        --t.year;
      }
      t.day = DaysOfMonth(t.year, t.month);
    }
  }
  while (t.hour > 23) {
    t.hour -= 24;
    if (++t.day > DaysOfMonth(t.year, t.month)) {
      t.day = 1;
      if (++t.month > 12) {
        t.month = 1;
        ++t.year;
      }
    }
  }
  *out = t;
  return true;
}

bool ParseExposure(std::string_view text, double* seconds) {
  static constexpr std::string_view kMark = "露出";
  std::size_t e = text.find(kMark);
  if (e == std::string_view::npos) return false;
  std::size_t start = e + kMark.size();
  std::size_t blank = text.find(' ', start);
  if (blank == std::string_view::npos) return false;
  std::string_view value = text.substr(start, blank - start);

  auto number = [](std::string_view digits) {
    int v = 0;
    return ParseInt(digits, &v) ? v : 0;
  };
  double total = 0;
  if (std::size_t p = value.find("時間"); p != std::string_view::npos)
    total += 3600.0 * number(Before(value, p, false));
  if (std::size_t p = value.find("分"); p != std::string_view::npos)
    total += 60.0 * number(Before(value, p, false));
  if (std::size_t p = value.find("秒"); p != std::string_view::npos) {
    std::string_view s = Before(value, p, true);
    double v = 0;
    if (std::size_t slash = s.find('/'); slash != std::string_view::npos) {
      double a = 0, b = 0;
      if (!ParseDouble(s.substr(0, slash), &a)) a = 0;
      if (!ParseDouble(s.substr(slash + 1), &b) || !(b > 0)) return false;
      v = a / b;
    } else if (!ParseDouble(s, &v)) {
      v = 0;
    }
    total += v;
  }
  *seconds = total;
  return true;
}

bool ParseDetector(std::string_view text, std::string* name) {
  std::size_t p = text.find("BT-");
  if (p == std::string_view::npos) p = text.find("BJ-");
  if (p == std::string_view::npos) return false;
  std::size_t e = text.find_first_of("\r\n (,", p);
  *name = std::string(text.substr(p, e == std::string_view::npos ? e : e - p));
  return true;
}

bool ParseTemperature(std::string_view text, double* kelvin) {
  std::size_t t = text.find("℃");
  if (t == std::string_view::npos) return false;
  std::size_t blank = text.rfind(' ', t);
  std::size_t start = blank == std::string_view::npos ? 0 : blank + 1;
  double celsius = 0;
  std::size_t end = 0;
  std::string_view number = text.substr(start, t - start);
  if (!ParseDouble(number, &celsius, &end) || end != number.size()) return false;
  *kelvin = celsius + 273.15;
  return true;
}

}  // namespace bitran_text

// ---------------------------------------------------------------- header cards

void CBitranHeader::SetComment(std::string_view text) {
  if (std::size_t crlf = text.find("\r\n"); crlf != std::string_view::npos)
    text = text.substr(0, crlf);
  if (text.empty()) return;
  m_Comments.push_back(CutText(text, 80));
}

void CBitranHeader::Required(CImage& image) const {
  CFitsHeader& h = image.m_FitsHeader;
  h.Add(Format("SIMPLE  = %20.20s", "T"));
  h.Add(Format("BITPIX  = %20d / # of bits storing pixel values", -32));
  h.Add(Format("NAXIS   = %20d / # of axes in frame", 2));
  h.Add(Format("NAXIS1  = %20d / # of pixels/row", image.GetWidth()));
  h.Add(Format("NAXIS2  = %20d / # of rows in frame", image.GetHeight()));
}

void CBitranHeader::Time(CImage& image) const {
  CFitsHeader& h = image.m_FitsHeader;
  BitranDateTime t;
  if (bitran_text::ParseDateTime(m_strData, bitran_text::LocalBiasMinutes(), &t)) {
    std::string date = Format("%04d-%02d-%02d", t.year, t.month, t.day);
    std::string ut = Format("%02d:%02d:%02d.000", t.hour, t.minute, t.second);
    h.Add("DATE-OBS= '" + FitText(date, 10) + "'         / Observation start date (YYYY-MM-DD)");
    h.Add("UT      = '" + FitText(ut, 12) + "'       / Typical UTC at exposure (HH:MM:SS.S)");
    h.Add("TIMESYS = 'UTC     '           / Time System used in this header");
  }
  double exposure = 0;
  if (bitran_text::ParseExposure(m_strData, &exposure) && exposure > 0)
    h.Add(Format("EXPTIME = %20.2f / Exposure time (sec)", exposure));
}

void CBitranHeader::Instrument(CImage& image) const {
  CFitsHeader& h = image.m_FitsHeader;
  std::string detector;
  if (bitran_text::ParseDetector(m_strData, &detector))
    h.Add("INSTRUME= '" + FitText(detector, 20) + "' / Name of instrument");
  double kelvin = 0;
  if (bitran_text::ParseTemperature(m_strData, &kelvin))
    h.Add(Format("DET-TMP = %20.2f / Detector temperature (K)", kelvin));
}

void CBitranHeader::Comment(CImage& image) const {
  for (const std::string& line : m_Comments) image.m_FitsHeader.Add("COMMENT " + FitText(line, 72));
}
