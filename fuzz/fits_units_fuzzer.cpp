// Feeds damaged FITS files to the open path of the dispatcher's FITS branch: the unit
// listing, the "file[unit]" choice, gzip unpacking, tile decompression through cfitsio and
// the reading of an image extension. The first input byte picks the file: the input
// itself, or a sound tile-compressed (RICE, or with bit 6 GZIP tiles, which go through
// cfitsio's own tile reader), gzip-packed or multi-unit file made at start, into which the
// rest of the input writes bytes (offset high, offset low, value) and which bit 2 of the
// first byte cuts short. Every damage must give a code, never a crash; a decoder caught
// in a damaged tile is stopped at a time limit shorter than the product's, and unpacked
// files leave memory for disk at a smaller size, so that both paths are taken often.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileio/fitssource.h"
#include "fits/fits.h"
#include "formats/fitscomp/cfitsiolib.h"
#include "formats/fitscomp/fitscomp.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"

namespace {

class SilentMessageBox : public MessageBox {
 public:
  int Show(const std::string&, const std::string&, unsigned) override { return IDOK; }
};

std::string Card(std::string text) {
  text.resize(80, ' ');
  return text;
}
std::string Key(const std::string& k, const std::string& v) {
  std::string key = k;
  key.resize(8, ' ');
  return Card(key + "= " + std::string(v.size() < 20 ? 20 - v.size() : 0, ' ') + v);
}
std::string Padded(std::string s, char fill) {
  s.resize((s.size() + 2879) / 2880 * 2880, fill);
  return s;
}
// A 16-bit image unit of w x h with a ramp of values.
std::string Image(bool primary, int w, int h, const std::string& name) {
  std::string head = primary ? Key("SIMPLE", "T") : Key("XTENSION", "'IMAGE   '");
  head += Key("BITPIX", "16") + Key("NAXIS", "2") + Key("NAXIS1", std::to_string(w)) +
          Key("NAXIS2", std::to_string(h));
  if (!primary) head += Key("PCOUNT", "0") + Key("GCOUNT", "1") + Key("EXTNAME", "'" + name + "'");
  head += Card("END");
  std::string data;
  for (int i = 0; i < w * h; ++i) {
    data += static_cast<char>((i * 7 >> 8) & 0xFF);
    data += static_cast<char>(i * 7 & 0xFF);
  }
  return Padded(head, ' ') + Padded(data, '\0');
}

std::string Slurp(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  return out;
}

std::vector<std::string> g_bases;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::getenv("VANTOREL_CONFIG_HOME")) {
    static std::string config = "/tmp/fits-units-fuzz-config";
    ::setenv("VANTOREL_CONFIG_HOME", config.c_str(), 1);
  }
  static SilentMessageBox box;
  SetMessageBox(&box);
  static AcceptingPrompts accept;  // the unit question: the first image; a cube: plane 1
  SetUserPrompts(&accept);
  // Far below the product's limit, so that a forged size costs little time.
  (void)fitscomp::SetMaxImageBytes(64ull << 20);
  (void)fitscomp::SetUnpackTimeLimit({1000, 4 << 10});
  (void)fitscomp::SetInMemoryLimit(64 << 10);

  fitscomp::TempFile plain, fz, gz, gzipTiles;
  if (!plain.Create() || !fz.Create() || !gz.Create() || !gzipTiles.Create()) std::abort();
  const std::string simple = Image(true, 40, 30, "");
  if (::pwrite(plain.fd(), simple.data(), simple.size(), 0) != static_cast<ssize_t>(simple.size()))
    std::abort();
  // Each packed file is taken as soon as it is written: the file a save renames into a
  // temporary's place is no longer under its lock, and the next packed save's sweep of
  // ".vtl-fitscomp-*" leftovers would take it.
  if (fitscomp::RiceCompressFile(plain.path(), fz.path()) != 0) std::abort();
  const std::string rice = Slurp(fz.path());
  if (fitscomp::GzipFile(plain.path(), gz.path()) != 0) std::abort();
  const std::string packed = Slurp(gz.path());
  // cfitsio creates no file that exists.
  const fitscomp::CfitsioApi* lib = fitscomp::Cfitsio();
  int status = 0;
  fitsfile *in = nullptr, *out = nullptr;
  ::unlink(gzipTiles.path().c_str());
  if (!lib || lib->open_diskfile(&in, plain.path().c_str(), READONLY, &status) ||
      lib->create_diskfile(&out, gzipTiles.path().c_str(), &status) ||
      lib->set_compression_type(out, GZIP_1, &status) || lib->img_compress(in, out, &status))
    std::abort();
  lib->close_file(out, &status);
  lib->close_file(in, &status);
  if (status) std::abort();
  const std::string empty = Padded(Key("SIMPLE", "T") + Key("BITPIX", "8") + Key("NAXIS", "0") +
                                       Key("EXTEND", "T") + Card("END"),
                                   ' ');
  g_bases = {rice, packed, empty + Image(false, 8, 6, "SCI") + Image(false, 5, 4, "ERR"),
             Slurp(gzipTiles.path())};
  for (const std::string& base : g_bases)
    if (base.empty()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int base = data[0] % 4;
  std::string file;
  if (base == 0) {
    file.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    file = g_bases[base == 1 && (data[0] & 0x40) ? 3 : static_cast<std::size_t>(base - 1)];
    for (std::size_t i = 1; i + 2 < size; i += 3) {
      const std::size_t at = (static_cast<std::size_t>(data[i]) << 8 | data[i + 1]) % file.size();
      file[at] = static_cast<char>(data[i + 2]);
    }
    if ((data[0] & 4) && size > 1) file.resize(file.size() * data[size - 1] / 256);
  }
  if (!fuzz_input::Write(reinterpret_cast<const std::uint8_t*>(file.data()), file.size())) return 0;
  const std::string path = fuzz_input::Path();

  std::vector<FitsHdu> units;
  (void)ListFitsUnits(path, &units);
  // The unit named as the input's first byte says, or the one the dispatcher picks.
  const std::string name = (data[0] & 8) ? path + "[" + std::to_string(data[0] >> 4) + "]" : path;
  // Odd sizes read as the program opens a file, the pixels taken while they are unpacked;
  // some even ones read the pixels of a source resolved for its headers alone.
  const FitsSourceRead read = (size & 1)        ? FitsSourceRead::kStream
                              : (size % 4 == 2) ? FitsSourceRead::kHeaders
                                                : FitsSourceRead::kWhole;
  FitsSource source;
  if (ResolveFitsSource(name, &source, read) != 0) return 0;
  CImage image;
  int rc = 0;
  {
    FitsSourceGate gate(source);
    rc = CFits::Read(image, source.readPath, 1, 0, 0, 1, 2, nullptr, "", 0, 0, source.readHdu);
  }
  if (source.unpacking && source.unpacking->Finish() != 0) return 0;
  if (rc != 0) return 0;
  if (image.GetWidth() <= 0 || image.GetHeight() <= 0 || image.IsEmpty()) __builtin_trap();
  return 0;
}
