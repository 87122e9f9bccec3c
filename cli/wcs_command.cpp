// vantorel-cli wcs: the world coordinates of FITS pixel positions (1-based, as the
// information bar counts), one line per position, from the positions on the command line
// or, with "-", from "X Y" pairs on standard input. The JSON form also carries the text
// the information bar shows for the position.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "cli/wcs_lines.h"
#include "engine/ralimage.h"
#include "platform/userprompts.h"
#include "wcs/wcs.h"
#include "wcs/wcstext.h"

namespace {

const char* KindName(unsigned int kind) {
  switch (kind) {
    case WCS_KIND_CELESTIAL:
      return "celestial";
    case WCS_KIND_SPECTRAL_LINEAR:
      return "linear";
    case WCS_KIND_SPECTRAL_LOG:
      return "logarithmic";
    case WCS_KIND_SPECTRAL_NONLINEAR:
      return "non-linear";
    default:
      return "other";
  }
}

// Builds the lines in one buffer and writes it out a megabyte at a time.
class PointWriter {
 public:
  PointWriter(const CRalImage& image, bool json) : image_(image), json_(json) {
    // Right ascension on whichever axis, or from a plate solution without axis types.
    std::string longitude;
    rightAscension_ = WcsCelestialAxisTypes(image, &longitude, nullptr) && longitude == "RA";
    out_.reserve(kFlushSize + 4096);
  }

  void Write(double x, double y) {
    tagAD ad;
    unsigned int kind = 0;
    int first = 0, second = 0;
    const bool ok = wcs_.ToWCS2(&image_, tagSFPoint{x, y}, &ad, &kind, &first, &second) == 1;
    const bool sexagesimal = ok && kind == WCS_KIND_CELESTIAL && rightAscension_;
    // Everything but the information bar's text: at most 8 numbers or angles and 100
    // characters of names and punctuation.
    char line[8 * kWcsFieldChars + 100];
    char* p = line;
    if (json_) {
      // JSON has no text for infinities and NaN, which standard input may carry.
      p = Put(p, "{\"x\":");
      p = std::isfinite(x) ? WcsWriteNumber(p, x) : Put(p, "null");
      p = Put(p, ",\"y\":");
      p = std::isfinite(y) ? WcsWriteNumber(p, y) : Put(p, "null");
      p = Put(p, ",\"kind\":");
      if (!ok) {
        p = Put(p, "null}\n");
      } else {
        *p++ = '"';
        p = Put(p, KindName(kind));
        p = Put(p, "\",\"a\":");
        p = Value(p, first, ad.a);
        p = Put(p, ",\"d\":");
        p = Value(p, second, ad.d);
        if (sexagesimal) {
          p = Put(p, ",\"ra\":\"");
          p = WcsWriteHours(p, ad.a);
          p = Put(p, "\",\"dec\":\"");
          p = WcsWriteDegrees(p, ad.d);
          *p++ = '"';
        }
        p = Put(p, ",\"text\":");
      }
      out_.append(line, p);
      if (ok) {
        AppendJsonString(&out_, WcsPhysicalText(image_, ad, kind, first, second));
        out_ += "}\n";
      }
    } else {
      p = WcsWriteNumber(p, x);
      *p++ = ' ';
      p = WcsWriteNumber(p, y);
      if (!ok) {
        p = Put(p, " none\n");
      } else {
        *p++ = ' ';
        p = Put(p, KindName(kind));
        *p++ = ' ';
        p = Value(p, first, ad.a);
        *p++ = ' ';
        p = Value(p, second, ad.d);
        if (sexagesimal) {
          *p++ = ' ';
          p = WcsWriteHours(p, ad.a);
          *p++ = ' ';
          p = WcsWriteDegrees(p, ad.d);
        }
        *p++ = '\n';
      }
      out_.append(line, p);
    }
    if (out_.size() >= kFlushSize) Flush();
  }

  // Writes what is buffered; false once standard output has refused a write, with
  // error() the reason.
  bool Flush() {
    errno = 0;
    if (error_ == 0 && (std::fwrite(out_.data(), 1, out_.size(), stdout) != out_.size() ||
                        std::fflush(stdout) != 0))
      error_ = errno != 0 ? errno : EIO;
    out_.clear();
    return error_ == 0;
  }
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

 private:
  static constexpr std::size_t kFlushSize = std::size_t{1} << 20;

  static char* Put(char* p, std::string_view text) {
    return std::copy(text.begin(), text.end(), p);
  }

  char* Value(char* p, int valid, double v) const {
    if (valid) return WcsWriteNumber(p, v);
    return Put(p, json_ ? "null" : "-");
  }

  const CRalImage& image_;
  bool json_;
  bool rightAscension_ = false;
  CWCS wcs_;
  std::string out_;
  int error_ = 0;
};

bool ParseNumber(const std::string& text, double* v) {
  char* end = nullptr;
  *v = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && std::isfinite(*v);
}

}  // namespace

int WcsCommand(const std::vector<std::string>& args) {
  CliOptions options;
  // Negative positions ("-3.5") are arguments, not options: only "--" starts an option.
  if (!ParseCliOptions(args, &options)) return 2;
  if (options.files.size() < 2) {
    std::fputs("vantorel-cli: wcs needs FILE and X Y positions, or FILE -\n", stderr);
    return 2;
  }
  const std::string path = options.files.front();
  const std::vector<std::string> positions(options.files.begin() + 1, options.files.end());
  const bool fromStdin = positions.size() == 1 && positions.front() == "-";
  std::vector<double> values;
  if (!fromStdin) {
    if (positions.size() % 2 != 0) {
      std::fputs("vantorel-cli: wcs takes positions in X Y pairs\n", stderr);
      return 2;
    }
    for (const std::string& p : positions) {
      double v = 0.0;
      if (!ParseNumber(p, &v)) {
        std::fprintf(stderr, "vantorel-cli: '%s' is not a pixel position\n", p.c_str());
        return 2;
      }
      values.push_back(v);
    }
  }

  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenImage(path, image)) return 1;
  // Usable world coordinates give a value at the reference pixel, or somewhere on the
  // image: a projection may leave its reference point out (a zenithal polynomial with a
  // hole at the pole), and a plate solution has no reference pixel at all.
  {
    tagSFPoint ref{1.0, 1.0};
    image.GetCRPix(0, &ref.x);
    image.GetCRPix(1, &ref.y);
    const double w = image.GetWidth(), h = image.GetHeight();
    const tagSFPoint probes[] = {ref, {(w + 1) / 2, (h + 1) / 2}, {1, 1}, {w, 1}, {1, h}, {w, h}};
    bool usable = false;
    for (const tagSFPoint& p : probes) {
      tagAD ad;
      unsigned int kind = 0;
      usable = usable || CWCS().ToWCS2(&image, p, &ad, &kind, nullptr, nullptr) == 1;
    }
    if (!usable) {
      std::fprintf(stderr, "vantorel-cli: %s has no usable world coordinates\n", path.c_str());
      return 1;
    }
  }

  PointWriter writer(image, options.json);
  if (!fromStdin) {
    for (std::size_t i = 0; i + 1 < values.size(); i += 2) writer.Write(values[i], values[i + 1]);
  } else {
    WcsPairReader reader(STDIN_FILENO);
    double x = 0.0, y = 0.0;
    long pair = 0;
    for (;;) {
      const WcsPairReader::Status status = reader.Next(&x, &y);
      if (status == WcsPairReader::kEnd) break;
      ++pair;
      if (status != WcsPairReader::kPair) {
        if (!writer.Flush()) break;
        if (status == WcsPairReader::kReadError)
          std::fprintf(stderr, "vantorel-cli: standard input: %s\n",
                       std::strerror(reader.readError()));
        else
          std::fprintf(stderr, "vantorel-cli: standard input: pair %ld is not X Y\n", pair);
        return 1;
      }
      writer.Write(x, y);
      if (writer.failed()) break;
    }
  }
  if (!writer.Flush()) {
    std::fprintf(stderr, "vantorel-cli: standard output: %s\n", std::strerror(writer.error()));
    return 1;
  }
  return 0;
}
