// Text inside the system is UTF-8. Camera files carry text in the Japanese Windows
// code page (CP932, a superset of Shift_JIS); these helpers convert at the file edge.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Decodes CP932 bytes to UTF-8. Half-width katakana stay half-width (U+FF61..U+FF9F).
// A byte sequence that is not CP932 becomes U+FFFD, one per bad byte; never fails.
std::string SjisToUtf8(std::string_view sjis);

// Encodes UTF-8 as CP932; nullopt when the text is not valid UTF-8 or holds a character
// that CP932 cannot represent.
std::optional<std::string> Utf8ToSjis(std::string_view utf8);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view text);

// The bytes of a text file made UTF-8: bytes that are valid UTF-8 are taken as they are
// (a leading byte-order mark dropped); anything else is taken for CP932, the code page of
// files written on Japanese Windows. Text that is plain ASCII reads the same either way.
std::string TextFileToUtf8(std::string_view bytes);
// Whether bytes of a text file are read as CP932 by TextFileToUtf8.
bool IsCp932TextFile(std::string_view bytes);

// The longest prefix of at most maxChars code points; never splits a character.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxChars);

// ASCII-only case-insensitive comparison, as used for keys and keywords.
bool EqualsNoCase(std::string_view a, std::string_view b);
