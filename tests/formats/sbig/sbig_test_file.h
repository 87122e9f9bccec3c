// Builds SBIG files byte by byte for the tests: the 2048-byte text header, plain rows,
// hand-made compressed row records, and ST-4 frames with their trailer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace sbig_test {

inline std::string U16(unsigned v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

// A text header: the lines (UTF-8, stored as CP932) each ended by LF CR, "End", 0x1A,
// zeros to 2048 bytes.
inline std::string Header(const std::vector<std::string>& lines) {
  std::string h;
  for (const std::string& line : lines) {
    std::optional<std::string> sjis = Utf8ToSjis(line);
    if (!sjis) std::abort();
    h += *sjis + "\n\r";
  }
  h += "End\n\r\x1a";
  if (h.size() > 2048) std::abort();
  h.resize(2048, '\0');
  return h;
}

inline std::vector<std::string> BasicLines(const std::string& first, int width, int height) {
  return {first, "File_version = 3", "Data_version = 1", "Width = " + std::to_string(width),
          "Height = " + std::to_string(height)};
}

inline std::string PlainRows(const std::vector<std::uint16_t>& pixels) {
  std::string s;
  for (std::uint16_t v : pixels) s += U16(v);
  return s;
}

// One compressed record: count, then the bytes as given.
inline std::string Record(const std::string& bytes) {
  return U16(static_cast<unsigned>(bytes.size())) + bytes;
}

// An ST-4 file: 165 rows of 192 bytes, then the trailer with its fields as text.
inline std::string ST4File(const std::string& note, const std::string& exposure,
                           const std::string& focal, const std::string& aperture,
                           const std::string& response) {
  std::string f;
  for (int y = 0; y < 165; ++y)
    for (int x = 0; x < 192; ++x) f += static_cast<char>((x * 3 + y * 7) % 251);
  auto field = [](std::string s, std::size_t n, bool left) {
    s = s.substr(0, n);
    if (left)
      s.append(n - s.size(), ' ');
    else
      s.insert(0, n - s.size(), ' ');
    return s;
  };
  std::string trailer = "v" + field(note, 78, true) + field(exposure, 10, false) +
                        field(focal, 10, false) + field(aperture, 10, false) +
                        field(response, 10, false);
  trailer.resize(192, '\0');
  return f + trailer;
}

}  // namespace sbig_test
