// Builds Bitran files byte by byte for the tests: signature and version, flag byte, typed
// CP932 text blocks, the size block, extended records and the 16-bit frame.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace bitran_test {

inline std::string I32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<std::size_t>(i)] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}

inline std::string Sjis(const std::string& utf8) {
  std::optional<std::string> s = Utf8ToSjis(utf8);
  if (!s) std::abort();  // a test text that CP932 cannot hold is a broken test
  return *s;
}

struct Record {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::string text;  // bytes that follow the record (record 2's defect list)
};

struct BitranFile {
  std::string signature = "BITRAN CCD original format ";
  std::string version = "1.7";
  std::uint8_t flags = 0;
  std::vector<std::pair<std::int32_t, std::string>> texts;  // type, UTF-8 text
  std::int32_t width = 4;
  std::int32_t height = 3;
  std::int32_t disuseWidth = 0;
  std::vector<Record> records;
  bool endRecord = true;              // close the records with "CCD=word" (version 1.1 and later)
  std::vector<std::uint16_t> pixels;  // width × height; a ramp when empty

  BitranFile& Text(std::int32_t type, const std::string& utf8) {
    texts.emplace_back(type, utf8);
    return *this;
  }

  std::uint16_t Pixel(int x, int y) const {
    if (pixels.empty()) return static_cast<std::uint16_t>(100 + x + 10 * y);
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }

  std::string Build() const {
    std::string f = signature;
    f.resize(28, ' ');
    f += version.substr(0, 3);
    f.resize(31, ' ');
    f += static_cast<char>(flags);
    for (const auto& [type, text] : texts) {
      std::string bytes = Sjis(text);
      bytes.push_back('\0');  // the camera software counts the terminator
      f += I32(type) + I32(static_cast<std::int32_t>(bytes.size())) + bytes;
    }
    f += I32(0);
    f += I32(width) + I32(height) + I32(0) + I32(disuseWidth);
    for (const Record& r : records) f += I32(r.a) + I32(r.b) + r.text;
    const int v = version.size() == 3 ? (version[0] - '0') * 10 + (version[2] - '0') : 0;
    if (endRecord && v >= 11) f += "CCD=word";
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        std::uint16_t v = Pixel(x, y);
        f += static_cast<char>(v & 0xFF);
        f += static_cast<char>(v >> 8);
      }
    return f;
  }
};

}  // namespace bitran_test
