// The option parser, question answerer and progress display of the image commands.
#include "cli/cli_io.h"

#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "batch/batchrun.h"
#include "engine/ralimage.h"
#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fits/fitshdu.h"
#include "formats/tiff/tifffile.h"

namespace ft = fileio_text;

namespace {

std::optional<int> ToInt(std::string_view s) {
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::vector<std::string> SplitComma(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t c = s.find(',', start);
    out.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
    if (c == std::string::npos) break;
    start = c + 1;
  }
  return out;
}

bool Fail(const std::string& text) {
  std::fprintf(stderr, "vantorel-cli: %s\n", text.c_str());
  return false;
}

bool ParsePlanes(const std::string& v, CliOptions* o) {
  auto bad = [&] { return Fail("--planes takes gray:N or rgb:R,G,B (planes counted from 1)"); };
  if (v.starts_with("gray:")) {
    auto n = ToInt(v.substr(5));
    if (!n || *n < 1) return bad();
    o->color = false;
    o->gray = *n - 1;
    return true;
  }
  if (v.starts_with("rgb:")) {
    auto parts = SplitComma(v.substr(4));
    if (parts.size() != 3) return bad();
    int p[3];
    for (int i = 0; i < 3; ++i) {
      auto n = ToInt(parts[i]);
      if (!n || *n < 1) return bad();
      p[i] = *n - 1;
    }
    o->color = true;
    o->red = p[0];
    o->green = p[1];
    o->blue = p[2];
    return true;
  }
  return bad();
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!a.starts_with("--")) {
      o->files.push_back(a);
      continue;
    }
    std::string name = a, value;
    bool hasValue = false;
    if (const std::size_t eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      hasValue = true;
    }
    auto take = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) return Fail(name + " needs a value");
      value = args[++i];
      return true;
    };
    if (name == "--json") {
      o->json = true;
    } else if (name == "--progressive" || name == "--no-progressive") {
      o->progressive = name == "--progressive";
    } else if (name == "--interlace" || name == "--no-interlace") {
      o->interlace = name == "--interlace";
    } else if (name == "--bits") {
      if (!take()) return false;
      auto n = ToInt(value);
      if (!n) return Fail("--bits takes 8, 16, 32, -32 or -64 (FITS), 8 or 16 (TIFF, PNG)");
      o->bits = *n;
    } else if (name == "--fit") {
      if (!take()) return false;
      if (value == "clip")
        o->fitMode = 0;
      else if (value == "compress")
        o->fitMode = 3;
      else
        return Fail("--fit takes clip or compress");
    } else if (name == "--planes") {
      if (!take() || !ParsePlanes(value, o)) return false;
    } else if (name == "--hdu") {
      if (!take()) return false;
      o->hdu = value;
    } else if (name == "--raw") {
      if (!take()) return false;
      o->raw = value;
    } else if (name == "--quality") {
      if (!take()) return false;
      o->quality = value;
    } else if (name == "--compression") {
      if (!take()) return false;
      if (value != "none" && value != "lzw" && value != "packbits" && value != "sbig")
        return Fail("--compression takes none, lzw or packbits (TIFF), sbig or none (SBIG)");
      o->compression = value;
    } else if (name == "--byte-order") {
      if (!take()) return false;
      if (value == "ibm" || value == "little")
        o->byteOrder = TIF_ORDER_LITTLE_ENDIAN;
      else if (value == "mac" || value == "big")
        o->byteOrder = TIF_ORDER_BIG_ENDIAN;
      else
        return Fail("--byte-order takes ibm (little-endian) or mac (big-endian)");
    } else if (name == "--png-level") {
      if (!take()) return false;
      o->pngLevel = value;
    } else {
      return Fail("unknown option '" + a + "' (try --help)");
    }
  }
  return true;
}

bool CliPrompts::Decline(const std::string& why) {
  declined_ = true;
  std::fprintf(stderr, "vantorel-cli: %s\n", why.c_str());
  return false;
}

bool CliPrompts::Ask(Prompt& prompt) {
  const std::string_view kind = prompt.Kind();
  const CliOptions& o = options_;
  if (kind == LoadFits3DPrompt::kKind) {
    auto& q = static_cast<LoadFits3DPrompt&>(prompt);
    if (!o.color) {
      std::fprintf(stderr,
                   "vantorel-cli: the file has %d planes; reading %s (choose with --planes)\n",
                   q.planeCount, q.color ? "the first three as red, green, blue" : "plane 1");
      return true;
    }
    const int highest = *o.color ? std::max({o.red, o.green, o.blue}) : o.gray;
    if (highest >= q.planeCount)
      return Decline("--planes names plane " + std::to_string(highest + 1) + " of a file with " +
                     std::to_string(q.planeCount) + " planes");
    q.color = *o.color;
    q.gray = o.gray;
    q.red = o.red;
    q.green = o.green;
    q.blue = o.blue;
    return true;
  }
  if (kind == FitsUnitPrompt::kKind) {
    auto& q = static_cast<FitsUnitPrompt&>(prompt);
    if (!o.hdu) {
      if (unitNoted_ != q.path)
        std::fprintf(stderr,
                     "vantorel-cli: %s holds %zu images; reading unit %d (choose with --hdu or "
                     "FILE[N])\n",
                     q.path.c_str(), q.entries.size(), q.entries.front().unit);
      unitNoted_ = q.path;
      q.choice = 0;
      return true;
    }
    // The same matching as the bracket form: the units listed by index, the others empty.
    std::vector<FitsHdu> units(static_cast<std::size_t>(q.entries.back().unit) + 1);
    for (std::size_t i = 0; i < units.size(); ++i) units[i].index = static_cast<int>(i);
    for (const FitsUnitPrompt::Entry& e : q.entries) {
      units[static_cast<std::size_t>(e.unit)].extName = e.extName;
      units[static_cast<std::size_t>(e.unit)].extVer = e.extVer;
    }
    const int unit = FindFitsHdu(units, *o.hdu);
    for (std::size_t i = 0; i < q.entries.size(); ++i)
      if (q.entries[i].unit == unit) {
        q.choice = static_cast<int>(i);
        return true;
      }
    return Decline("--hdu " + *o.hdu + " names no image unit of " + q.path);
  }
  if (kind == LoadRawPrompt::kKind) {
    auto& q = static_cast<LoadRawPrompt&>(prompt);
    if (!o.raw)
      return Decline(
          "a raw file needs its layout: --raw W,H,BITS[,gray|rgb][,header=N]"
          "[,ibm|mac][,signed|unsigned]");
    auto parts = SplitComma(*o.raw);
    if (parts.size() < 3) return Decline("--raw needs at least W,H,BITS");
    q.width = parts[0];
    q.height = parts[1];
    auto bits = ToInt(parts[2]);
    static constexpr int kBits[4] = {8, 16, 32, 64};
    int index = -1;
    for (int i = 0; i < 4; ++i)
      if (bits && (*bits == kBits[i] || *bits == -kBits[i])) index = i;
    if (index < 0) return Decline("--raw BITS is 8, 16, 32 or 64, negative for real data");
    q.bits = index;
    q.dataType = *bits < 0 ? 1 : 0;
    q.sign = *bits < 0 ? 0 : q.sign;
    for (std::size_t i = 3; i < parts.size(); ++i) {
      const std::string& p = parts[i];
      if (p == "gray")
        q.plane = 0;
      else if (p == "rgb")
        q.plane = 1;
      else if (p == "ibm")
        q.byteOrder = 0;
      else if (p == "mac")
        q.byteOrder = 1;
      else if (p == "signed")
        q.sign = 0;
      else if (p == "unsigned")
        q.sign = 1;
      else if (p.starts_with("header="))
        q.header = p.substr(7);
      else
        return Decline("--raw: unknown part '" + p + "'");
    }
    if (auto m = ValidateLoadRaw(q.width, q.height, q.header, q.dataType, q.sign, q.bits))
      return Decline(*m);
    const RawSize size =
        CheckRawSize(q.fileSize, std::stoll(q.width), std::stoll(q.height), q.plane == 1 ? 3 : 1,
                     kBits[q.bits] / 8, std::stoll(q.header));
    if (size == RawSize::kTooSmall) return Decline(std::string(ft::kRawTooSmall));
    if (size == RawSize::kTailUnused)
      std::fprintf(stderr, "vantorel-cli: %s\n", std::string(ft::kRawTailUnused).c_str());
    return true;
  }
  if (kind == SaveFitsPrompt::kKind) {
    auto& q = static_cast<SaveFitsPrompt&>(prompt);
    if (o.bits) q.bits = *o.bits;
    const auto bits = SaveFitsBits(SaveFitsFromBits(q.bits));
    if (!bits || *bits != q.bits) return Decline(std::string(ft::kSaveFitsBad));
    return true;
  }
  if (kind == ChangeBitsFitsPrompt::kKind) {
    auto& q = static_cast<ChangeBitsFitsPrompt&>(prompt);
    if (!o.fitMode)
      return Decline("the data do not fit in " + std::to_string(q.bits) +
                     " bits: choose --fit clip (cut at the limits) or --fit compress (scale the "
                     "whole range)");
    q.mode = *o.fitMode;
    return true;
  }
  if (kind == SaveTiffPrompt::kKind) {
    auto& q = static_cast<SaveTiffPrompt&>(prompt);
    if (o.bits) {
      if (*o.bits != 8 && *o.bits != 16) return Decline("TIFF files are written with 8 or 16 bits");
      q.bits = *o.bits;
    }
    if (o.compression) {
      if (*o.compression == "none")
        q.compression = TIF_COMPRESS_NONE;
      else if (*o.compression == "lzw")
        q.compression = TIF_COMPRESS_LZW;
      else if (*o.compression == "packbits")
        q.compression = TIF_COMPRESS_PACKBITS;
      else
        return Decline("TIFF compression is none, lzw or packbits");
    }
    if (o.byteOrder) q.byteOrder = *o.byteOrder;
    return true;
  }
  if (kind == SaveJpegPrompt::kKind) {
    auto& q = static_cast<SaveJpegPrompt&>(prompt);
    if (o.quality) {
      const QualityCheck c = CheckJpegQuality(*o.quality);
      if (!c.message.empty()) return Decline(c.message);
      q.quality = c.value;
    }
    if (o.progressive) q.progressive = *o.progressive;
    return true;
  }
  if (kind == SavePngPrompt::kKind) {
    auto& q = static_cast<SavePngPrompt&>(prompt);
    if (o.pngLevel) {
      const QualityCheck c = CheckJpegQuality(*o.pngLevel);
      if (!c.message.empty()) return Decline("--png-level takes a whole number from 1 to 10");
      q.compression = c.value;
    }
    if (o.interlace) q.interlace = *o.interlace;
    if (o.bits) {
      if (*o.bits != 8 && *o.bits != 16) return Decline("PNG files are written with 8 or 16 bits");
      q.bitDepth = *o.bits == 16 ? 1 : 0;
    }
    return true;
  }
  if (kind == SaveSbigPrompt::kKind) {
    auto& q = static_cast<SaveSbigPrompt&>(prompt);
    if (o.compression) {
      if (*o.compression != "sbig" && *o.compression != "none")
        return Decline("SBIG compression is sbig or none");
      q.compression = *o.compression == "sbig";
    }
    return true;
  }
  if (kind == SaveBmpPrompt::kKind || kind == SaveGifPrompt::kKind) return true;
  return Decline("the question '" + std::string(kind) +
                 "' cannot be answered from the command line");
}

StderrProgress::StderrProgress() : tty_(::isatty(2) != 0) {}

void StderrProgress::Begin(const std::string& caption) {
  caption_ = caption;
  last_ = -1;
}

void StderrProgress::Percent(int percent) {
  last_ = percent;
  if (tty_) std::fprintf(stderr, "\r%s %3d%%", caption_.c_str(), percent);
}

void StderrProgress::End() {
  if (tty_) {
    if (last_ >= 0) std::fprintf(stderr, "\r%s %3d%%\n", caption_.c_str(), 100);
  } else {
    std::fprintf(stderr, "%s done\n", caption_.c_str());
  }
  last_ = -1;
}

bool OpenImage(const std::string& path, CRalImage& image) {
  // The same reading as the batch runs: the type from the name, automatic levels when
  // the file has none of its own.
  return ReadBatchImage(path, image);
}

bool OpenOnePlaneImage(const char* command, const std::string& path, CRalImage& image) {
  if (!OpenImage(path, image)) return false;
  if (!image.IsColor()) return true;
  std::fprintf(stderr, "vantorel-cli: %s: %s is a colour image\n", command, path.c_str());
  return false;
}

int TransformImageFile(const CliOptions& options, const std::string& in, const std::string& out,
                       int askOptions, const std::function<bool(CRalImage&)>& op) {
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  StderrProgress progress;
  CRalImageIO::SetProgressSink(&progress);
  CRalImage image;
  int rc = 1;
  if (OpenImage(in, image) && (!op || op(image)))
    rc = CRalImageIO::WriteImageFile(image, out, askOptions) == 1 ? 0 : 1;
  CRalImageIO::SetProgressSink(nullptr);
  return rc;
}
