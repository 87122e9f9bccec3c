// vantorel-cli import: a text file of FITS header cards and numbers becomes an image,
// with the answers of the program's two import dialogs given as flags. The answers the
// flags leave open are those the dialogs would offer: sizes, scaling and author from the
// file's header, the layout as the dialog last stored it.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "formats/fio/fileiomsg.h"
#include "formats/raw/dataimport.h"
#include "platform/clocale.h"
#include "settings/registry.h"

namespace {

constexpr const char* kUsage =
    "usage: vantorel-cli import IN.txt OUT [--axes 1|2] [--size W[,H]] [--rows N]\n"
    "         [--kind image|spectrum] [--dispaxis N] [--column N] [--bscale X] [--bzero X]\n"
    "         [--author TEXT] [--fixed N | --separator TEXT | --tab] [--order rows|columns]\n"
    "         [--line-ends delimit|ignore]\n";

bool ParseInt(const std::string& s, int* v) {
  std::size_t end = 0;
  return ParseDecimalInt(s, v, &end) && end == s.size();
}

bool ParseReal(const std::string& s, double* v) {
  std::size_t end = 0;
  return ParseDecimalDouble(s, v, &end, true) && end == s.size();
}

// Shows the words of an import code, or the file message of a reader's code.
void Report(int code, const std::string& path) {
  if (code < 100)
    std::fprintf(stderr, "vantorel-cli: %s\n", FileioMessageText(code, path).c_str());
  else
    std::fprintf(stderr, "vantorel-cli: %s\n", DataImportText(code).c_str());
}

}  // namespace

int ImportCommand(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  DataImportAnswers a;
  DataImportLayout& l = a.layout;
  // The layout the dialog stored last, as it would open with it.
  constexpr std::string_view kSection = "Dialog\\DataImport";
  CRegistry::Read(kSection, "Delimit", 0, l.delimit, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Fix", 0, l.fieldLength, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Return", 0, l.lineEnds, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Sequence", 0, l.sequence, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Type", 0, l.kind, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Separator", "", l.separator);
  CRegistry::Read("Dialog\\Enviroment", "FitsHeight", 1, a.oneDimensionHeight, CRegistry::TYPE_INT);
  int axes = 0, width = 0, height = 0, dispAxis = 1;
  bool sizeGiven = false;
  std::optional<double> bscale, bzero;
  std::optional<std::string> author;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name.empty() || name[0] != '-' || name == "-") {
      files.push_back(name);
      continue;
    }
    if (name == "--tab") {
      l.delimit = 2;
      continue;
    }
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "vantorel-cli: %s needs a value\n%s", name.c_str(), kUsage);
      return 2;
    }
    const std::string& value = args[++i];
    bool ok = true;
    double d = 0;
    if (name == "--axes") {
      ok = ParseInt(value, &axes);
    } else if (name == "--size") {
      const std::size_t comma = value.find(',');
      ok = ParseInt(value.substr(0, comma), &width) &&
           (comma == std::string::npos || ParseInt(value.substr(comma + 1), &height));
      sizeGiven = true;
    } else if (name == "--rows") {
      ok = ParseInt(value, &a.oneDimensionHeight);
    } else if (name == "--kind") {
      ok = value == "image" || value == "spectrum";
      l.kind = value == "spectrum" ? 1 : 0;
    } else if (name == "--dispaxis") {
      ok = ParseInt(value, &dispAxis) && (dispAxis == 1 || dispAxis == 2);
    } else if (name == "--column") {
      ok = ParseInt(value, &a.column) && a.column > 0;
    } else if (name == "--bscale") {
      ok = ParseReal(value, &d);
      bscale = d;
    } else if (name == "--bzero") {
      ok = ParseReal(value, &d);
      bzero = d;
    } else if (name == "--author") {
      author = value;
    } else if (name == "--fixed") {
      l.delimit = 0;
      ok = ParseInt(value, &l.fieldLength) && l.fieldLength > 0;
    } else if (name == "--separator") {
      l.delimit = 1;
      l.separator = value;
      ok = !value.empty();
    } else if (name == "--order") {
      ok = value == "rows" || value == "columns";
      l.sequence = value == "columns" ? 1 : 0;
    } else if (name == "--line-ends") {
      ok = value == "delimit" || value == "ignore";
      l.lineEnds = value == "ignore" ? 1 : 0;
    } else {
      std::fprintf(stderr, "vantorel-cli: unknown option %s\n%s", name.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "vantorel-cli: bad value for %s: %s\n", name.c_str(), value.c_str());
      return 2;
    }
  }
  if (files.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string& in = files[0];
  const std::string& out = files[1];

  // What the dialogs offer comes from the file's header.
  CRalImage header;
  if (int rc = DataImportReadHeader(header, in)) {
    Report(rc, in);
    return 1;
  }
  if (axes == 0) axes = header.GetPlanes() == 1 ? (header.GetHeight() == 1 ? 1 : 2) : 0;
  if (!sizeGiven) {
    width = header.GetWidth();
    height = header.GetHeight();
  }
  a.axes = axes;
  a.width = width;
  a.height = height;
  l.bscale = bscale.value_or(header.GetBscale());
  l.bzero = bzero.value_or(header.GetBzero());
  if (!author) {
    std::string fromHeader;
    if (header.GetAuthor(&fromHeader)) author = fromHeader;
  }
  l.author = author.value_or("");

  CRalImage image;
  int columns = 0;
  const int rc = DataImport(image, in, a, &columns);
  if (rc == DIMP_ASK_COLUMN) {
    std::fprintf(stderr, "vantorel-cli: %s\n  (choose one with --column N)\n",
                 DataImportText(rc, columns).c_str());
    return 1;
  }
  if (rc != DIMP_OK) {
    Report(rc, in);
    return 1;
  }
  if (l.kind == 1) image.SetDispAxis(dispAxis);
  return CRalImageIO::WriteImageFile(image, out, 0) == 1 ? 0 : 1;
}
