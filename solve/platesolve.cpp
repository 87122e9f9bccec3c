// Plate solving through astrometry.net's solve-field. The stars go over as an xylist (a
// FITS binary table of X, Y and FLUX, 1-based pixels, brightest first) in a private
// temporary folder; solve-field runs there without a shell, in a process group of its
// own so that a cancel or the time limit kills it with its solver; the .wcs header it
// leaves on success is read back card by card.
#include "solve/platesolve.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "engine/imgpixelinfo.h"
#include "engine/ralimage.h"
#include "fits/fits.h"
#include "fits/headeredit.h"
#include "imagemodel/fitsheader.h"
#include "imagemodel/image.h"
#include "measure/phottable.h"
#include "measure/positioning.h"
#include "platform/progress.h"
#include "settings/registry.h"
#include "wcs/wcs.h"

extern char** environ;

namespace {

constexpr std::size_t kCard = 80, kBlock = 2880;
// A solution header is a few dozen cards; anything far larger is not one.
constexpr std::uintmax_t kMaxWcsBytes = 1u << 20;
// What of solve-field's log is kept for the caller.
constexpr std::uintmax_t kMaxLogBytes = 1u << 20;

std::string Keyword(std::string_view card) {
  std::string key(card.substr(0, std::min<std::size_t>(8, card.size())));
  while (!key.empty() && key.back() == ' ') key.pop_back();
  return key;
}

std::string Card(const std::string& text) {
  std::string c = text.substr(0, kCard);
  c.resize(kCard, ' ');
  return c;
}

std::string RealCard(const char* key, const char* value) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-8s= %20s", key, value);
  return Card(buf);
}

std::string Quoted(const char* key, const char* value) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-8s= '%-8s'", key, value);
  return Card(buf);
}

void PutBigEndian(double v, std::string* out) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int shift = 56; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((bits >> shift) & 0xFF));
}

void Pad(std::string* out, char fill) {
  while (out->size() % kBlock != 0) out->push_back(fill);
}

// The xylist: an empty primary array and one binary table of X, Y, FLUX (doubles).
std::string XyList(const std::vector<PlateSolveStar>& stars, std::size_t count) {
  std::string out;
  for (const std::string& c : {RealCard("SIMPLE", "T"), RealCard("BITPIX", "8"),
                               RealCard("NAXIS", "0"), RealCard("EXTEND", "T"), Card("END")})
    out += c;
  Pad(&out, ' ');
  out += Quoted("XTENSION", "BINTABLE");
  out += RealCard("BITPIX", "8");
  out += RealCard("NAXIS", "2");
  out += RealCard("NAXIS1", "24");
  out += RealCard("NAXIS2", std::to_string(count).c_str());
  out += RealCard("PCOUNT", "0");
  out += RealCard("GCOUNT", "1");
  out += RealCard("TFIELDS", "3");
  const char* names[] = {"X", "Y", "FLUX"};
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i + 1);
    out += Quoted(("TTYPE" + n).c_str(), names[i]);
    out += Quoted(("TFORM" + n).c_str(), "D");
  }
  out += Card("END");
  Pad(&out, ' ');
  for (std::size_t i = 0; i < count; ++i) {
    PutBigEndian(stars[i].x, &out);
    PutBigEndian(stars[i].y, &out);
    PutBigEndian(stars[i].flux, &out);
  }
  Pad(&out, '\0');
  return out;
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return static_cast<bool>(f);
}

// At most limit bytes of the end of a file (all of a shorter one).
std::string ReadTail(const std::string& path, std::uintmax_t limit) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return {};
  std::ifstream f(path, std::ios::binary);
  const std::uintmax_t skip = size > limit ? size - limit : 0;
  f.seekg(static_cast<std::streamoff>(skip));
  std::string text(static_cast<std::size_t>(size - skip), '\0');
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(f.gcount()));
  return text;
}

// The cards of a header-only FITS file up to END; false when it is not one.
bool ReadHeaderCards(const std::string& path, std::vector<std::string>* cards) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size < kBlock || size > kMaxWcsBytes) return false;
  const std::string text = ReadTail(path, kMaxWcsBytes);
  if (text.size() != size || !text.starts_with("SIMPLE  =")) return false;
  for (std::size_t at = 0; at + kCard <= text.size(); at += kCard) {
    std::string card = text.substr(at, kCard);
    if (Keyword(card) == "END") return true;
    for (char c : card)
      if (c < 0x20 || c > 0x7E) return false;
    cards->push_back(std::move(card));
  }
  return false;
}

// Removes a folder and what is in it (the run's own files) when it goes out of scope.
class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vantorel-solve-XXXXXX";
    if (mkdtemp(templ.data())) path_ = templ;
  }
  ~TempFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// solve-field as given, or found on PATH; empty when there is none to run.
std::string FindProgram(const std::string& given) {
  const std::string name = given.empty() ? "solve-field" : given;
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

// Whether the folder holds an astrometry.net index file (index-*.fits, index-*.fits.fz, …).
bool HasIndexFiles(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.starts_with("index") && name.find(".fits") != std::string_view::npos) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

// The run of solve-field: started in a process group of its own with its output in a
// log file, stopped (the whole group) when cancelled or out of time.
enum class RunEnd { kExited, kTimedOut, kCancelled, kFailed };

RunEnd Run(const std::vector<std::string>& argv, const std::string& logPath, double timeout,
           const std::function<bool()>& cancel, ProgressSink* progress, int* status,
           std::string* why) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_setpgroup(&attr, 0);
  // The child starts with the default signal dispositions and nothing blocked, whatever
  // this process has set up for its own saves.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *why = "cannot run " + argv[0] + ": " + std::strerror(rc);
    return RunEnd::kFailed;
  }
  const auto start = std::chrono::steady_clock::now();
  int lastPercent = -1;
  RunEnd end = RunEnd::kExited;
  for (;;) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return RunEnd::kExited;
    if (done < 0 && errno != EINTR) {
      *why = std::string("waiting for solve-field: ") + std::strerror(errno);
      return RunEnd::kFailed;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (cancel && cancel()) {
      end = RunEnd::kCancelled;
      break;
    }
    if (elapsed >= timeout) {
      end = RunEnd::kTimedOut;
      break;
    }
    const int percent = std::min(99, static_cast<int>(elapsed / timeout * 100.0));
    if (progress && percent != lastPercent) progress->Percent(percent);
    lastPercent = percent;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Stop the whole group (solve-field and the solver it started): politely, then firmly.
  kill(-pid, SIGTERM);
  for (int i = 0; i < 20; ++i) {
    if (waitpid(pid, status, WNOHANG) == pid) {
      kill(-pid, SIGKILL);  // a solver left behind by solve-field
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
  return end;
}

bool IsSipKeyword(const std::string& key) {
  for (const char* prefix : {"A_", "B_", "AP_", "BP_"}) {
    const std::string p = prefix;
    if (!key.starts_with(p) || key.size() == p.size()) continue;
    const std::string rest = key.substr(p.size());
    if (rest == "ORDER" || rest == "DMAX") return true;
    int corrects = 0, i = 0, j = 0;
    if (FitsSipTerm(key, &corrects, &i, &j)) return true;
  }
  return false;
}

}  // namespace

std::string PlateSolveIndexDir(const std::string& given) {
  if (!given.empty()) return given;
  std::string dir;
  CRegistry::Read(kPlateSolveSection, kPlateSolveIndexDirKey, "", dir);
  return dir.empty() ? kPlateSolveDefaultIndexDir : dir;
}

std::string PlateSolveCheckOptions(const PlateSolveOptions& o) {
  if (o.scaleLow.has_value() != o.scaleHigh.has_value())
    return "the scale needs both a lower and an upper bound";
  if (o.scaleLow) {
    if (!std::isfinite(*o.scaleLow) || !std::isfinite(*o.scaleHigh) || *o.scaleLow <= 0.0 ||
        *o.scaleHigh <= 0.0 || *o.scaleHigh > 360.0 * 3600.0)
      return "the scale bounds must be positive numbers of arc seconds per pixel";
    if (*o.scaleLow > *o.scaleHigh) return "the lower scale bound is above the upper one";
  }
  const int hints = o.ra.has_value() + o.dec.has_value() + o.radius.has_value();
  if (hints != 0 && hints != 3)
    return "a position hint needs the right ascension, the "
           "declination and the radius";
  if (hints == 3) {
    if (!std::isfinite(*o.ra) || *o.ra < 0.0 || *o.ra >= 360.0)
      return "the right ascension must be from 0 to 360 degrees";
    if (!std::isfinite(*o.dec) || *o.dec < -90.0 || *o.dec > 90.0)
      return "the declination must be from -90 to 90 degrees";
    if (!std::isfinite(*o.radius) || *o.radius <= 0.0 || *o.radius > 180.0)
      return "the radius must be above 0 and at most 180 degrees";
  }
  if (!std::isfinite(o.timeout) || o.timeout <= 0.0 || o.timeout > 86400.0)
    return "the time limit must be above 0 and at most 86400 seconds";
  if (o.maxStars < kPlateSolveMinStars) return "too few stars are allowed";
  if (o.indexDir.find('\n') != std::string::npos || o.indexDir.find('\r') != std::string::npos)
    return "the index folder's name must not hold a line break";
  return {};
}

std::vector<PlateSolveStar> PlateSolveDetect(CRalImage& image, double factor) {
  std::vector<PlateSolveStar> stars;
  const int w = image.GetWidth(), h = image.GetHeight();
  if (w <= 0 || h <= 0 || image.IsColor()) return stars;
  CPositioning pos;
  pos.SetImage(&image);
  pos.SetMethod(CPositioning::SEARCH);
  pos.SetFactor(factor);
  pos.Measure(&image, 0, 0, w - 1, h - 1);
  if (pos.GetItemCount() == 0) return stars;

  // The plane once, blanks as NaN, for the fluxes.
  std::vector<float> px(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  std::vector<double> row(static_cast<std::size_t>(w));
  const bool blankUsed = image.IsBlankUsed();
  const double blank = image.GetBlank();
  for (int y = 0; y < h; ++y) {
    if (!ReadPhysicalSpan(image, 0, y, w, 0, row.data())) return stars;
    for (int x = 0; x < w; ++x) {
      const float v = static_cast<float>(row[static_cast<std::size_t>(x)]);
      px[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] =
          blankUsed && std::trunc(v) == blank ? std::nanf("") : v;
    }
  }
  auto at = [&](int x, int y) {
    return px[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
              static_cast<std::size_t>(x)];
  };
  std::vector<float> ring;
  for (int i = 0; i < pos.GetItemCount(); ++i) {
    const CPositioningItem& item = pos.GetItem(i);
    if (item.m_bDeleted) continue;
    const int cx = static_cast<int>(std::lround(item.m_dX));
    const int cy = static_cast<int>(std::lround(item.m_dY));
    // The sky: the median of the ring 5 to 7 pixels out (Chebyshev distance).
    ring.clear();
    double sum = 0.0;
    int n = 0;
    for (int dy = -7; dy <= 7; ++dy)
      for (int dx = -7; dx <= 7; ++dx) {
        const int x = cx + dx, y = cy + dy;
        if (x < 0 || y < 0 || x >= w || y >= h) continue;
        const float v = at(x, y);
        if (std::isnan(v)) continue;
        const int d = std::max(std::abs(dx), std::abs(dy));
        if (d <= 3) {
          sum += v;
          ++n;
        } else if (d >= 5) {
          ring.push_back(v);
        }
      }
    if (n == 0 || ring.empty()) continue;
    auto mid = ring.begin() + static_cast<std::ptrdiff_t>(ring.size() / 2);
    std::nth_element(ring.begin(), mid, ring.end());
    const double sky = *mid;
    const double flux = sum - n * sky;
    if (!(flux > 0.0) || !std::isfinite(flux)) continue;
    // The detection's centre of gravity takes the sky in its box with the star, which
    // pulls it towards the box's centre. The centre used is that of what stands above the
    // sky under a Gaussian window (2 pixels wide) that follows the estimate: a few steps
    // of the windowed centroid, which a cut box does not bias.
    double fx = item.m_dX, fy = item.m_dY;
    for (int step = 0; step < 4; ++step) {
      double sw = 0.0, sx = 0.0, sy = 0.0;
      const int bx = static_cast<int>(std::lround(fx)), by = static_cast<int>(std::lround(fy));
      for (int dy = -5; dy <= 5; ++dy)
        for (int dx = -5; dx <= 5; ++dx) {
          const int x = bx + dx, y = by + dy;
          if (x < 0 || y < 0 || x >= w || y >= h) continue;
          const double v = at(x, y) - sky;
          if (std::isnan(v)) continue;
          const double r2 = (x - fx) * (x - fx) + (y - fy) * (y - fy);
          const double g = std::exp(-r2 / 8.0) * v;
          sw += g;
          sx += g * (x - fx);
          sy += g * (y - fy);
        }
      if (!(sw > 0.0)) break;
      // The step of a Gaussian window of the star's own width moves by twice the mean.
      const double mx = std::clamp(2.0 * sx / sw, -1.0, 1.0),
                   my = std::clamp(2.0 * sy / sw, -1.0, 1.0);
      fx += mx;
      fy += my;
      if (std::fabs(mx) < 1e-4 && std::fabs(my) < 1e-4) break;
    }
    if (std::fabs(fx - item.m_dX) > 2.0 || std::fabs(fy - item.m_dY) > 2.0) {
      fx = item.m_dX;
      fy = item.m_dY;
    }
    stars.push_back({PhotShownX(fx), PhotShownY(image, fy), flux});
  }
  std::stable_sort(
      stars.begin(), stars.end(),
      [](const PlateSolveStar& a, const PlateSolveStar& b) { return a.flux > b.flux; });
  return stars;
}

int PlateSolveStars(const std::vector<PlateSolveStar>& stars, int width, int height,
                    const PlateSolveOptions& options, PlateSolution* solution, std::string* message,
                    std::string* log, const std::function<bool()>& cancel, ProgressSink* progress) {
  if (log) log->clear();
  if (const std::string why = PlateSolveCheckOptions(options); !why.empty()) {
    *message = why;
    return PSOLVE_BAD_OPTIONS;
  }
  if (width <= 0 || height <= 0) {
    *message = "the frame has no pixels";
    return PSOLVE_BAD_OPTIONS;
  }
  const std::string program = FindProgram(options.solveField);
  if (program.empty()) {
    *message = "astrometry.net's solve-field was not found; install the packages " +
               std::string(kPlateSolvePackages);
    return PSOLVE_NO_PROGRAM;
  }
  const std::string indexDir = PlateSolveIndexDir(options.indexDir);
  if (!HasIndexFiles(indexDir)) {
    *message = "no astrometry.net index files in " + indexDir + "; install the packages " +
               std::string(kPlateSolvePackages) + ", or name the folder that holds them";
    return PSOLVE_NO_INDEX;
  }
  if (stars.size() < static_cast<std::size_t>(kPlateSolveMinStars)) {
    *message = "only " + std::to_string(stars.size()) + " stars were found; at least " +
               std::to_string(kPlateSolveMinStars) + " are needed";
    return PSOLVE_FEW_STARS;
  }

  TempFolder temp;
  if (temp.path().empty()) {
    *message = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return PSOLVE_FAILED;
  }
  const std::string dir = temp.path();
  const std::size_t count = std::min(stars.size(), static_cast<std::size_t>(options.maxStars));
  const std::string limit = std::to_string(static_cast<long>(std::ceil(options.timeout)));
  // Every index of the folder is searched together ("inparallel"), so that the first
  // quad of the field is tried against all scales at once.
  const std::string config =
      "inparallel\ncpulimit " + limit + "\nadd_path " + indexDir + "\nautoindex\n";
  if (!WriteWhole(dir + "/stars.xyls", XyList(stars, count)) ||
      !WriteWhole(dir + "/solve.cfg", config)) {
    *message = "cannot write the star list in " + dir;
    return PSOLVE_FAILED;
  }
  std::vector<std::string> argv = {program,
                                   "--config",
                                   dir + "/solve.cfg",
                                   "--dir",
                                   dir,
                                   "--out",
                                   "field",
                                   "--temp-dir",
                                   dir,
                                   "--no-plots",
                                   "--overwrite",
                                   "--no-remove-lines",
                                   "--uniformize",
                                   "0",
                                   "--width",
                                   std::to_string(width),
                                   "--height",
                                   std::to_string(height),
                                   "--x-column",
                                   "X",
                                   "--y-column",
                                   "Y",
                                   "--sort-column",
                                   "FLUX",
                                   "--cpulimit",
                                   limit,
                                   "--wcs",
                                   dir + "/field.wcs",
                                   "--solved",
                                   dir + "/field.solved",
                                   "--new-fits",
                                   "none",
                                   "--rdls",
                                   "none",
                                   "--corr",
                                   "none",
                                   "--match",
                                   "none",
                                   "--index-xyls",
                                   "none"};
  if (options.scaleLow) {
    for (const std::string& a :
         {std::string("--scale-units"), std::string("arcsecperpix"), std::string("--scale-low"),
          Number(*options.scaleLow), std::string("--scale-high"), Number(*options.scaleHigh)})
      argv.push_back(a);
  }
  if (options.ra) {
    for (const std::string& a :
         {std::string("--ra"), Number(*options.ra), std::string("--dec"), Number(*options.dec),
          std::string("--radius"), Number(*options.radius)})
      argv.push_back(a);
  }
  argv.push_back(dir + "/stars.xyls");

  ProgressScope scope(progress, "Plate solving");
  int status = 0;
  std::string why;
  const RunEnd end =
      Run(argv, dir + "/solve.log", options.timeout, cancel, progress, &status, &why);
  if (log) *log = ReadTail(dir + "/solve.log", kMaxLogBytes);
  switch (end) {
    case RunEnd::kFailed:
      *message = why;
      return PSOLVE_FAILED;
    case RunEnd::kCancelled:
      *message = "plate solving was stopped";
      return PSOLVE_CANCELLED;
    case RunEnd::kTimedOut:
      *message = "no solution was found within " + Number(options.timeout) + " seconds";
      return PSOLVE_NO_SOLUTION;
    case RunEnd::kExited:
      break;
  }
  const bool solved = access((dir + "/field.solved").c_str(), F_OK) == 0;
  if (!solved) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      *message = "solve-field failed (" +
                 (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                    : "signal " + std::to_string(WTERMSIG(status))) +
                 ")";
      return PSOLVE_FAILED;
    }
    *message = "no solution was found among " + std::to_string(count) + " stars within " +
               Number(options.timeout) + " seconds";
    return PSOLVE_NO_SOLUTION;
  }
  std::vector<std::string> cards;
  if (!ReadHeaderCards(dir + "/field.wcs", &cards)) {
    *message = "solve-field reported a solution but its WCS file cannot be read";
    return PSOLVE_FAILED;
  }
  solution->cards.clear();
  bool hasType = false, hasMatrix = false;
  for (const std::string& card : cards) {
    const std::string key = Keyword(card);
    if (key == "WCSAXES" || !PlateSolveReplacesKeyword(key)) continue;
    hasType |= key == "CTYPE1";
    hasMatrix |= key == "CD1_1";
    solution->cards.push_back(card);
  }
  if (!hasType || !hasMatrix) {
    *message = "solve-field's WCS file holds no TAN solution";
    return PSOLVE_FAILED;
  }
  solution->indexName.clear();
  if (log) {
    const std::string marker = "solved with index ";
    if (const std::size_t at = log->find(marker); at != std::string::npos) {
      const std::size_t from = at + marker.size();
      const std::size_t to = log->find_first_of(" \n", from);
      solution->indexName = log->substr(from, to == std::string::npos ? to : to - from);
      if (!solution->indexName.empty() && solution->indexName.back() == '.')
        solution->indexName.pop_back();
    }
  }
  *message = "solved";
  return PSOLVE_OK;
}

bool PlateSolveReplacesKeyword(const std::string& key) {
  for (const char* root : {"CTYPE", "CUNIT", "CRPIX", "CRVAL", "CDELT", "CROTA"})
    if (key == std::string(root) + "1" || key == std::string(root) + "2") return true;
  for (const char* root : {"CD", "PC", "PV"})
    for (const char* ij : {"1_1", "1_2", "2_1", "2_2"})
      if (key == std::string(root) + ij) return true;
  if (key.starts_with("PV1_") || key.starts_with("PV2_")) return true;
  for (const char* k : {"LONPOLE", "LATPOLE", "RADESYS", "RADECSYS", "EQUINOX", "EPOCH", "WCSAXES"})
    if (key == k) return true;
  return IsSipKeyword(key) || IsFitsPlateSolutionKey(key);
}

int PlateSolveApply(CImage& image, const PlateSolution& solution) {
  CFitsHeader& header = image.m_FitsHeader;
  for (int i = header.GetCount() - 1; i >= 0; --i)
    if (PlateSolveReplacesKeyword(Keyword(header.GetAt(i)))) header.DeleteAt(i);
  image.SetCD(0);
  image.SetPC(0);
  image.SetTolvenaPC(0);
  image.SetCDMtx(tagMATRIX2_2{});
  image.SetPCMtx(tagMATRIX2_2{});
  image.SetTolvenaPCMtx(tagMATRIX2_2{});
  image.ClearPhysicalCoord(-1);
  image.ClearPhysicalCoord(2);
  image.ClearPVMtx();
  for (const std::string& card : solution.cards) {
    if (const int rc = CFits::UpdateHeader(image, card)) {
      image.ClearPhysicalCoord(-1);
      image.ClearPhysicalCoord(2);
      return rc;
    }
  }
  // The reader takes the linear matrix from the CD cards once the header is read.
  if (image.UsedCD()) {
    tagMATRIX2_2 cd;
    image.GetCDMtx(&cd);
    image.SetLTMtx(cd, 1);
  }
  return 0;
}

bool PlateSolveSummarize(const CImage& image, PlateSolveSummary* out) {
  const double w = image.GetWidth(), h = image.GetHeight();
  const double cx = (w + 1) / 2, cy = (h + 1) / 2;
  tagAD centre, east, north;
  unsigned int kind = 0;
  const CWCS wcs;
  if (wcs.ToWCS2(&image, tagSFPoint{cx, cy}, &centre, &kind, nullptr, nullptr) != 1 ||
      wcs.ToWCS2(&image, tagSFPoint{cx + 1, cy}, &east, &kind, nullptr, nullptr) != 1 ||
      wcs.ToWCS2(&image, tagSFPoint{cx, cy + 1}, &north, &kind, nullptr, nullptr) != 1)
    return false;
  // Offsets on the sky (east, north) of one pixel along x and along y, in the tangent
  // plane; a difference of right ascension is taken the short way round, across 0h too.
  const double rad = M_PI / 180.0;
  auto eastOf = [&](const tagAD& p) {
    return std::remainder(p.a - centre.a, 360.0) * std::cos(centre.d * rad);
  };
  const double yEast = eastOf(north), yNorth = north.d - centre.d;
  const double xEast = eastOf(east), xNorth = east.d - centre.d;
  out->ra = centre.a;
  out->dec = centre.d;
  out->scale = std::sqrt(std::fabs(yEast * xNorth - yNorth * xEast)) * 3600.0;
  out->rotation = std::atan2(yEast, yNorth) / rad;
  return true;
}

namespace {

// The fields of a sexagesimal or decimal angle: up to three unsigned numbers separated by
// blanks, ':' or unit letters; *sign −1 for a leading '-'; *hours when an 'h' follows the
// first field. False on anything else.
bool SplitAngle(std::string_view text, std::vector<double>* fields, double* sign, bool* hours) {
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  skipBlanks();
  *sign = 1.0;
  *hours = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) *sign = text[i++] == '-' ? -1.0 : 1.0;
  bool lastHadFraction = false;
  while (true) {
    skipBlanks();
    if (i == text.size()) break;
    if (fields->size() == 3 || lastHadFraction) return false;
    const std::size_t start = i;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) ++i;
    const std::string number(text.substr(start, i - start));
    if (number.empty() || number == "." || std::count(number.begin(), number.end(), '.') > 1)
      return false;
    lastHadFraction = number.find('.') != std::string::npos;
    fields->push_back(std::strtod(number.c_str(), nullptr));
    skipBlanks();
    if (i < text.size() && std::strchr(":hmsd'\"", text[i])) {
      if (text[i] == 'h' && fields->size() == 1) *hours = true;
      ++i;
    }
  }
  if (fields->empty()) return false;
  for (std::size_t f = 1; f < fields->size(); ++f)
    if ((*fields)[f] >= 60.0) return false;
  return true;
}

double Sexagesimal(const std::vector<double>& fields) {
  double v = 0.0, unit = 1.0;
  for (double f : fields) {
    v += f * unit;
    unit /= 60.0;
  }
  return v;
}

}  // namespace

bool PlateSolveParseRa(std::string_view text, double* degrees) {
  std::vector<double> fields;
  double sign = 1.0;
  bool hours = false;
  if (!SplitAngle(text, &fields, &sign, &hours) || sign < 0.0) return false;
  const double v = (fields.size() > 1 || hours) ? Sexagesimal(fields) * 15.0 : fields[0];
  if (!(v >= 0.0 && v < 360.0)) return false;
  *degrees = v;
  return true;
}

bool PlateSolveParseDec(std::string_view text, double* degrees) {
  std::vector<double> fields;
  double sign = 1.0;
  bool hours = false;
  if (!SplitAngle(text, &fields, &sign, &hours) || hours) return false;
  const double v = sign * Sexagesimal(fields);
  if (!(v >= -90.0 && v <= 90.0)) return false;
  *degrees = v;
  return true;
}

bool PlateSolveHint(const CImage& image, double* ra, double* dec) {
  if (PlateSolveSummary s; PlateSolveSummarize(image, &s)) {
    *ra = s.ra;
    *dec = s.dec;
    return true;
  }
  // A number is degrees; a string is read as an observer writes it ("03 47 24").
  auto angle = [&](const char* key, bool rightAscension, double* out) {
    const int i = image.m_FitsHeader.Find(key);
    if (i < 0) return false;
    const headeredit::CardParts parts = headeredit::ParseCard(image.m_FitsHeader.GetAt(i));
    if (!parts.valued || parts.value.empty()) return false;
    if (!parts.isString) {
      char* end = nullptr;
      const double v = std::strtod(parts.value.c_str(), &end);
      if (*end != '\0' || !std::isfinite(v)) return false;
      if (rightAscension ? !(v >= 0.0 && v < 360.0) : !(v >= -90.0 && v <= 90.0)) return false;
      *out = v;
      return true;
    }
    std::string text = parts.value;
    // A right ascension string of one field is hours, as capture programs write it.
    if (rightAscension && text.find_first_of(" :h") == std::string::npos) text += "h";
    return rightAscension ? PlateSolveParseRa(text, out) : PlateSolveParseDec(text, out);
  };
  double a = 0.0, d = 0.0;
  for (auto [raKey, decKey] : {std::pair{"RA", "DEC"}, std::pair{"OBJCTRA", "OBJCTDEC"}})
    if (angle(raKey, true, &a) && angle(decKey, false, &d)) {
      *ra = a;
      *dec = d;
      return true;
    }
  return false;
}
