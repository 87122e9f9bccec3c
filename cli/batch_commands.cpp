// vantorel-cli calibrate, stack and overscan: the batch runs of the program's dialogs
// driven from flags. Each prints a line per file on standard error and, when anything
// failed, the list of failures, exiting 1. A file that fails is never written: with
// --overwrite it stays as it was. Files that would be saved over each other (two of one
// name into --out-dir, or one given twice) are refused before anything is written, exit 2.
// Ctrl+C stops the run between files: the files finished stay as saved, the one in hand
// is dropped (a save under way completes, since saves replace their target at once), and
// the exit status is 130.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "batch/batchdarkflat.h"
#include "batch/batchnaming.h"
#include "batch/batchoverscan.h"
#include "batch/batchrun.h"
#include "batch/batchtexts.h"
#include "cli/commands.h"
#include "cli/json_lines.h"
#include "cli/stack_parts.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

namespace {

std::atomic<bool> g_interrupted{false};
struct sigaction g_previousInt {};

// The first Ctrl+C asks the run to stop between files; a second one acts as the tool's
// usual handler does (removing temporaries of a save under way, then ending).
void OnInterrupt(int) {
  g_interrupted.store(true);
  ::sigaction(SIGINT, &g_previousInt, nullptr);
}

class InterruptScope {
 public:
  InterruptScope() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &g_previousInt);
    // An ignored interrupt (nohup, a background job of a script) stays ignored.
    if (g_previousInt.sa_handler == SIG_IGN && (g_previousInt.sa_flags & SA_SIGINFO) == 0)
      ::sigaction(SIGINT, &g_previousInt, nullptr);
  }
  ~InterruptScope() { ::sigaction(SIGINT, &g_previousInt, nullptr); }
};

// Messages on standard error. The questions are answered from the flags: the overwrite
// and the creation of the output folder were asked for by --overwrite and --out-dir;
// replacing files that already exist in the output folder needs --force.
class BatchMessageBox : public MessageBox {
 public:
  explicit BatchMessageBox(bool force) : force_(force) {}
  int Show(const std::string& text, const std::string&, unsigned style) override {
    if ((style & MB_TYPEMASK) != MB_YESNO) {
      std::fprintf(stderr, "vantorel-cli: %s\n", text.c_str());
      return IDOK;
    }
    const std::string exists = std::string(batch_text::kFilesExist);
    if (text.starts_with(exists.substr(0, exists.find('\n')))) {
      if (force_) return IDYES;
      std::fprintf(stderr, "vantorel-cli: %s\nvantorel-cli: not overwritten (add --force)\n",
                   text.c_str());
      return IDNO;
    }
    return IDYES;
  }

 private:
  bool force_;
};

struct Common {
  std::vector<std::string> files;
  bool overwrite = false;
  std::optional<std::string> outDir;
  std::optional<std::string> prefix, suffix;
  bool force = false;
  int bits = 0;
};

// --bits N: the FITS type of the outputs. False after printing why.
bool ParseBits(const std::string& v, int* bits) {
  for (int b : {8, 16, 32, -32, -64})
    if (v == std::to_string(b)) {
      *bits = b;
      return true;
    }
  std::fprintf(stderr, "vantorel-cli: --bits takes 8, 16, 32, -32 or -64, not %s\n", v.c_str());
  return false;
}

bool Value(const std::vector<std::string>& args, std::size_t* i, std::string* out) {
  if (*i + 1 >= args.size()) {
    std::fprintf(stderr, "vantorel-cli: %s needs a value\n", args[*i].c_str());
    return false;
  }
  *out = args[++*i];
  return true;
}

// Parses what calibrate and overscan share; other options go to `extra`, which returns 1
// when it took the option, 0 when it does not know it, -1 on a bad value.
template <typename Extra>
bool ParseCommon(const std::vector<std::string>& args, Common* c, Extra extra) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--overwrite") {
      c->overwrite = true;
    } else if (a == "--force") {
      c->force = true;
    } else if (a == "--bits") {
      if (!Value(args, &i, &v) || !ParseBits(v, &c->bits)) return false;
    } else if (a == "--out-dir" || a == "--prefix" || a == "--suffix") {
      if (!Value(args, &i, &v)) return false;
      (a == "--out-dir" ? c->outDir : a == "--prefix" ? c->prefix : c->suffix) = v;
    } else if (a.starts_with("--")) {
      const int took = extra(a, &i);
      if (took < 0) return false;
      if (took == 0) {
        std::fprintf(stderr, "vantorel-cli: unknown option %s\n", a.c_str());
        return false;
      }
    } else {
      c->files.push_back(a);
    }
  }
  if (c->files.empty()) {
    std::fputs("vantorel-cli: no files given\n", stderr);
    return false;
  }
  if (c->overwrite == c->outDir.has_value()) {
    std::fputs("vantorel-cli: give either --overwrite or --out-dir DIR\n", stderr);
    return false;
  }
  if ((c->prefix || c->suffix) && !c->outDir) {
    std::fputs("vantorel-cli: --prefix and --suffix go with --out-dir\n", stderr);
    return false;
  }
  if (c->prefix && c->suffix) {
    std::fputs("vantorel-cli: give --prefix or --suffix, not both\n", stderr);
    return false;
  }
  return true;
}

std::vector<BatchTarget> Targets(const std::vector<std::string>& files) {
  std::vector<BatchTarget> targets;
  for (const std::string& f : files) targets.push_back({f, nullptr});
  return targets;
}

// A line per file on standard error.
CBatchRun::FileReport LineReport(const char* command, int total) {
  return [command, total](int index, const std::string& path, const std::string& saved, bool ok) {
    std::fprintf(stderr, "%s: [%d/%d] %s%s%s%s\n", command, index + 1, total, path.c_str(),
                 saved.empty() ? "" : " -> ", saved.c_str(), ok ? "" : " (failed)");
  };
}

// With --json, also a JSON line on standard output per file written, with its
// observation date as the image hook saw it; inputs(index) names the files read for it.
// *unwritten is set when standard output refused a line.
void ReportJson(CBatchRun& run, const char* command, int total,
                std::function<std::vector<std::string>(int)> inputs,
                std::function<void(JsonWriter&)> settings, bool* unwritten) {
  auto dates = std::make_shared<std::map<int, std::optional<std::string>>>();
  run.SetImageHook(
      [dates](int index, CRalImage& image) { (*dates)[index] = ObservationDate(image); });
  run.SetFileReport(
      [line = LineReport(command, total), dates, inputs, settings, command, unwritten](
          int index, const std::string& path, const std::string& saved, bool ok) {
        line(index, path, saved, ok);
        if (saved.empty() || !ok) return;
        if (!WriteJsonLines(command,
                            BatchJsonLine(path, (*dates)[index], saved, inputs(index), settings)))
          *unwritten = true;
      });
}

// The exit status after a run: 130 when interrupted, 1 with the list of failures.
int Finish(const CBatchRun& run, const char* command, int total) {
  const auto& failures = run.GetFailures();
  if (!failures.empty()) {
    std::fprintf(stderr, "vantorel-cli: %s: %zu failure%s:\n", command, failures.size(),
                 failures.size() == 1 ? "" : "s");
    for (const BatchFailure& f : failures)
      std::fprintf(stderr, "  %s: %s\n", f.path.empty() ? "(run)" : f.path.c_str(),
                   f.reason.c_str());
  }
  if (run.WasAborted()) {
    std::fprintf(stderr, "vantorel-cli: %s: interrupted; %d of %d files saved\n", command,
                 run.GetSavedCount(), total);
    return 130;
  }
  return failures.empty() ? 0 : 1;
}

// The exit status of a run refused before it began: 2 when the files given would be
// saved over each other (no flag makes that work), 1 when outputs exist (--force would).
int Refused(const CBatchRun& run) {
  if (!run.HasNameCollision()) return 1;
  std::fputs("vantorel-cli: nothing was done: give files that are saved under different names\n",
             stderr);
  return 2;
}

bool ParseInt4(const std::string& s, int out[4]) {
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = i < 3 ? s.find(',', pos) : s.size();
    if (comma == std::string::npos) return false;
    const std::string part = s.substr(pos, comma - pos);
    char* end = nullptr;
    const long v = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end || v < -1000000000L || v > 1000000000L) return false;
    out[i] = static_cast<int>(v);
    pos = comma + 1;
  }
  return true;
}

}  // namespace

int CalibrateCommand(const std::vector<std::string>& args) {
  Common c;
  bool json = false, unwritten = false;
  BatchDarkFlatSettings s;
  s.bias.path = s.dark.path = s.flat.path = s.flatDark.path = "";
  auto extra = [&](const std::string& a, std::size_t* i) {
    BatchFrame* frame = a == "--bias"        ? &s.bias
                        : a == "--dark"      ? &s.dark
                        : a == "--flat"      ? &s.flat
                        : a == "--flat-dark" ? &s.flatDark
                                             : nullptr;
    if (a == "--json") {
      json = true;
      return 1;
    }
    if (!frame) return 0;
    return Value(args, i, &frame->path) ? 1 : -1;
  };
  if (!ParseCommon(args, &c, extra)) return 2;
  if (!s.bias.Chosen() && !s.dark.Chosen() && !s.flat.Chosen()) {
    std::fputs("vantorel-cli: calibrate needs --bias, --dark or --flat\n", stderr);
    return 2;
  }
  if (s.flatDark.Chosen() && !s.flat.Chosen()) {
    std::fputs("vantorel-cli: --flat-dark goes with --flat\n", stderr);
    return 2;
  }
  s.useFlatDark = s.flatDark.Chosen();
  s.result = c.overwrite ? 1 : 2;
  s.folder = c.outDir.value_or("");
  s.addCharacters = c.prefix || c.suffix;
  s.position = c.suffix ? 1 : 0;
  s.characters = c.prefix ? *c.prefix : c.suffix.value_or("");

  BatchMessageBox box(c.force);
  ScopedMessageBox scopedBox(&box);
  const int total = static_cast<int>(c.files.size());
  CBatchDarkFlat run(s, Targets(c.files));
  if (!run.CheckValue()) return Refused(run);
  InterruptScope interrupt;
  run.SetAbortFlag(&g_interrupted);
  run.SetFileReport(LineReport("calibrate", total));
  // Each output is made of its target and the calibration frames given.
  const std::vector<const BatchFrame*> frames = {&s.bias, &s.dark, &s.flat, &s.flatDark};
  if (json) {
    const auto inputs = [&](int index) {
      std::vector<std::string> files = {c.files[static_cast<std::size_t>(index)]};
      for (const BatchFrame* f : frames)
        if (f->Chosen()) files.push_back(f->path);
      return files;
    };
    const auto settings = [&](JsonWriter& w) {
      const char* names[] = {"bias", "dark", "flat", "flat_dark"};
      for (std::size_t k = 0; k < frames.size(); ++k)
        w.Key(names[k]).StringOrNull(frames[k]->Chosen() ? &frames[k]->path : nullptr);
      w.Key("overwrite")
          .Bool(c.overwrite)
          .Key("out_dir")
          .StringOrNull(c.outDir ? &*c.outDir : nullptr);
      w.Key("prefix").StringOrNull(c.prefix ? &*c.prefix : nullptr);
      w.Key("suffix").StringOrNull(c.suffix ? &*c.suffix : nullptr);
      if (c.bits)
        w.Key("bits").Integer(c.bits);
      else
        w.Key("bits").Null();
    };
    ReportJson(run, "calibrate", total, inputs, settings, &unwritten);
  }
  run.SetSaveBits(c.bits);
  run.ImageProc();
  const int rc = Finish(run, "calibrate", total);
  return rc == 0 && unwritten ? 1 : rc;
}

bool SaveStack(CRalImage& dest, const std::string& out, int bits, const char* command,
               int frames) {
  if (bits != 0) {
    dest.SetOrgBitsPixel(bits);
    if (bits < 0) dest.SetOrgScaling(1.0, 0.0);
  }
  if (CRalImageIO::WriteImageFile(dest, out, 0) != 1) return false;
  std::fprintf(stderr, "%s: %d files -> %s\n", command, frames, out.c_str());
  return true;
}

namespace {

// --rows A:B, FITS rows counted from 1; false when it is not two such numbers in order.
bool ParseRows(const std::string& v, int* a, int* b) {
  const std::size_t colon = v.find(':');
  if (colon == std::string::npos) return false;
  const std::string x = v.substr(0, colon), y = v.substr(colon + 1);
  char* end = nullptr;
  const long first = std::strtol(x.c_str(), &end, 10);
  if (x.empty() || *end) return false;
  const long last = std::strtol(y.c_str(), &end, 10);
  if (y.empty() || *end || first < 1 || last < first || last > 1000000000L) return false;
  *a = static_cast<int>(first), *b = static_cast<int>(last);
  return true;
}

}  // namespace

int StackCommand(const std::vector<std::string>& args) {
  BatchCompositSettings s;
  std::string out, shiftsIn, shiftsOut;
  std::vector<std::string> files;
  bool methodGiven = false, json = false;
  int bits = 0, row1 = 0, row2 = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--clip") {
      s.clipping = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--bits") {
      if (!Value(args, &i, &v) || !ParseBits(v, &bits)) return 2;
    } else if (a == "--rows") {
      if (!Value(args, &i, &v)) return 2;
      if (!ParseRows(v, &row1, &row2)) {
        std::fprintf(stderr, "vantorel-cli: --rows needs FIRST:LAST, 1 <= FIRST <= LAST, not %s\n",
                     v.c_str());
        return 2;
      }
    } else if (a == "--shifts-in" || a == "--shifts-out") {
      if (!Value(args, &i, &v)) return 2;
      (a == "--shifts-in" ? shiftsIn : shiftsOut) = v;
    } else if (a == "--method" || a == "--align" || a == "-o" || a == "--output") {
      if (!Value(args, &i, &v)) return 2;
      if (a == "--method") {
        if (v == "add")
          s.method = BatchCompositSettings::kAdd;
        else if (v == "average")
          s.method = BatchCompositSettings::kAverage;
        else if (v == "median")
          s.method = BatchCompositSettings::kMedian;
        else {
          std::fprintf(stderr, "vantorel-cli: unknown method %s\n", v.c_str());
          return 2;
        }
        methodGiven = true;
      } else if (a == "--align") {
        s.align = true;
        if (v == "centroid")
          s.alignMethod = 0;
        else if (v == "match")
          s.alignMethod = 1;
        else {
          std::fprintf(stderr, "vantorel-cli: unknown alignment %s\n", v.c_str());
          return 2;
        }
      } else {
        out = v;
      }
    } else if (a.starts_with("-")) {
      std::fprintf(stderr, "vantorel-cli: unknown option %s\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
  }
  const bool band = row1 > 0;
  const bool measureOnly = out.empty() && !shiftsOut.empty();
  if (!methodGiven || (out.empty() && !measureOnly) || files.empty()) {
    std::fputs("vantorel-cli: stack needs --method add|average|median, -o OUT and files\n", stderr);
    return 2;
  }
  if ((!shiftsIn.empty() || !shiftsOut.empty()) && !s.align) {
    std::fputs("vantorel-cli: --shifts-in and --shifts-out go with --align\n", stderr);
    return 2;
  }
  if (!shiftsIn.empty() && !shiftsOut.empty()) {
    std::fputs("vantorel-cli: give --shifts-in or --shifts-out, not both\n", stderr);
    return 2;
  }
  if (band && (measureOnly || !shiftsOut.empty())) {
    std::fputs("vantorel-cli: --rows takes the shifts measured beforehand (--shifts-in), not "
               "--shifts-out\n",
               stderr);
    return 2;
  }
  if (band && json) {
    std::fputs("vantorel-cli: --json goes with whole stacks, not with --rows\n", stderr);
    return 2;
  }
  if (band && s.align && shiftsIn.empty()) {
    std::fputs("vantorel-cli: --rows with --align needs --shifts-in FILE, measured once by "
               "stack --shifts-out FILE\n",
               stderr);
    return 2;
  }
  std::vector<StackShift> shifts;
  if (!shiftsIn.empty() && !ReadShiftsFile(shiftsIn, files, &shifts)) return 2;
  StderrMessageBox box;
  ScopedMessageBox scopedBox(&box);
  const int total = static_cast<int>(files.size());
  CBatchComposit run(s, Targets(files));
  run.SetFrameReader(ReadBatchFrame);
  if (!shiftsIn.empty()) run.SetShifts(shifts);
  if (!run.MakeNewDestination(nullptr) || (!band && !run.CheckValue())) {
    std::fputs("vantorel-cli: stack: none of the files could be read\n", stderr);
    return 1;
  }
  // A band: FITS rows row1 … row2 of the stack, held in memory from y0 on.
  const int height = run.GetDestination()->GetHeight();
  const bool bottomUp = batch::IsBottomUp(*run.GetDestination());
  const int y0 = bottomUp ? height - row2 : row1 - 1;
  StackPartInfo part;
  if (band) {
    if (row2 > height) {
      std::fprintf(stderr, "vantorel-cli: --rows %d:%d: the stack has %d rows\n", row1, row2,
                   height);
      return 2;
    }
    const std::string model = files[static_cast<std::size_t>(run.GetDestinationIndex())];
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(model, error);
    part = {row1,
            row2,
            run.GetDestination()->GetWidth(),
            height,
            run.GetDestination()->GetPlanes(),
            InputsDigest(files),
            total,
            StackSettingsText(s, bits, bottomUp),
            shiftsIn.empty() ? "none" : ShiftsDigest(shifts),
            error ? model : absolute.lexically_normal().string()};
    run.SetRows(y0, row2 - row1 + 1);
  }
  InterruptScope interrupt;
  run.SetAbortFlag(&g_interrupted);
  run.SetFileReport(LineReport("stack", total));
  if (measureOnly) {
    const int measured = run.MeasureShifts();
    if (measured && !WriteShiftsFile(shiftsOut, files, run.GetShifts())) return 1;
    if (measured) std::fprintf(stderr, "stack: shifts of %d files -> %s\n", total, shiftsOut.c_str());
    return Finish(run, "stack", total);
  }
  const int done = run.ImageProc();
  if (done && !shiftsOut.empty()) {
    if (!WriteShiftsFile(shiftsOut, files, run.GetShifts())) return 1;
    std::fprintf(stderr, "stack: shifts of %d files -> %s\n", total, shiftsOut.c_str());
  }
  if (done && run.GetFailures().empty() && band) {
    if (!WriteStackPart(out, *run.GetBand(), y0, bottomUp, part)) return 1;
    std::fprintf(stderr, "stack: rows %d to %d of %d files -> %s\n", row1, row2, total,
                 out.c_str());
  } else if (done && run.GetFailures().empty()) {
    CRalImage& dest = *run.GetDestination();
    // The stack carries the header of the frame it was laid on.
    const std::optional<std::string> date = ObservationDate(dest);
    if (!SaveStack(dest, out, bits, "stack", total)) return 1;
    if (json) {
      const int model = std::max(run.GetDestinationIndex(), 0);
      const auto settings = [&](JsonWriter& w) {
        const char* methods[] = {"add", "average", "median"};
        w.Key("method").String(methods[s.method]).Key("clip").Bool(s.clipping).Key("align");
        if (s.align)
          w.String(s.alignMethod == 0 ? "centroid" : "match");
        else
          w.Null();
        if (bits)
          w.Key("bits").Integer(bits);
        else
          w.Key("bits").Null();
      };
      if (!WriteJsonLines("stack", BatchJsonLine(files[static_cast<std::size_t>(model)], date, out,
                                                 files, settings)))
        return 1;
    }
  } else if (!run.WasAborted()) {
    std::fprintf(stderr, "vantorel-cli: stack: %s not written\n", out.c_str());
  }
  const int rc = Finish(run, "stack", total);
  return rc == 0 && !done ? 1 : rc;
}

int OverscanCommand(const std::vector<std::string>& args) {
  Common c;
  BatchOverScanSettings s;
  bool regionGiven = false;
  auto extra = [&](const std::string& a, std::size_t* i) {
    if (a == "--clip") {
      s.clipping = true;
      return 1;
    }
    if (a != "--region") return 0;
    std::string v;
    int r[4];
    if (!Value(args, i, &v)) return -1;
    if (!ParseInt4(v, r)) {
      std::fprintf(stderr, "vantorel-cli: --region needs X1,X2,Y1,Y2, not %s\n", v.c_str());
      return -1;
    }
    s.x1 = r[0], s.x2 = r[1], s.y1 = r[2], s.y2 = r[3];
    regionGiven = true;
    return 1;
  };
  if (!ParseCommon(args, &c, extra)) return 2;
  if (!regionGiven) {
    std::fputs("vantorel-cli: overscan needs --region X1,X2,Y1,Y2\n", stderr);
    return 2;
  }
  s.result = c.overwrite ? 1 : 2;
  s.folder = c.outDir.value_or("");
  s.addCharacters = c.prefix || c.suffix;
  s.position = c.suffix ? 1 : 0;
  s.characters = c.prefix ? *c.prefix : c.suffix.value_or("");

  BatchMessageBox box(c.force);
  ScopedMessageBox scopedBox(&box);
  // The first file stands for the image shown in the program: y counts from its bottom
  // when it is a FITS image shown bottom-up, as for crop.
  {
    CRalImage reference;
    if (ReadBatchImage(c.files[0], reference)) s.SetReference(&reference);
  }
  const int total = static_cast<int>(c.files.size());
  CBatchOverScan run(s, Targets(c.files));
  if (!run.CheckValue()) return Refused(run);
  InterruptScope interrupt;
  run.SetAbortFlag(&g_interrupted);
  run.SetFileReport(LineReport("overscan", total));
  run.SetSaveBits(c.bits);
  run.ImageProc();
  return Finish(run, "overscan", total);
}
