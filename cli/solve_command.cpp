// vantorel-cli solve: finds the stars of a one-plane image with the positioning tool's
// detection, has astrometry.net solve their positions, prints the solution and, given
// OUT, saves the image with the solution's world-coordinate cards. Without a solution
// nothing is written. Ctrl+C stops the solver and ends with 130 (SIGTERM 143, SIGHUP 129).
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/wcs_lines.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "solve/platesolve.h"
#include "wcs/wcstext.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;  // the signal that asked to stop, or 0
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3]{};

void OnInterrupt(int signal) {
  g_interrupted = signal;
}

// Ctrl+C, a kill or a hang-up while solve-field runs (in a process group of its own, so
// the terminal's signal does not reach it) stops the solver through the cancel callback
// instead of leaving it running behind us.
class InterruptScope {
 public:
  InterruptScope() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
  ~InterruptScope() {
    for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

int Misuse(const std::string& why) {
  std::fprintf(stderr, "vantorel-cli: solve: %s\n", why.c_str());
  return 2;
}

bool ParseNumber(const std::string& text, double* v) {
  char* end = nullptr;
  *v = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && std::isfinite(*v);
}

}  // namespace

int SolveCommand(const std::vector<std::string>& args) {
  PlateSolveOptions solve;
  std::vector<std::string> files;
  bool verbose = false, json = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    std::optional<double>* target = nullptr;
    if (a == "--scale-low") target = &solve.scaleLow;
    if (a == "--scale-high") target = &solve.scaleHigh;
    if (a == "--radius") target = &solve.radius;
    if (a == "--ra" || a == "--dec") {
      // Degrees, or hours (degrees) minutes seconds as an observer writes them.
      double v = 0.0;
      const bool ra = a == "--ra";
      if (!hasValue ||
          !(ra ? PlateSolveParseRa(args[i + 1], &v) : PlateSolveParseDec(args[i + 1], &v)))
        return Misuse(a + (ra ? " takes degrees in [0, 360) or hours as HH:MM:SS"
                              : " takes degrees in [-90, 90] or DD:MM:SS"));
      (ra ? solve.ra : solve.dec) = v;
      ++i;
      continue;
    }
    if (target || a == "--timeout") {
      double v = 0.0;
      if (!hasValue || !ParseNumber(args[i + 1], &v)) return Misuse(a + " takes a number");
      ++i;
      if (target)
        *target = v;
      else
        solve.timeout = v;
    } else if (a == "--index-dir") {
      if (!hasValue || args[i + 1].empty()) return Misuse("--index-dir takes a folder");
      solve.indexDir = args[++i];
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--json") {
      json = true;
    } else if (a.starts_with("--")) {
      return Misuse("unknown or incomplete option '" + a + "'");
    } else {
      files.push_back(a);
    }
  }
  if (files.empty() || files.size() > 2) return Misuse("needs IN and, to save, OUT");
  if (const std::string why = PlateSolveCheckOptions(solve); !why.empty()) return Misuse(why);
  const std::string& in = files[0];
  const std::string out = files.size() == 2 ? files[1] : std::string();
  if (!out.empty() && CRalImageIO::GetFileType(out) != FILETYPE_FITS)
    return Misuse("OUT must be a FITS file (.fts, .fit, .fits), which holds the solution");

  CliOptions options;
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenOnePlaneImage("solve", in, image)) return 1;
  const std::vector<PlateSolveStar> stars = PlateSolveDetect(image, 1.0);
  std::fprintf(stderr, "vantorel-cli: solve: %zu stars detected in %s\n", stars.size(), in.c_str());

  PlateSolution solution;
  std::string message, log;
  int rc = 0;
  {
    InterruptScope interrupt;
    g_interrupted = 0;
    StderrProgress progress;
    rc = PlateSolveStars(
        stars, image.GetWidth(), image.GetHeight(), solve, &solution, &message, &log,
        [] { return g_interrupted != 0; }, &progress);
  }
  if (verbose && !log.empty()) std::fputs(log.c_str(), stderr);
  if (rc == PSOLVE_CANCELLED) {
    std::fprintf(stderr, "vantorel-cli: solve: %s; nothing was written\n", message.c_str());
    return 128 + g_interrupted;
  }
  if (rc != PSOLVE_OK) {
    std::fprintf(stderr, "vantorel-cli: solve: %s: %s%s\n", in.c_str(), message.c_str(),
                 out.empty() ? "" : "; nothing was written");
    return 1;
  }
  if (const int applied = PlateSolveApply(image, solution)) {
    std::fprintf(stderr, "vantorel-cli: solve: the solution's cards were refused (code %d)\n",
                 applied);
    return 1;
  }
  PlateSolveSummary summary;
  if (!PlateSolveSummarize(image, &summary)) {
    std::fputs("vantorel-cli: solve: the solution gives no sky at the frame's centre\n", stderr);
    return 1;
  }
  bool sip = false;
  for (const std::string& card : solution.cards) sip |= card.starts_with("A_ORDER");
  if (json) {
    // One object: what the text lines say, for scripts.
    JsonWriter w;
    w.BeginObject().Key("file").String(in);
    w.Key("ra").Number(summary.ra).Key("dec").Number(summary.dec);
    w.Key("scale").Number(summary.scale).Key("rotation").Number(summary.rotation);
    w.Key("index").String(solution.indexName).Key("distortion").String(sip ? "SIP" : "none");
    w.Key("stars").Integer(static_cast<long long>(stars.size()));
    w.Key("out");
    if (out.empty())
      w.Null();
    else
      w.String(out);
    w.EndObject();
    std::printf("%s\n", w.Text().c_str());
  } else {
    char ra[kWcsFieldChars], dec[kWcsFieldChars];
    *WcsWriteHours(ra, summary.ra) = '\0';
    *WcsWriteDegrees(dec, summary.dec) = '\0';
    std::printf("centre %.6f %.6f (%s %s)\n", summary.ra, summary.dec, ra, dec);
    std::printf("scale %.5f arcsec/pixel\n", summary.scale);
    std::printf("rotation %.3f degrees (image +y from north through east)\n", summary.rotation);
    if (!solution.indexName.empty()) std::printf("index %s\n", solution.indexName.c_str());
    std::printf("distortion %s\n", sip ? "SIP" : "none");
  }
  if (!out.empty() && CRalImageIO::WriteImageFile(image, out, 0) != 1) return 1;
  return 0;
}
