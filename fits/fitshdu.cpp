// Walks a FITS file from header to header: each unit's header is read up to its END card
// and its data unit sized from the cards, so a file of many extensions is listed without
// reading any data.
#include "fits/fitshdu.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <set>

#include "fits/fits.h"
#include "fits/fitscards.h"
#include "platform/files.h"

using namespace fitscards;

namespace {

constexpr std::uint64_t kMaxHeaderRecords = 10000;

bool ReadExactly(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// The cards of the header at offset up to END; false when the file ends first or the
// header is absurdly long.
bool ReadHeaderCards(int fd, std::uint64_t offset, std::vector<std::string>* cards,
                     std::uint64_t* end) {
  std::array<char, kRecordSize> record;
  for (std::uint64_t n = 0; n < kMaxHeaderRecords; ++n) {
    if (!ReadExactly(fd, record.data(), kRecordSize, offset)) return false;
    offset += kRecordSize;
    for (int c = 0; c < kCardsPerRecord; ++c) {
      cards->emplace_back(record.data() + c * kCardSize, kCardSize);
      if (IsKeyword(cards->back(), "END")) {
        *end = offset;
        return true;
      }
    }
  }
  return false;
}

std::string StringValue(std::string_view card) {
  std::string_view value = Trim(Value(card));
  if (value.empty() || value.front() != '\'') return std::string(value);
  value.remove_prefix(1);
  const std::size_t close = ClosingQuote(value);
  return std::string(Trim(value.substr(0, close == std::string_view::npos ? value.size() : close)));
}

bool HasValue(std::string_view card) {
  return card.size() >= 10 && card.compare(8, 2, "= ") == 0;
}

// The axis number of an "NAXISn" or "ZNAXISn" keyword, 0 when the card is no such one.
int AxisNumber(std::string_view card, std::string_view prefix) {
  if (!Begins(card, prefix) || !HasValue(card)) return 0;
  const std::string_view digits = TrimRight(card.substr(prefix.size(), 8 - prefix.size()));
  int n = 0;
  if (digits.empty() || std::from_chars(digits.data(), digits.data() + digits.size(), n).ptr !=
                            digits.data() + digits.size())
    return 0;
  return n >= 1 && n <= 999 ? n : 0;
}

// Fills hdu from its cards; false when the data unit cannot be sized.
bool Describe(const std::vector<std::string>& cards, FitsHdu* hdu) {
  std::int64_t bitpix = 0, naxis = -1, pcount = 0, gcount = 1, zbitpix = 0, znaxis = -1;
  bool zimage = false, haveBitpix = false;
  std::vector<std::int64_t> axes(1000, -1), zaxes(1000, -1);
  for (const std::string& card : cards) {
    if (IsKeyword(card, "END")) break;
    if (!HasValue(card)) continue;
    if (IsKeyword(card, "BITPIX")) {
      bitpix = Int64Value(card);
      haveBitpix = true;
    } else if (IsKeyword(card, "NAXIS")) {
      naxis = Int64Value(card);
    } else if (IsKeyword(card, "PCOUNT")) {
      pcount = Int64Value(card);
    } else if (IsKeyword(card, "GCOUNT")) {
      gcount = Int64Value(card);
    } else if (IsKeyword(card, "EXTNAME")) {
      hdu->extName = StringValue(card);
    } else if (IsKeyword(card, "EXTVER")) {
      hdu->extVer = static_cast<int>(Int64Value(card));
    } else if (IsKeyword(card, "GROUPS")) {
      hdu->groups = Trim(Value(card)).substr(0, 1) == "T";
    } else if (IsKeyword(card, "ZIMAGE")) {
      zimage = Trim(Value(card)).substr(0, 1) == "T";
    } else if (IsKeyword(card, "ZBITPIX")) {
      zbitpix = Int64Value(card);
    } else if (IsKeyword(card, "ZNAXIS")) {
      znaxis = Int64Value(card);
    } else if (int n = AxisNumber(card, "NAXIS")) {
      axes[static_cast<std::size_t>(n)] = Int64Value(card);
    } else if (int z = AxisNumber(card, "ZNAXIS")) {
      zaxes[static_cast<std::size_t>(z)] = Int64Value(card);
    }
  }
  if (!haveBitpix || naxis < 0 || naxis > 999 || pcount < 0 || gcount < 0 || bitpix % 8 != 0 ||
      bitpix == 0 || bitpix < -64 || bitpix > 64)
    return false;
  std::uint64_t elements = naxis == 0 ? 0 : 1;
  for (std::int64_t i = 1; i <= naxis; ++i) {
    const std::int64_t n = axes[static_cast<std::size_t>(i)];
    if (n < 0) return false;
    hdu->axes.push_back(n);
    if (i == 1 && hdu->groups && n == 0) continue;  // random groups leave the first axis out
    if (!MulOk(elements, static_cast<std::uint64_t>(n), &elements)) return false;
  }
  std::uint64_t bytes = 0;
  if (naxis > 0 && (!AddOk(elements, static_cast<std::uint64_t>(pcount), &bytes) ||
                    !MulOk(bytes, static_cast<std::uint64_t>(gcount), &bytes) ||
                    !MulOk(bytes, static_cast<std::uint64_t>(std::abs(bitpix) / 8), &bytes)))
    return false;
  hdu->dataBytes = bytes;
  hdu->bitpix = static_cast<int>(bitpix);
  if (zimage && hdu->type == "BINTABLE" && znaxis >= 0 && znaxis <= 999) {
    hdu->compressed = true;
    hdu->bitpix = static_cast<int>(zbitpix);
    hdu->axes.clear();
    for (std::int64_t i = 1; i <= znaxis; ++i)
      hdu->axes.push_back(zaxes[static_cast<std::size_t>(i)]);
  }
  return true;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

bool FitsHdu::IsImage() const {
  if (groups) return false;
  if (!(index == 0 || type == "IMAGE" || compressed)) return false;
  if (axes.empty()) return false;
  for (std::int64_t n : axes)
    if (n <= 0 || n > std::numeric_limits<int>::max()) return false;
  // Axes beyond the third of length 1 add nothing to the data (a radio image's Stokes
  // and frequency axes): it is the image of its first three.
  for (std::size_t i = 3; i < axes.size(); ++i)
    if (axes[i] != 1) return false;
  // 64-bit integers are read into doubles.
  return bitpix == 8 || bitpix == 16 || bitpix == 32 || bitpix == 64 || bitpix == -32 ||
         bitpix == -64;
}

bool FitsHdu::HasExtraAxis() const {
  if (groups || !(index == 0 || type == "IMAGE" || compressed)) return false;
  bool longer = false;
  for (std::size_t i = 3; i < axes.size(); ++i) longer = longer || axes[i] > 1;
  if (!longer) return false;
  FitsHdu first = *this;
  first.axes.resize(3);
  return first.IsImage();
}

std::string FitsHdu::Describe() const {
  std::string text = compressed ? "COMPRESSED" : type;
  if (axes.empty()) return text;
  text += ' ' + std::to_string(bitpix) + ' ';
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (i) text += " x ";
    text += std::to_string(axes[i]);
  }
  return text;
}

bool DescribeFitsUnit(const std::vector<std::string>& cards, int index, FitsHdu* hdu) {
  *hdu = FitsHdu{};
  hdu->index = index;
  if (cards.empty()) return false;
  if (index == 0) {
    if (!Begins(cards.front(), "SIMPLE  = ")) return false;
    hdu->type = "PRIMARY";
  } else {
    if (!Begins(cards.front(), "XTENSION= ")) return false;
    hdu->type = StringValue(cards.front());
  }
  return Describe(cards, hdu);
}

int ListFitsHdus(int fd, std::vector<FitsHdu>* hdus) {
  hdus->clear();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FITS_READ_FAILED;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  if (fileSize == 0) return FITS_READ_FAILED;  // not even a primary header
  std::uint64_t offset = 0;
  for (int index = 0; offset < fileSize; ++index) {
    std::vector<std::string> cards;
    std::uint64_t headerEnd = 0;
    if (!ReadHeaderCards(fd, offset, &cards, &headerEnd))
      return index == 0 ? FITS_READ_FAILED : FITS_OK;
    FitsHdu hdu;
    hdu.index = index;
    if (index == 0) {
      if (!Begins(cards.front(), "SIMPLE  = ")) return FITS_INVALID_IMAGE;
      hdu.type = "PRIMARY";
    } else {
      if (!Begins(cards.front(), "XTENSION= ")) return FITS_OK;  // trailing blank records
      hdu.type = StringValue(cards.front());
    }
    if (!Describe(cards, &hdu)) return index == 0 ? FITS_INVALID_IMAGE : FITS_OK;
    hdu.headerStart = offset;
    hdu.dataStart = headerEnd;
    std::uint64_t end = 0;
    if (!AddOk(headerEnd, hdu.dataBytes, &end) || end > fileSize)
      return index == 0 ? FITS_READ_FAILED : FITS_OK;
    hdus->push_back(std::move(hdu));
    std::uint64_t padded = 0;
    if (!AddOk(end, kRecordSize - 1, &padded)) return FITS_OK;
    offset = padded / kRecordSize * kRecordSize;
  }
  return FITS_OK;
}

int ListFitsHdus(const std::string& path, std::vector<FitsHdu>* hdus) {
  int fd = -1;
  if (int e = OpenRegularFile(path, fd)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
  const int rc = ListFitsHdus(fd, hdus);
  ::close(fd);
  return rc;
}

bool SplitExtendedName(const std::string& path, std::string* file, std::string* spec) {
  *file = path;
  spec->clear();
  if (path.empty() || path.back() != ']') return true;
  const std::size_t open = path.rfind('[');
  if (open == std::string::npos || open == 0 || open + 2 > path.size() - 1 + 1) return false;
  const std::string inner = path.substr(open + 1, path.size() - open - 2);
  if (std::string_view(Trim(inner)).empty() || inner.find_first_of("[]") != std::string::npos)
    return false;
  *file = path.substr(0, open);
  *spec = std::string(Trim(inner));
  return true;
}

namespace {

// A whole number of digits alone that fits in an int; from_chars would also take a
// leading '-', and says out of range only through its error code.
bool WholeNumber(std::string_view s, int* v) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), *v);
  return error == std::errc() && end == s.data() + s.size();
}

bool LooksNumeric(std::string_view s) {
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool ParseFitsUnitSpec(const std::string& spec, FitsUnitSpec* out) {
  *out = FitsUnitSpec();
  const std::string_view s = Trim(spec);
  if (s.empty()) return false;
  // A number, signed or too long, is an index all the same: never a name to look up.
  if (LooksNumeric(s)) return WholeNumber(s, &out->index);
  std::string_view name = s;
  if (const std::size_t comma = s.find(','); comma != std::string_view::npos) {
    name = Trim(s.substr(0, comma));
    if (!WholeNumber(Trim(s.substr(comma + 1)), &out->version)) return false;
  }
  if (name.empty()) return false;
  out->name = std::string(name);
  return true;
}

int FindFitsHdu(const std::vector<FitsHdu>& hdus, const std::string& spec) {
  FitsUnitSpec unit;
  if (!ParseFitsUnitSpec(spec, &unit)) return -1;
  if (unit.index >= 0) return unit.index < static_cast<int>(hdus.size()) ? unit.index : -1;
  const std::string wanted = Upper(unit.name);
  for (const FitsHdu& hdu : hdus)
    if (Upper(hdu.extName) == wanted && (unit.version == 0 || hdu.extVer == unit.version))
      return hdu.index;
  return -1;
}

std::vector<int> ImageHdus(const std::vector<FitsHdu>& hdus) {
  std::vector<int> out;
  for (const FitsHdu& hdu : hdus)
    if (hdu.IsImage()) out.push_back(hdu.index);
  return out;
}

std::vector<std::string> InheritedCards(const std::vector<std::string>& primary,
                                        const std::vector<std::string>& header) {
  auto keyword = [](const std::string& card) {
    return std::string(TrimRight(std::string_view(card).substr(0, 8)));
  };
  std::set<std::string> present;
  for (const std::string& card : header) present.insert(keyword(card));
  static const std::set<std::string> kOwnData = {
      "SIMPLE", "BITPIX", "NAXIS",  "EXTEND",  "END",      "BSCALE",  "BZERO",   "BLANK",
      "GROUPS", "PCOUNT", "GCOUNT", "INHERIT", "CHECKSUM", "DATASUM", "NEXTEND", ""};
  std::vector<std::string> out;
  for (const std::string& card : primary) {
    const std::string key = keyword(card);
    if (key == "END") break;
    if (kOwnData.count(key) || AxisNumber(card, "NAXIS")) continue;
    if (key == "COMMENT" || key == "HISTORY" || !present.count(key)) out.push_back(card);
  }
  return out;
}

int ReadUnitCards(const std::string& path, int hdu, std::vector<std::string>* cards) {
  cards->clear();
  int fd = -1;
  if (int e = OpenRegularFile(path, fd)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
  std::vector<FitsHdu> hdus;
  int rc = ListFitsHdus(fd, &hdus);
  if (rc == FITS_OK && (hdu < 0 || hdu >= static_cast<int>(hdus.size()))) rc = FITS_INVALID_IMAGE;
  std::uint64_t end = 0;
  if (rc == FITS_OK &&
      !ReadHeaderCards(fd, hdus[static_cast<std::size_t>(hdu)].headerStart, cards, &end))
    rc = FITS_READ_FAILED;
  ::close(fd);
  return rc;
}
