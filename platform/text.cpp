#include "platform/text.h"

#include <iconv.h>

#include <cerrno>

namespace {

// One iconv conversion descriptor per direction, opened on first use. The system runs its
// file code on one thread; each call resets the shift state before converting.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Converts as much as iconv accepts; on an invalid byte calls onBad and skips it when
// onBad returns true. Returns false when conversion must stop.
template <typename OnBad>
bool Convert(const Converter& conv, std::string_view in, std::string& out, OnBad onBad) {
  if (!conv.ok()) return false;
  iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buffer[1024];
  while (srcLeft > 0) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    size_t r = iconv(conv.get(), &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (a bad byte) or EINVAL (a truncated sequence at the end).
    if (!onBad(out)) return false;
    ++src;
    --srcLeft;
    iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  }
  char* dst = buffer;
  size_t dstLeft = sizeof buffer;
  iconv(conv.get(), nullptr, nullptr, &dst, &dstLeft);
  out.append(buffer, static_cast<size_t>(dst - buffer));
  return true;
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
  static Converter conv("UTF-8", "CP932");
  std::string out;
  out.reserve(sjis.size() * 3 / 2);
  bool ok = Convert(conv, sjis, out, [](std::string& o) {
    o.append(kReplacement);
    return true;
  });
  if (!ok) {
    // No CP932 converter on this system: keep ASCII, replace the rest.
    out.clear();
    for (unsigned char c : sjis) {
      if (c < 0x80)
        out.push_back(static_cast<char>(c));
      else
        out.append(kReplacement);
    }
  }
  return out;
}

std::optional<std::string> Utf8ToSjis(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return std::nullopt;
  static Converter conv("CP932", "UTF-8");
  std::string out;
  if (!Convert(conv, utf8, out, [](std::string&) { return false; })) return std::nullopt;
  return out;
}

bool IsCp932TextFile(std::string_view bytes) {
  return !IsValidUtf8(bytes);
}

std::string TextFileToUtf8(std::string_view bytes) {
  if (IsCp932TextFile(bytes)) return SjisToUtf8(bytes);
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  return std::string(bytes);
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t maxChars) {
  size_t i = 0;
  size_t chars = 0;
  while (i < text.size() && chars < maxChars) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    ++chars;
  }
  return text.substr(0, i);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}
