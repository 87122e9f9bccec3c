// Helpers for 80-character FITS header cards, shared by the reader and the writer:
// keyword matching, value parsing and formatting, the closing quote of a string value,
// and the size of a data unit as its cards declare it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fitscards {

inline constexpr std::size_t kRecordSize = 2880;
inline constexpr std::size_t kCardSize = 80;
inline constexpr int kCardsPerRecord = 36;

// True when the card begins with prefix.
inline bool Begins(std::string_view card, std::string_view prefix) {
  return card.size() >= prefix.size() && card.compare(0, prefix.size(), prefix) == 0;
}

// True when the card's keyword field (its first 8 characters, padded with blanks) is the
// keyword padded to 8.
bool IsKeyword(std::string_view card, std::string_view keyword);

// The card without trailing blanks.
std::string_view TrimRight(std::string_view text);
// The text without leading and trailing blanks.
std::string_view Trim(std::string_view text);

// The value field: everything from column 11 on.
std::string_view Value(std::string_view card);

// Integer value from column 11 (leading blanks skipped, digits up to the first other
// character; saturates). 0 when there is no number.
int IntValue(std::string_view card);
// The same as a 64-bit integer.
std::int64_t Int64Value(std::string_view card);
// Real value from column 11; a Fortran exponent letter D is read as E. 0.0 when there is
// no number.
double RealValue(std::string_view card);
// A real number from a table field (the same rules, without the column offset).
double ParseReal(std::string_view text);

// The text of a real value that reads back as exactly v. printf's text with the format
// fixed is kept when it takes at most 20 characters and reads back exactly, so that the
// familiar look ("1.00000000") stays; otherwise the shortest text that reads back
// exactly, with a decimal point and a capital E exponent as FITS asks. Negative zero is
// written as 0. Empty when v is not finite: FITS has no text for infinity or NaN.
std::string RealText(double v, const char* fixed);

// A card with a real value: the keyword padded to 8, "= ", the value right-justified to
// end in column 30 when it fits those 20 columns and otherwise straight after "= " (free
// format), then " / " and the comment. Only the comment is ever cut to keep the card 80
// characters. Empty when v is not finite.
std::string RealCard(std::string_view keyword, double v, const char* fixed,
                     std::string_view comment);

// Position in value of the quote that closes a string beginning at position 0: the
// first "' " or else the first "'/", else a quote that ends the value. npos when none.
std::size_t ClosingQuote(std::string_view value);

// Whether a card is a valid FITS keyword card that a reader takes as it stands: at most
// 80 printable ASCII characters; a keyword of capital letters, digits, '-' and '_'
// padded with blanks; "= " in columns 9 and 10 and a value that parses (a string closed
// by its quote, T or F, an integer, a real with a capital E or D exponent, a complex
// pair, or no value at all), followed by nothing but blanks or a "/" comment. HISTORY
// cards are valid commentary cards; a CONTINUE card is valid when it holds a string.
bool IsValidKeywordCard(std::string_view card);

// Size in bytes of the data unit that an extension's cards declare:
// |BITPIX|/8 × GCOUNT × (PCOUNT + NAXIS1 × … × NAXISn), 0 for NAXIS 0. Returns false
// when BITPIX or NAXIS is missing, a value is negative or out of range, or the size
// does not fit in 64 bits.
bool DataUnitBytes(const std::vector<std::string>& cards, std::uint64_t* bytes);

// a × b and a + b, false on overflow.
inline bool MulOk(std::uint64_t a, std::uint64_t b, std::uint64_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}
inline bool AddOk(std::uint64_t a, std::uint64_t b, std::uint64_t* out) {
  return !__builtin_add_overflow(a, b, out);
}

}  // namespace fitscards
