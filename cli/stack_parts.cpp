// The shifts file, the part files of a stack shared out by rows, and `join`.
#include "cli/stack_parts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "batch/batchrun.h"
#include "cli/commands.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "platform/files.h"
#include "platform/messagebox.h"

namespace {

// FNV-1a, 64 bits, as 16 hexadecimal digits: a digest to compare, not a safeguard.
std::string Digest(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Card(const std::string& key, const std::string& value, const std::string& comment) {
  std::string card = key;
  card.resize(8, ' ');
  card += "= " + value;
  if (!comment.empty()) {
    if (card.size() < 31) card.resize(31, ' ');
    card += " / " + comment;
  }
  card.resize(80, ' ');
  return card;
}

std::string IntCard(const std::string& key, long long v, const std::string& comment) {
  char value[32];
  std::snprintf(value, sizeof value, "%20lld", v);
  return Card(key, value, comment);
}

// A string value: quotes doubled, at most 68 characters.
std::string StringCard(const std::string& key, const std::string& v, const std::string& comment) {
  std::string quoted = "'";
  for (char c : v) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  while (quoted.size() < 9) quoted += ' ';
  return Card(key, quoted + "'", comment);
}

// Long strings go in pieces of 60 characters, KEYnnn for the nth.
void LongString(std::vector<std::string>* cards, const std::string& stem, const std::string& v) {
  const std::size_t pieces = std::max<std::size_t>(1, (v.size() + 59) / 60);
  for (std::size_t i = 0; i < pieces && i < 999; ++i) {
    std::string number = std::to_string(i + 1);
    number.insert(0, 3 - number.size(), '0');
    cards->push_back(StringCard(stem + number, v.substr(i * 60, 60), ""));
  }
}

void PutBigEndian(double v, unsigned char* out) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int b = 7; b >= 0; --b, bits >>= 8) out[b] = static_cast<unsigned char>(bits & 0xff);
}

double GetBigEndian(const unsigned char* in) {
  std::uint64_t bits = 0;
  for (int b = 0; b < 8; ++b) bits = (bits << 8) | in[b];
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// A part as read back: its cards by keyword, and where its data begin.
struct Part {
  std::string path;
  std::map<std::string, std::string> cards;  // values, strings without their quotes
  std::uint64_t dataStart = 0;
  StackPartInfo info;
};

std::string Unquote(std::string v) {
  const std::size_t slash = v.find(" /");
  if (!v.empty() && v[0] == '\'') {
    std::string out;
    for (std::size_t i = 1; i < v.size(); ++i) {
      if (v[i] == '\'') {
        if (i + 1 < v.size() && v[i + 1] == '\'') {
          out += '\'';
          ++i;
          continue;
        }
        break;
      }
      out += v[i];
    }
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
  }
  if (slash != std::string::npos) v.erase(slash);
  v.erase(0, v.find_first_not_of(' '));
  v.erase(v.find_last_not_of(' ') + 1);
  return v;
}

bool ParseInt(const std::string& s, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtoll(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

// Reads a part: false after printing why.
bool ReadPart(const std::string& path, Part* part) {
  part->path = path;
  std::ifstream in(path, std::ios::binary);
  struct stat st {};
  if (!in || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "vantorel-cli: join: %s cannot be read\n", path.c_str());
    return false;
  }
  bool end = false;
  std::size_t at = 0;
  char card[80];
  for (; at < (std::size_t{1} << 24) && !end && in.read(card, 80); at += 80) {
    std::string key(card, 8);
    key.erase(key.find_last_not_of(' ') + 1);
    if (key == "END")
      end = true;
    else if (std::strncmp(card + 8, "= ", 2) == 0)
      part->cards[key] = Unquote(std::string(card + 10, 70));
  }
  part->dataStart = (at + 2879) / 2880 * 2880;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  long long v[7];
  const char* keys[] = {"VTROW1", "VTROW2", "NAXIS1", "VTHEIGHT", "VTFRAMES", "BITPIX", "NAXIS"};
  bool ok = end && part->cards.count("VTPART") && part->cards["VTPART"] == "stack rows";
  for (int k = 0; k < 7 && ok; ++k) ok = ParseInt(part->cards[keys[k]], &v[k]);
  if (!ok) {
    std::fprintf(stderr, "vantorel-cli: join: %s is not a part written by stack --rows\n",
                 path.c_str());
    return false;
  }
  StackPartInfo& i = part->info;
  i.row1 = static_cast<int>(v[0]), i.row2 = static_cast<int>(v[1]);
  i.width = static_cast<int>(v[2]), i.height = static_cast<int>(v[3]);
  i.frames = static_cast<int>(v[4]);
  long long planes = 1;
  if (v[6] == 3 && !ParseInt(part->cards["NAXIS3"], &planes)) planes = 0;
  i.planes = static_cast<int>(planes);
  i.inputs = part->cards["VTINPUTS"];
  i.settings = part->cards["VTSETS"];
  i.shifts = part->cards["VTSHIFTS"];
  for (int k = 1; part->cards.count("VTMOD" + std::string(k < 10 ? "00" : "0") + std::to_string(k));
       ++k)
    i.model += part->cards["VTMOD" + std::string(k < 10 ? "00" : "0") + std::to_string(k)];
  long long naxis2 = 0;
  const std::uint64_t need = part->dataStart + static_cast<std::uint64_t>(i.width) *
                                                   (i.row2 - i.row1 + 1) * i.planes * 8;
  if (v[5] != -64 || i.row1 < 1 || i.row2 < i.row1 || i.row2 > i.height || i.width < 1 ||
      i.planes < 1 || !ParseInt(part->cards["NAXIS2"], &naxis2) ||
      naxis2 != i.row2 - i.row1 + 1 || size < need) {
    std::fprintf(stderr, "vantorel-cli: join: %s is damaged (its size or cards disagree)\n",
                 path.c_str());
    return false;
  }
  return true;
}

std::string SettingsText(const BatchCompositSettings& s, int bits, bool bottomUp) {
  const char* methods[] = {"add", "average", "median"};
  std::string text = std::string("method=") + methods[s.method] + " clip=" +
                     (s.clipping ? "1" : "0") + " align=" +
                     (s.align ? (s.alignMethod == 0 ? "centroid" : "match") : "none") +
                     " bits=" + std::to_string(bits) + " rows=" + (bottomUp ? "up" : "down");
  return text;
}

bool ParseSettingsText(const std::string& text, BatchCompositSettings* s, int* bits) {
  std::istringstream in(text);
  std::string word;
  int seen = 0;
  while (in >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string k = word.substr(0, eq), v = word.substr(eq + 1);
    if (k == "method") {
      s->method = v == "add"       ? BatchCompositSettings::kAdd
                  : v == "average" ? BatchCompositSettings::kAverage
                  : v == "median"  ? BatchCompositSettings::kMedian
                                   : -1;
      if (s->method < 0) return false;
    } else if (k == "clip") {
      s->clipping = v == "1";
    } else if (k == "align") {
      s->align = v != "none";
      s->alignMethod = v == "match" ? 1 : 0;
    } else if (k == "rows") {
      if (v != "up" && v != "down") return false;
    } else if (k == "bits") {
      long long b = 0;
      if (!ParseInt(v, &b)) return false;
      *bits = static_cast<int>(b);
    } else {
      return false;
    }
    ++seen;
  }
  return seen == 5;
}

}  // namespace

std::string StackSettingsText(const BatchCompositSettings& s, int bits, bool bottomUp) {
  return SettingsText(s, bits, bottomUp);
}

std::string InputsDigest(const std::vector<std::string>& files) {
  std::string text;
  for (const std::string& f : files) {
    struct stat st {};
    const long long size = ::stat(f.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    text += BaseName(f) + '\0' + std::to_string(size) + '\n';
  }
  return Digest(text);
}

std::string ShiftsDigest(const std::vector<StackShift>& shifts) {
  std::string text;
  char line[128];
  for (const StackShift& s : shifts) {
    std::snprintf(line, sizeof line, "%.17g %.17g %.17g %d\n", s.dx, s.dy, s.rotation,
                  s.aligned ? 1 : 0);
    text += line;
  }
  return Digest(text);
}

bool WriteShiftsFile(const std::string& path, const std::vector<std::string>& files,
                     const std::vector<StackShift>& shifts) {
  std::string text =
      "# vantorel-cli stack shifts: INDEX DX DY ROTATION ALIGNED FILE (pixels, degrees)\n";
  char line[160];
  for (std::size_t i = 0; i < files.size() && i < shifts.size(); ++i) {
    const StackShift& s = shifts[i];
    std::snprintf(line, sizeof line, "%zu %.17g %.17g %.17g %d ", i + 1, s.dx, s.dy, s.rotation,
                  s.aligned ? 1 : 0);
    text += line + files[i] + "\n";
  }
  if (int e = WriteTextFile(path, text)) {
    std::fprintf(stderr, "vantorel-cli: stack: %s: %s\n", path.c_str(), FileErrorText(e).c_str());
    return false;
  }
  return true;
}

bool ReadShiftsFile(const std::string& path, const std::vector<std::string>& files,
                    std::vector<StackShift>* shifts) {
  std::string text;
  if (int e = ReadFileToString(path, std::uint64_t{1} << 30, text)) {
    std::fprintf(stderr, "vantorel-cli: stack: %s: %s\n", path.c_str(), FileErrorText(e).c_str());
    return false;
  }
  shifts->clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    long long index = 0;
    StackShift s;
    int aligned = -1;
    std::string name;
    fields >> index >> s.dx >> s.dy >> s.rotation >> aligned;
    std::getline(fields >> std::ws, name);
    const std::size_t k = shifts->size();
    if (!fields.eof() && fields.fail()) name.clear();
    if (index != static_cast<long long>(k) + 1 || (aligned != 0 && aligned != 1) || name.empty() ||
        !std::isfinite(s.dx) || !std::isfinite(s.dy) || !std::isfinite(s.rotation)) {
      std::fprintf(stderr,
                   "vantorel-cli: stack: %s, line %d: expected \"%zu DX DY ROTATION 0|1 FILE\"\n",
                   path.c_str(), number, k + 1);
      return false;
    }
    if (k >= files.size() || BaseName(name) != BaseName(files[k])) {
      std::fprintf(stderr, "vantorel-cli: stack: %s, line %d names %s, but file %zu given is %s\n",
                   path.c_str(), number, name.c_str(), k + 1,
                   k < files.size() ? files[k].c_str() : "(none)");
      return false;
    }
    s.aligned = aligned == 1;
    shifts->push_back(s);
  }
  if (shifts->size() != files.size()) {
    std::fprintf(stderr, "vantorel-cli: stack: %s holds %zu frames, %zu files given\n",
                 path.c_str(), shifts->size(), files.size());
    return false;
  }
  return true;
}

bool WriteStackPart(const std::string& path, const CRalImage& band, int y0, bool bottomUp,
                    const StackPartInfo& info) {
  const int w = band.GetWidth(), planes = band.GetPlanes(), rows = band.GetHeight();
  std::vector<std::string> cards = {
      Card("SIMPLE", "                   T", ""),
      IntCard("BITPIX", -64, ""),
      IntCard("NAXIS", planes > 1 ? 3 : 2, ""),
      IntCard("NAXIS1", w, ""),
      IntCard("NAXIS2", rows, ""),
  };
  if (planes > 1) cards.push_back(IntCard("NAXIS3", planes, ""));
  cards.push_back(StringCard("VTPART", "stack rows", "part of a stack; vantorel-cli join"));
  cards.push_back(IntCard("VTROW1", info.row1, "first row of the stack held"));
  cards.push_back(IntCard("VTROW2", info.row2, "last row of the stack held"));
  cards.push_back(IntCard("VTHEIGHT", info.height, "rows of the whole stack"));
  cards.push_back(IntCard("VTFRAMES", info.frames, "files stacked"));
  cards.push_back(StringCard("VTINPUTS", info.inputs, "digest of their names and sizes"));
  cards.push_back(StringCard("VTSETS", info.settings, "stack settings"));
  cards.push_back(StringCard("VTSHIFTS", info.shifts, "digest of the shifts given"));
  LongString(&cards, "VTMOD", info.model);
  cards.push_back(std::string("END").append(77, ' '));
  std::string header;
  for (const std::string& c : cards) header += c;
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  BufferedAtomicFile file;
  if (int e = file.Open(path)) {
    std::fprintf(stderr, "vantorel-cli: stack: %s: %s\n", path.c_str(), FileErrorText(e).c_str());
    return false;
  }
  bool ok = file.Put(header.data(), header.size());
  std::vector<double> values(static_cast<std::size_t>(w));
  std::vector<unsigned char> out(values.size() * 8);
  std::uint64_t written = 0;
  const int h = info.height;
  for (int p = 0; p < planes && ok; ++p)
    for (int r = info.row1; r <= info.row2 && ok; ++r) {
      const int y = bottomUp ? h - r : r - 1;
      ok = imgsample::ReadSpan(band, 0, w, y - y0, p, values.data());
      for (int x = 0; x < w && ok; ++x) PutBigEndian(values[x], &out[static_cast<std::size_t>(x) * 8]);
      ok = ok && file.Put(out.data(), out.size());
      written += out.size();
    }
  const std::string pad((2880 - written % 2880) % 2880, '\0');
  ok = ok && file.Put(pad.data(), pad.size()) && file.Commit();
  if (!ok) std::fprintf(stderr, "vantorel-cli: stack: %s could not be written\n", path.c_str());
  return ok;
}

// join PART... -o OUT: the parts checked against each other, then their rows laid into the
// destination the stack prepares from its model, which is saved as the stack saves it.
int JoinCommand(const std::vector<std::string>& args) {
  std::string out;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" || args[i] == "--output") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "vantorel-cli: %s needs a value\n", args[i].c_str());
        return 2;
      }
      out = args[++i];
    } else if (args[i].starts_with("-")) {
      std::fprintf(stderr, "vantorel-cli: unknown option %s\n", args[i].c_str());
      return 2;
    } else {
      paths.push_back(args[i]);
    }
  }
  if (out.empty() || paths.empty()) {
    std::fputs("vantorel-cli: join needs parts and -o OUT\n", stderr);
    return 2;
  }
  std::vector<Part> parts(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i)
    if (!ReadPart(paths[i], &parts[i])) return 1;
  // One stack: the same grid, inputs, settings, shifts and model in every part.
  const StackPartInfo& a = parts[0].info;
  for (const Part& p : parts) {
    const StackPartInfo& b = p.info;
    const char* what = b.width != a.width || b.height != a.height || b.planes != a.planes
                           ? "the size of the stack"
                       : b.inputs != a.inputs || b.frames != a.frames ? "the files stacked"
                       : b.settings != a.settings                     ? "the settings"
                       : b.shifts != a.shifts                         ? "the shifts"
                       : b.model != a.model                           ? "the file laid on"
                                                                      : nullptr;
    if (what) {
      std::fprintf(stderr,
                   "vantorel-cli: join: %s and %s differ in %s (%s / %s); nothing written\n",
                   parts[0].path.c_str(), p.path.c_str(), what,
                   b.settings != a.settings ? a.settings.c_str() : "",
                   b.settings != a.settings ? b.settings.c_str() : "");
      return 1;
    }
  }
  // Each row exactly once.
  std::vector<const Part*> order;
  for (const Part& p : parts) order.push_back(&p);
  std::sort(order.begin(), order.end(),
            [](const Part* x, const Part* y) { return x->info.row1 < y->info.row1; });
  int next = 1;
  for (const Part* p : order) {
    if (p->info.row1 > next) {
      std::fprintf(stderr, "vantorel-cli: join: rows %d to %d are in no part; nothing written\n",
                   next, p->info.row1 - 1);
      return 1;
    }
    if (p->info.row1 < next) {
      std::fprintf(stderr,
                   "vantorel-cli: join: rows %d to %d are in more than one part (%s); nothing "
                   "written\n",
                   p->info.row1, std::min(next - 1, p->info.row2), p->path.c_str());
      return 1;
    }
    next = p->info.row2 + 1;
  }
  if (next != a.height + 1) {
    std::fprintf(stderr, "vantorel-cli: join: rows %d to %d are in no part; nothing written\n",
                 next, a.height);
    return 1;
  }
  BatchCompositSettings settings;
  int bits = 0;
  if (!ParseSettingsText(a.settings, &settings, &bits)) {
    std::fprintf(stderr, "vantorel-cli: join: %s: settings not understood: %s\n",
                 parts[0].path.c_str(), a.settings.c_str());
    return 1;
  }
  // The destination as the stack prepares it from its model.
  StderrMessageBox box;
  ScopedMessageBox scopedBox(&box);
  CBatchComposit run(settings, {BatchTarget{a.model, nullptr}});
  if (!run.MakeNewDestination(nullptr) || !run.CheckValue()) {
    std::fprintf(stderr, "vantorel-cli: join: %s, the file the stack was laid on, cannot be read\n",
                 a.model.c_str());
    return 1;
  }
  CRalImage& image = *run.GetDestination();
  if (image.GetWidth() != a.width || image.GetHeight() != a.height ||
      image.GetPlanes() != a.planes) {
    std::fprintf(stderr, "vantorel-cli: join: %s is no longer the size the parts were made on\n",
                 a.model.c_str());
    return 1;
  }
  const bool bottomUp = batch::IsBottomUp(image);
  std::vector<double> values(static_cast<std::size_t>(a.width));
  std::vector<unsigned char> row(values.size() * 8);
  for (const Part* p : order) {
    std::ifstream in(p->path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(p->dataStart));
    for (int plane = 0; plane < a.planes; ++plane)
      for (int r = p->info.row1; r <= p->info.row2; ++r) {
        if (!in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(row.size()))) {
          std::fprintf(stderr, "vantorel-cli: join: %s cannot be read\n", p->path.c_str());
          return 1;
        }
        for (int x = 0; x < a.width; ++x) values[x] = GetBigEndian(&row[static_cast<std::size_t>(x) * 8]);
        const int y = bottomUp ? a.height - r : r - 1;
        if (!imgsample::WriteSpan(image, 0, a.width, y, plane, values.data())) {
          std::fputs("vantorel-cli: join: out of memory\n", stderr);
          return 1;
        }
      }
  }
  return SaveStack(image, out, bits, "join", a.frames) ? 0 : 1;
}
