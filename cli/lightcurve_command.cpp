// vantorel-cli lightcurve: the differential magnitudes of a target star against the sum of
// comparison stars through a series of frames, ordered by mid-exposure time, as a table,
// CSV or JSON Lines, optionally drawn as a PNG. A line per frame goes to standard error,
// and the frames left out of the curve are listed there at the end.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "cli/coordinates.h"
#include "cli/json_lines.h"
#include "cli/json_writer.h"
#include "cli/quickpng.h"
#include "engine/ralimage.h"
#include "fits/fileiocodes.h"
#include "formats/fio/fileiomsg.h"
#include "formats/fio/fileioutil.h"
#include "measure/lightcurve.h"
#include "measure/phottable.h"
#include "platform/files.h"

namespace {

constexpr const char* kCommand = "lightcurve";

int Misuse(const std::string& why) {
  std::fprintf(stderr, "vantorel-cli: lightcurve: %s\n", why.c_str());
  return 2;
}

bool ParseNumber(const std::string& text, double low, double high, double* v) {
  char* end = nullptr;
  const double n = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(n) || n < low || n > high) return false;
  *v = n;
  return true;
}

// The positions of a frame shown 1-based, y as the information bar counts it.
struct Shown {
  double x, y;
};

struct Frame {
  const LightCurveFrame* f;
  std::vector<Shown> at;
  std::string dateObs;  // DATE-OBS as written, empty without one
};

std::string Role(std::size_t i) {
  return i == 0 ? "target" : "comp" + std::to_string(i);
}

std::string Table(const std::vector<Frame>& frames, const LightCurveResult& r, bool csv) {
  std::string out;
  const std::size_t nStars = frames.empty() ? 0 : frames.front().f->stars.size();
  if (csv) {
    out += "\"file\",\"jd_mid\",\"mjd_mid\",\"exptime\",\"dmag\",\"dmag_err\"";
    for (std::size_t i = 0; i < nStars; ++i) {
      const std::string p = Role(i);
      out += ",\"" + p + "_x\",\"" + p + "_y\",\"" + p + "_net\",\"" + p + "_err\",\"" + p +
             "_flags\"";
    }
    out += "\n";
  } else {
    out += "# comparisons summed:";
    for (int c : r.ensemble) out += " " + std::to_string(c);
    out +=
        "\n#       JD (mid, UTC)     MJD (mid, UTC)     dmag      err    target net"
        "    target err      comp net      comp err  file\n";
  }
  for (const Frame& fr : frames) {
    const LightCurveFrame& f = *fr.f;
    if (!f.kept) continue;
    if (csv) {
      std::string name = f.file;
      std::string quoted;
      for (char ch : name) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
      out += "\"" + quoted + "\"";
      out += PhotFormat(",%.8f,%.8f,%g,%.6f,%.6f", f.time.jd, f.time.mjd, f.time.exposure, f.mag,
                        f.magError);
      for (std::size_t i = 0; i < f.stars.size(); ++i) {
        const LightCurveStar& s = f.stars[i];
        out += PhotFormat(",%.3f,%.3f,%.3f,%.3f,\"%s\"", fr.at[i].x, fr.at[i].y, s.net, s.error,
                          LightCurveFlagText(s.flags).c_str());
      }
      out += "\n";
    } else {
      out += PhotFormat("  %17.8f  %17.8f  %7.4f  %7.4f  %12.2f  %12.2f  %12.2f  %12.2f  %s\n",
                        f.time.jd, f.time.mjd, f.mag, f.magError, f.stars[0].net, f.stars[0].error,
                        f.compNet, f.compError, f.file.c_str());
    }
  }
  return out;
}

std::string JsonLines(const std::vector<Frame>& frames, const LightCurveResult& r) {
  std::string out;
  JsonWriter w;
  auto numberOrNull = [&](bool have, double v) {
    if (have)
      w.Number(v);
    else
      w.Null();
  };
  for (const Frame& fr : frames) {
    const LightCurveFrame& f = *fr.f;
    w.BeginObject().Key("file").String(f.file).Key("date_obs");
    if (fr.dateObs.empty())
      w.Null();
    else
      w.String(fr.dateObs);
    w.Key("frame").Integer(f.index + 1);
    w.Key("kept").Bool(f.kept);
    w.Key("why");
    if (f.kept)
      w.Null();
    else
      w.String(f.why);
    const bool timed = f.time.ok;
    w.Key("jd_mid");
    numberOrNull(timed, f.time.jd);
    w.Key("mjd_mid");
    numberOrNull(timed, f.time.mjd);
    w.Key("exptime");
    numberOrNull(timed, f.time.exposure);
    w.Key("time_cards").BeginObject();
    auto card = [&](const char* key, const std::string& name) {
      w.Key(key);
      if (name.empty())
        w.Null();
      else
        w.String(name);
    };
    card("date", f.time.dateCard);
    card("time", f.time.timeCard);
    card("exposure", f.time.exposureCard);
    w.EndObject();
    w.Key("gain").Number(f.gain).Key("gain_from_header").Bool(f.gainFromHeader);
    w.Key("saturation");
    numberOrNull(std::isfinite(f.saturation), f.saturation);
    w.Key("dmag");
    numberOrNull(f.kept, f.mag);
    w.Key("dmag_err");
    numberOrNull(f.kept, f.magError);
    w.Key("comparisons_summed").BeginArray();
    for (int c : r.ensemble) w.Integer(c);
    w.EndArray();
    w.Key("comp_net");
    numberOrNull(f.kept, f.compNet);
    w.Key("comp_err");
    numberOrNull(f.kept, f.compError);
    w.Key("stars").BeginArray();
    for (std::size_t i = 0; i < f.stars.size(); ++i) {
      const LightCurveStar& s = f.stars[i];
      w.BeginObject().Key("role").String(i == 0 ? "target" : "comparison");
      w.Key("x").Number(fr.at[i].x).Key("y").Number(fr.at[i].y);
      w.Key("measured").Bool(s.measured);
      w.Key("flags").BeginArray();
      for (unsigned bit : {kLightCurveEdge, kLightCurveSaturated, kLightCurveLost})
        if (s.flags & bit) w.String(LightCurveFlagText(bit));
      w.EndArray();
      const bool have = s.starPixels > 0;
      w.Key("net");
      numberOrNull(have, s.net);
      w.Key("err");
      numberOrNull(have, s.error);
      w.Key("sky_mean");
      numberOrNull(have, s.skyMean);
      w.Key("sky_sigma");
      numberOrNull(have, s.skySigma);
      w.Key("star_pixels").Integer(s.starPixels).Key("sky_pixels").Integer(s.skyPixels);
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    out += w.Take();
    out += '\n';
  }
  return out;
}

// The curve drawn: magnitudes against time, brighter up, each point with its error bar,
// inside a frame; grey on white.
bool Plot(const std::vector<Frame>& frames, const std::string& path) {
  constexpr int kW = 800, kH = 480, kMargin = 40;
  std::vector<std::uint8_t> px(static_cast<std::size_t>(kW) * kH, 255);
  auto dot = [&](int x, int y, std::uint8_t v) {
    if (x >= 0 && x < kW && y >= 0 && y < kH) px[static_cast<std::size_t>(y) * kW + x] = v;
  };
  double t0 = INFINITY, t1 = -INFINITY, m0 = INFINITY, m1 = -INFINITY;
  for (const Frame& fr : frames) {
    if (!fr.f->kept) continue;
    t0 = std::min(t0, fr.f->time.mjd);
    t1 = std::max(t1, fr.f->time.mjd);
    m0 = std::min(m0, fr.f->mag - fr.f->magError);
    m1 = std::max(m1, fr.f->mag + fr.f->magError);
  }
  if (!(t1 > t0)) t1 = t0 + 1e-3, t0 -= 1e-3;
  if (!(m1 > m0)) m1 = m0 + 1e-3, m0 -= 1e-3;
  const double pad = (m1 - m0) * 0.05;
  m0 -= pad;
  m1 += pad;
  auto xOf = [&](double t) {
    return kMargin + static_cast<int>(std::lround((t - t0) / (t1 - t0) * (kW - 2 * kMargin)));
  };
  auto yOf = [&](double m) {
    return kMargin + static_cast<int>(std::lround((m - m0) / (m1 - m0) * (kH - 2 * kMargin)));
  };
  for (int x = kMargin / 2; x <= kW - kMargin / 2; ++x) {
    dot(x, kMargin / 2, 0);
    dot(x, kH - kMargin / 2, 0);
  }
  for (int y = kMargin / 2; y <= kH - kMargin / 2; ++y) {
    dot(kMargin / 2, y, 0);
    dot(kW - kMargin / 2, y, 0);
  }
  for (const Frame& fr : frames) {
    if (!fr.f->kept) continue;
    const int x = xOf(fr.f->time.mjd), y = yOf(fr.f->mag);
    for (int v = yOf(fr.f->mag - fr.f->magError); v <= yOf(fr.f->mag + fr.f->magError); ++v)
      dot(x, v, 128);
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx) dot(x + dx, y + dy, 0);
  }
  AtomicFile file;
  if (int e = file.Open(path)) {
    std::fprintf(stderr, "vantorel-cli: %s\n", FileioMessageText(FioCreateCode(e), path).c_str());
    return false;
  }
  fileio::FilePtr stream = fileio::StreamOnDuplicate(file.fd());
  bool ok = stream != nullptr;
  if (ok) {
    QuickPngWriter png(stream.get(), kW, kH, true);
    ok = png.AddRows(px.data(), kH) && png.Finish();
  }
  ok = ok && fileio::FinishStream(stream);
  if (!ok || file.Commit() != 0) {
    file.Discard();
    std::fprintf(stderr, "vantorel-cli: lightcurve: writing %s failed\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int LightcurveCommand(const std::vector<std::string>& args) {
  std::vector<std::vector<double>> stars;  // target first
  std::vector<std::string> files;
  LightCurveParams params;
  double starR = params.starRadius, skyIR = params.skyInner, skyDR = params.skyWidth;
  double search = params.searchRadius;
  bool csv = false, json = false, haveTarget = false;
  std::string plot;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    auto value = [&]() -> const std::string& { return args[++i]; };
    std::vector<double> numbers;
    if (a == "--csv" || a == "--json") {
      (a == "--csv" ? csv : json) = true;
    } else if (a == "--target" && hasValue) {
      if (haveTarget) return Misuse("give --target once");
      if (!ReadCliCoordinates(kCommand, "--target", "X,Y", value(), 2, &numbers)) return 2;
      stars.insert(stars.begin(), numbers);
      haveTarget = true;
    } else if (a == "--comp" && hasValue) {
      if (!ReadCliCoordinates(kCommand, "--comp", "X,Y", value(), 2, &numbers)) return 2;
      stars.push_back(numbers);
    } else if (a == "--star" && hasValue) {
      if (!ParseNumber(value(), 1, 999, &starR)) return Misuse("--star takes 1 to 999");
    } else if (a == "--sky" && hasValue) {
      if (!ParseNumber(value(), 2, 1000, &skyIR)) return Misuse("--sky takes 2 to 1000");
    } else if (a == "--width" && hasValue) {
      if (!ParseNumber(value(), 1, 1000, &skyDR)) return Misuse("--width takes 1 to 1000");
    } else if (a == "--search" && hasValue) {
      if (!ParseNumber(value(), 1, 1000, &search) || search != std::trunc(search))
        return Misuse("--search takes a whole number from 1 to 1000");
    } else if (a == "--gain" && hasValue) {
      if (!ParseNumber(value(), 1e-6, 1e6, &params.gain))
        return Misuse("--gain takes a number from 1e-6 to 1e6");
    } else if (a == "--saturation" && hasValue) {
      if (!ParseNumber(value(), -1e30, 1e30, &params.saturation))
        return Misuse("--saturation takes a number");
    } else if (a == "--world") {
      params.world = true;
    } else if (a == "--plot" && hasValue) {
      plot = value();
    } else if (!a.starts_with("--")) {
      files.push_back(a);
    } else {
      return Misuse("unknown or incomplete option '" + a + "'");
    }
  }
  if (!haveTarget) return Misuse("needs --target X,Y");
  if (stars.size() < 2) return Misuse("needs at least one --comp X,Y");
  if (files.empty()) return Misuse("needs FILES");
  if (!CheckJsonOrCsv(kCommand, json, csv)) return 2;
  if (starR >= skyIR) return Misuse("--star must be smaller than --sky");
  if (params.world)
    for (const auto& s : stars)
      if (!(std::fabs(s[1]) <= 90.0))
        return Misuse(
            "with --world the positions are longitude,latitude in degrees, the "
            "latitude within -90 to 90");
  params.starRadius = starR;
  params.skyInner = skyIR;
  params.skyWidth = skyDR;
  params.searchRadius = static_cast<int>(search);

  CliOptions options;
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  // Pixel positions are given as the first frame shows them; the frames are taken to
  // share its way of counting rows.
  CRalImage first;
  if (!OpenImage(files.front(), first)) {
    std::fprintf(stderr, "vantorel-cli: lightcurve: the first frame %s cannot be read\n",
                 files.front().c_str());
    return 1;
  }
  std::vector<std::pair<double, double>> at;
  for (const auto& s : stars)
    at.emplace_back(params.world ? s[0] : PhotImageX(s[0]),
                    params.world ? s[1] : PhotImageY(first, s[1]));

  CLightCurve curve(at, params);
  // What the output needs of each frame beyond the measurement: DATE-OBS as written, and
  // how the frame counts rows, to show the centres as the information bar does. Frames
  // are read in the order given, one call each; the first is already in hand.
  struct Seen {
    std::string dateObs;
    bool flip = false;
    int height = 0;
  };
  std::vector<Seen> seen(files.size());
  std::size_t calls = 0;
  LightCurveReader reader = [&](const std::string& file, CRalImage& image, std::string* why) {
    const std::size_t n = calls++;
    if (n == 0) {
      image = std::move(first);
    } else if (!OpenImage(file, image)) {
      *why = "cannot be read";
      return false;
    }
    if (n < seen.size()) {
      if (auto d = ObservationDate(image)) seen[n].dateObs = *d;
      seen[n].flip = PhotFlipY(image);
      seen[n].height = image.GetHeight();
    }
    return true;
  };
  LightCurveProgress progress = [&](int done, int total, const LightCurveFrame& f) {
    std::string what = f.why;
    if (what.empty() && !f.stars.empty()) {
      what = f.stars[0].measured ? "measured" : "target not measured";
      for (std::size_t i = 0; i < f.stars.size(); ++i)
        if (f.stars[i].flags) what += ", " + Role(i) + " " + LightCurveFlagText(f.stars[i].flags);
    }
    std::fprintf(stderr, "vantorel-cli: lightcurve: [%d/%d] %s: %s\n", done, total, f.file.c_str(),
                 what.c_str());
    return true;
  };
  const LightCurveResult result = curve.Run(files, reader, progress);

  std::vector<Frame> frames;
  for (const LightCurveFrame& f : result.frames) {
    const Seen& s = seen[static_cast<std::size_t>(f.index)];
    Frame fr{&f, {}, s.dateObs};
    for (const LightCurveStar& star : f.stars)
      fr.at.push_back({PhotShownX(star.x), s.flip ? s.height - star.y : star.y + 1.0});
    frames.push_back(std::move(fr));
  }
  for (const std::string& note : result.notes)
    std::fprintf(stderr, "vantorel-cli: lightcurve: %s\n", note.c_str());
  const int kept = result.keptCount();
  const int left = static_cast<int>(result.frames.size()) - kept;
  if (left > 0) {
    std::fprintf(stderr, "vantorel-cli: lightcurve: %d of %zu frames left out of the curve:\n",
                 left, files.size());
    for (const LightCurveFrame& f : result.frames)
      if (!f.kept) std::fprintf(stderr, "  %s: %s\n", f.file.c_str(), f.why.c_str());
  }
  bool ok = true;
  if (json)
    ok = WriteJsonLines(kCommand, JsonLines(frames, result));
  else
    std::fputs(Table(frames, result, csv).c_str(), stdout);
  if (!plot.empty() && kept > 0) ok = Plot(frames, plot) && ok;
  if (kept == 0) {
    std::fprintf(stderr, "vantorel-cli: lightcurve: no frame could be measured\n");
    return 1;
  }
  return ok ? 0 : 1;
}
