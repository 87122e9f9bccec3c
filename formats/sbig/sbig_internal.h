// What reading and writing SBIG files share: the table of camera types, the tagged
// COMMENT cards, CP932-aware line cutting and bounded number parsing.
#pragma once

#include "platform/clocale.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CImage;

namespace sbig_detail {

struct TypeInfo {
  int type;
  std::string_view prefix;     // how the first header line begins
  std::string_view altPrefix;  // a second accepted beginning, or empty
  std::string_view tag;        // the tag of the COMMENT cards
  std::string_view name;       // the type string of the format name
  std::string_view extension;  // the file extension that suits the type
};

// In the order the first line is tested: "ST-4X " before "ST-5 ".
const std::vector<TypeInfo>& Types();
// The entry of a type (compression bit ignored), or null.
const TypeInfo* FindType(int type);
// The entry of a tag, or null.
const TypeInfo* FindTag(std::string_view tag);

// One tagged card taken apart: its tag and its text without trailing blanks.
struct TaggedCard {
  std::string tag;
  std::string text;
};
// A "COMMENT [tag]text" card with a tag of 1 to 4 characters; nullopt otherwise.
std::optional<TaggedCard> ParseTaggedCard(std::string_view card);

// Skips ASCII blanks, an optional sign, digits; saturates at the int range.
inline bool ParseInt(std::string_view s, int* value, std::size_t* end = nullptr) {
  return ParseDecimalInt(s, value, end);
}
// Skips ASCII blanks, then a finite decimal number.
inline bool ParseDouble(std::string_view s, double* value, std::size_t* end = nullptr) {
  return ParseDecimalDouble(s, value, end, true);
}
// Cut to n bytes without splitting a UTF-8 character, padded with blanks to n.
std::string FitText(std::string_view s, std::size_t n);
// At most n bytes of CP932 text, never splitting a double-byte character.
std::string_view SjisCut(std::string_view s, std::size_t n);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sbig_detail
