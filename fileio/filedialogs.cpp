// The rules of the file dialogs (see filedialogs.h).
#include "fileio/filedialogs.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "fileio/fileiotexts.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "formats/sbig/sbig.h"
#include "platform/files.h"
#include "platform/text.h"

namespace ft = fileio_text;

namespace {

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find(sep, start);
    if (end == std::string_view::npos) end = s.size();
    out.emplace_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A whole decimal number without sign or spaces, within int.
std::optional<long long> ParseNumber(std::string_view s) {
  if (s.empty() || s.size() > 12) return std::nullopt;
  long long v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string FirstExtension(const FilterEntry& e) {
  for (const std::string& p : e.patterns)
    if (p.size() > 2 && p.starts_with("*.") && p.find_first_of("*?[", 2) == std::string::npos)
      return p.substr(2);
  return {};
}

bool EntryHasExtension(const FilterEntry& e, std::string_view ext) {
  for (const std::string& p : e.patterns)
    if (p.size() > 2 && p.starts_with("*.") && EqualsNoCase(std::string_view(p).substr(2), ext))
      return true;
  return false;
}

}  // namespace

std::vector<FilterEntry> ParseFilter(std::string_view filter) {
  std::vector<FilterEntry> out;
  std::vector<std::string> parts = Split(filter, '|');
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty()) break;  // the "||" that ends the list
    FilterEntry e;
    e.description = parts[i];
    for (std::string& p : Split(parts[i + 1], ';'))
      if (!p.empty()) e.patterns.push_back(std::move(p));
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<std::string> FilterToQt(std::string_view filter) {
  std::vector<std::string> out;
  for (const FilterEntry& e : ParseFilter(filter)) {
    std::string s = e.description + " (";
    for (std::size_t i = 0; i < e.patterns.size(); ++i) {
      if (i) s += ' ';
      // Qt matches "*" for any file; "*.*" would ask for a dot.
      s += e.patterns[i] == "*.*" ? "*" : e.patterns[i];
    }
    out.push_back(s + ")");
  }
  return out;
}

std::string ExtensionOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

int GetFilterIndex(std::string_view filter, std::string_view extension) {
  const std::vector<FilterEntry> entries = ParseFilter(filter);
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (EntryHasExtension(entries[i], extension)) return static_cast<int>(i);
  return -1;
}

OpenDialogSetup OpenImageSetup(int fileType) {
  const std::string title(ft::kOpenImageTitle);
  if (fileType == FILETYPE_USFITS)
    return {std::string(ft::kFilterFits), title, "FileIODirUSFits", "OpenFilterIndexUSFits"};
  if (fileType == FILETYPE_RAW)
    return {std::string(ft::kFilterRaw), title, "FileIODirRaw", "OpenFilterIndexRaw"};
  std::string joined = std::string(ft::kFilterMain) + std::string(ft::kFilterRaster) +
                       std::string(ft::kFilterSbig) + std::string(ft::kFilterTiff) +
                       std::string(ft::kFilterRaw);
  return {joined, title, "FileIODir", "OpenFilterIndex"};
}

OpenDialogSetup OpenDataSetup(int fileType) {
  const std::string title(ft::kOpenDataTitle);
  if (fileType == FILETYPE_FITS)
    return {std::string(ft::kFilterFits), title, "FileIODirFits", "OpenFilterIndexFits"};
  OpenDialogSetup s = OpenImageSetup(fileType);
  s.title = title;
  return s;
}

std::string MakeOpenBuffer(const std::vector<std::string>& paths) {
  std::string out;
  if (paths.empty()) return out;
  if (paths.size() == 1) {
    const std::string& p = paths.front();
    const std::size_t slash = p.find_last_of("/\\");
    if (slash == std::string::npos) {
      out = p;
    } else {
      out = p.substr(0, slash);
      out += '\0';
      out += p.substr(slash + 1);
    }
  } else {
    const std::string& first = paths.front();
    const std::size_t slash = first.find_last_of("/\\");
    out = slash == std::string::npos ? std::string() : first.substr(0, slash);
    for (const std::string& p : paths) {
      const std::size_t s = p.find_last_of("/\\");
      out += '\0';
      out += s == std::string::npos ? p : p.substr(s + 1);
    }
  }
  out += '\0';
  out += '\0';
  return out;
}

std::vector<std::string> SplitOpenBuffer(std::string_view buffer) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < buffer.size()) {
    const std::size_t end = buffer.find('\0', start);
    if (end == start) break;  // the closing zero
    const std::size_t stop = end == std::string_view::npos ? buffer.size() : end;
    parts.emplace_back(buffer.substr(start, stop - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (parts.size() <= 1) return parts;
  std::vector<std::string> out;
  for (std::size_t i = 1; i < parts.size(); ++i) out.push_back(parts[0] + "/" + parts[i]);
  return out;
}

std::string SaveFilter(int saveableAsFits, int contourMap) {
  std::string s(ft::kSaveFilterBmp);
  if (!saveableAsFits || contourMap) {
    s += ft::kSaveFilterGif;
    s += ft::kSaveFilterJpeg;
    s += ft::kSaveFilterPng;
    s += ft::kSaveFilterTiff;
  } else {
    s += ft::kSaveFilterFits;
    s += ft::kSaveFilterGif;
    s += ft::kSaveFilterJpeg;
    s += ft::kSaveFilterMutoh;
    s += ft::kSaveFilterPng;
    s += ft::kSaveFilterSbig;
    s += ft::kSaveFilterTiff;
  }
  s += '|';
  return s;
}

std::string AdjustExtensionForFilter(std::string_view name, const FilterEntry& entry) {
  const std::string ext = ExtensionOf(name);
  if (AllDigits(ext) || (!ext.empty() && EntryHasExtension(entry, ext))) return std::string(name);
  const std::string first = FirstExtension(entry);
  if (first.empty()) return std::string(name);
  std::string base(name);
  if (!ext.empty()) base.resize(base.size() - ext.size() - 1);
  if (base.empty()) return std::string(name);
  return base + "." + first;
}

bool IsOriginalFile(std::string_view path, std::string_view originalFileName) {
  auto file = [](std::string_view name) {
    constexpr std::string_view kUnsignedFits = "<USF>";
    if (name.size() >= kUnsignedFits.size() &&
        EqualsNoCase(name.substr(name.size() - kUnsignedFits.size()), kUnsignedFits))
      name.remove_suffix(kUnsignedFits.size());
    return std::string(name);
  };
  return SameFile(file(path), file(originalFileName));
}

SaveNameCheck CheckSaveName(std::string_view name, std::string_view fullPath,
                            const FilterEntry* selected, int overwriteAllowed,
                            std::string_view originalFileName) {
  SaveNameCheck r;
  if (name.empty()) return {SaveNameVerdict::kRefused, {}, std::string(ft::kSaveNoName)};
  if (ExtensionOf(name).empty() && selected) {
    std::string completed = AdjustExtensionForFilter(name, *selected);
    if (completed != name) return {SaveNameVerdict::kCompleted, completed, {}};
  }
  const int type = CRalImageIO::GetFileType(std::string(fullPath));
  if (type == FILETYPE_UNKNOWN)
    return {SaveNameVerdict::kRefused, {}, std::string(ft::kSaveUnknownType)};
  if (!CRalImageIO::IsFileFormatSaveable(type))
    return {SaveNameVerdict::kRefused, {}, std::string(ft::kSaveNotSaveable)};
  if (!overwriteAllowed && IsOriginalFile(fullPath, originalFileName))
    return {SaveNameVerdict::kRefused, {}, std::string(ft::kSaveNoOverwrite)};
  return r;
}

std::optional<std::string> ValidateLoadRaw(std::string_view width, std::string_view height,
                                           std::string_view header, int dataType, int sign,
                                           int bits) {
  auto w = ParseNumber(width);
  if (!w || *w < 1 || *w > 9999) return std::string(ft::kRawWidth);
  auto h = ParseNumber(height);
  if (!h || *h < 1 || *h > 9999) return std::string(ft::kRawHeight);
  auto hd = ParseNumber(header);
  if (!hd || *hd < 0 || *hd > 0x7fffffffLL) return std::string(ft::kRawHeader);
  if (dataType == 1) {
    if (bits == 0 || bits == 1) return std::string(ft::kRawRealBits);
    if (sign == 1) return std::string(ft::kRawUnsignedReal);
  } else {
    if (bits == 3) return std::string(ft::kRawInt64);
    if (bits == 0 && sign == 0) return std::string(ft::kRawSigned8);
  }
  return std::nullopt;
}

RawSize CheckRawSize(std::int64_t fileSize, std::int64_t width, std::int64_t height, int planes,
                     int bytesPerPixel, std::int64_t header) {
  // Width and height are at most 9999 and the header fits int: no overflow here.
  const std::int64_t expected = width * height * planes * bytesPerPixel + header;
  const std::int64_t rounded = (expected + 2879) / 2880 * 2880;
  if (fileSize == expected || fileSize == rounded) return RawSize::kMatches;
  return expected > fileSize ? RawSize::kTooSmall : RawSize::kTailUnused;
}

std::vector<std::string> Fits3DLabels(int planeCount, int siTypeRGB) {
  std::vector<std::string> labels;
  for (int i = 0; i < planeCount; ++i) {
    if (siTypeRGB && i < 3) {
      labels.push_back(std::string(1, "RGB"[i]));
    } else {
      char buf[32];
      std::snprintf(buf, sizeof buf, "第 %d", i + 1);
      labels.emplace_back(buf);
    }
  }
  return labels;
}

Fits3DChoice Fits3DDefaults(int planeCount, int siTypeRGB) {
  Fits3DChoice c;
  c.color = siTypeRGB != 0;
  c.gray = 0;
  c.red = 0;
  c.green = planeCount > 1 ? 1 : 0;
  c.blue = planeCount >= 3 ? 2 : c.green;
  return c;
}

SaveFitsState SaveFitsFromBits(int bits) {
  switch (bits) {
    case 8: return {false, 0};
    case 32: return {false, 2};
    case -32: return {true, 2};
    case -64: return {true, 3};
    default: return {false, 1};
  }
}

bool SaveFitsBitsEnabled(bool real, int bitsIndex) {
  return real ? (bitsIndex == 2 || bitsIndex == 3) : (bitsIndex >= 0 && bitsIndex <= 2);
}

SaveFitsState SaveFitsSetReal(SaveFitsState state, bool real) {
  state.real = real;
  if (!SaveFitsBitsEnabled(real, state.bitsIndex)) state.bitsIndex = 2;
  return state;
}

std::optional<int> SaveFitsBits(SaveFitsState s) {
  static constexpr int kBits[4] = {8, 16, 32, 64};
  if (s.bitsIndex < 0 || s.bitsIndex > 3 || !SaveFitsBitsEnabled(s.real, s.bitsIndex))
    return std::nullopt;
  return s.real ? -kBits[s.bitsIndex] : kBits[s.bitsIndex];
}

QualityCheck CheckJpegQuality(std::string_view text) {
  auto v = ParseNumber(text);
  if (!v) return {0, std::string(ft::kJpegQualityNotNumber)};
  if (*v < 1 || *v > 10) return {0, std::string(ft::kJpegQualityRange)};
  return {static_cast<int>(*v), {}};
}

std::string SbigCameraName(int type) {
  switch (type & ~SBIG_COMPRESSED) {
    case SBIG_ST4X: return "ST-4X";
    case SBIG_ST5: return "ST-5";
    case SBIG_ST6: return "ST-6";
    case SBIG_ST7: return "ST-7";
    case SBIG_ST8: return "ST-8";
    case SBIG_ST5C: return "ST-5C";
    case SBIG_ST237: return "ST-237";
    case SBIG_ST9: return "ST-9";
    case SBIG_ST10: return "ST-10";
    case SBIG_ST1K: return "ST-1K";
    case SBIG_ST2K: return "ST-2K";
    case SBIG_SBIG: return "SBIG";
    default: return "STV";
  }
}
