// vantorel-cli wcs: the world coordinates of FITS pixel positions (1-based, as the
// information bar counts), one line per position, from the positions on the command line
// or, with "-", from "X Y" pairs on standard input. The JSON form also carries the text
// the information bar shows for the position.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/ralimage.h"
#include "platform/userprompts.h"
#include "wcs/wcs.h"
#include "wcs/wcstext.h"

namespace {

// The shortest text that reads back as the same double.
void AppendNumber(std::string* out, double v) {
  char buf[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  *out += buf;
}

// Right ascension in degrees as hh:mm:ss.sss.
std::string Hours(double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees / 15.0, 3, 24);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02d:%02d.%03lld", s.units, s.minutes, s.seconds,
                s.fraction);
  return buf;
}

// Declination in degrees as ±dd:mm:ss.ss.
std::string Degrees(double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees, 2);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%02lld:%02d:%02d.%02lld", s.negative ? '-' : '+', s.units,
                s.minutes, s.seconds, s.fraction);
  return buf;
}

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

class PointWriter {
 public:
  PointWriter(const CRalImage& image, bool json) : image_(image), json_(json) {
    std::string type;
    image.GetCType(0, &type);
    rightAscension_ = WcsBareText(type).starts_with("RA");
  }

  void Write(double x, double y) {
    tagAD ad;
    unsigned int kind = 0;
    int first = 0, second = 0;
    const bool ok = wcs_.ToWCS2(&image_, tagSFPoint{x, y}, &ad, &kind, &first, &second) == 1;
    line_.clear();
    if (json_) {
      line_ += "{\"x\":";
      AppendNumber(&line_, x);
      line_ += ",\"y\":";
      AppendNumber(&line_, y);
      line_ += ",\"kind\":";
      if (!ok) {
        line_ += "null}\n";
      } else {
        line_ += std::string("\"") + KindName(kind) + "\",\"a\":";
        AppendValue(first, ad.a);
        line_ += ",\"d\":";
        AppendValue(second, ad.d);
        if (kind == WCS_KIND_CELESTIAL && rightAscension_)
          line_ += ",\"ra\":\"" + Hours(ad.a) + "\",\"dec\":\"" + Degrees(ad.d) + "\"";
        line_ += ",\"text\":" + JsonString(WcsPhysicalText(image_, ad, kind, first, second));
        line_ += "}\n";
      }
    } else {
      AppendNumber(&line_, x);
      line_ += ' ';
      AppendNumber(&line_, y);
      if (!ok) {
        line_ += " none\n";
      } else {
        line_ += std::string(" ") + KindName(kind) + ' ';
        AppendValue(first, ad.a);
        line_ += ' ';
        AppendValue(second, ad.d);
        if (kind == WCS_KIND_CELESTIAL && rightAscension_)
          line_ += ' ' + Hours(ad.a) + ' ' + Degrees(ad.d);
        line_ += '\n';
      }
    }
    std::fwrite(line_.data(), 1, line_.size(), stdout);
  }

 private:
  void AppendValue(int valid, double v) {
    if (valid)
      AppendNumber(&line_, v);
    else
      line_ += json_ ? "null" : "-";
  }

  const CRalImage& image_;
  bool json_;
  bool rightAscension_ = false;
  CWCS wcs_;
  std::string line_;
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

  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  PointWriter writer(image, options.json);
  if (!fromStdin) {
    for (std::size_t i = 0; i + 1 < values.size(); i += 2) writer.Write(values[i], values[i + 1]);
  } else {
    double x = 0.0, y = 0.0;
    long line = 0;
    for (;;) {
      const int n = std::scanf("%lf %lf", &x, &y);
      if (n == EOF) break;
      ++line;
      if (n != 2) {
        std::fflush(stdout);
        std::fprintf(stderr, "vantorel-cli: standard input: pair %ld is not X Y\n", line);
        return 1;
      }
      writer.Write(x, y);
    }
  }
  if (std::fflush(stdout) != 0) {
    std::perror("vantorel-cli: standard output");
    return 1;
  }
  return 0;
}
