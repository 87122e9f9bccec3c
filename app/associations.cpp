#include "app/associations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace associations {

const std::vector<FileFamily>& Families() {
  static const std::vector<FileFamily> families = {
      {"assocFits", "FITS (.fits .fit .fts)", {"fits", "fit", "fts"}, {"image/fits"}},
      {"assocBmp", "BMP/DIB (.bmp .dib)", {"bmp", "dib"}, {"image/bmp"}},
      {"assocBitran", "Bitran (.ccd .drk .flt .fdk)", {"ccd", "drk", "flt", "fdk"},
       {"application/x-vantorel-bitran"}},
      {"assocGif", "GIF (.gif)", {"gif"}, {"image/gif"}},
      {"assocJpeg", "JPEG (.jpg .jpeg)", {"jpg", "jpeg"}, {"image/jpeg"}},
      {"assocMutoh", "Mutoh (.mtf .bin)", {"mtf", "bin"}, {"application/x-vantorel-mutoh"}},
      {"assocTiff", "TIFF (.tiff .tif)", {"tiff", "tif"}, {"image/tiff"}},
      {"assocRaw", "RAW (.raw)", {"raw"}, {"application/x-vantorel-raw"}},
      {"assocPng", "PNG (.png)", {"png"}, {"image/png"}},
  };
  return families;
}

namespace {

QString EnvFolder(const char* name, const QString& fallback) {
  const QByteArray v = qgetenv(name);
  return v.isEmpty() ? QDir::homePath() + fallback : QString::fromLocal8Bit(v);
}

// mimeapps.list as lines, and the [Default Applications] entries.
// Read and written as regular files only: a FIFO in their place neither hangs the
// program nor is replaced.
QStringList ReadLines(const QString& path) {
  constexpr std::uint64_t kMaxBytes = 1 << 20;
  std::string text;
  if (ReadFileToString(path.toStdString(), kMaxBytes, text) != 0) return {};
  return QString::fromStdString(text).split('\n');
}

bool WriteText(const QString& path, const QString& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  // Written beside and renamed over: the old file survives a failure.
  const QByteArray bytes = text.toUtf8();
  AtomicFile f;
  return f.Open(path.toStdString()) == 0 &&
         f.Write(bytes.constData(), static_cast<std::size_t>(bytes.size())) == 0 && f.Commit() == 0;
}

QString DefaultOf(const QStringList& lines, const QString& mime) {
  bool inDefaults = false;
  for (const QString& raw : lines) {
    const QString line = raw.trimmed();
    if (line.startsWith('[')) {
      inDefaults = line == QLatin1String("[Default Applications]");
      continue;
    }
    if (inDefaults && line.startsWith(mime + '=')) return line.mid(mime.size() + 1).trimmed();
  }
  return {};
}

bool WriteDesktopAndMime() {
  const QString exec = QCoreApplication::applicationFilePath();
  QString desktop = QStringLiteral(
      "[Desktop Entry]\nType=Application\nName=Vantorel\nGenericName=Astronomical image processor\n"
      "Comment=View and process FITS images\nIcon=vantorel\nExec=\"%1\" %f\nTerminal=false\n"
      "Categories=Graphics;Science;Astronomy;\nMimeType=").arg(exec.isEmpty() ? QStringLiteral("vantorel") : exec);
  for (const FileFamily& f : Families()) desktop += f.mimeTypes.join(';') + ';';
  desktop += '\n';
  if (!WriteText(DataHome() + "/applications/" + kDesktopFile, desktop)) return false;
  QString xml = QStringLiteral(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n");
  for (const FileFamily& f : Families()) {
    if (!f.mimeTypes.front().startsWith(QLatin1String("application/x-vantorel-"))) continue;
    xml += QStringLiteral("  <mime-type type=\"%1\">\n    <comment>%2</comment>\n")
               .arg(f.mimeTypes.front(), QString::fromUtf8(f.label));
    for (const QString& e : f.extensions) xml += QStringLiteral("    <glob pattern=\"*.%1\"/>\n").arg(e);
    xml += QStringLiteral("  </mime-type>\n");
  }
  xml += QStringLiteral("</mime-info>\n");
  return WriteText(DataHome() + "/mime/packages/vantorel.xml", xml);
}

}  // namespace

QString DataHome() {
  return EnvFolder("XDG_DATA_HOME", QStringLiteral("/.local/share"));
}

QString ConfigHome() {
  return EnvFolder("XDG_CONFIG_HOME", QStringLiteral("/.config"));
}

QString MimeAppsPath() {
  return ConfigHome() + "/mimeapps.list";
}

bool IsAssociated(const FileFamily& family) {
  const QStringList lines = ReadLines(MimeAppsPath());
  for (const QString& mime : family.mimeTypes) {
    const QStringList apps = DefaultOf(lines, mime).split(';', Qt::SkipEmptyParts);
    if (apps.isEmpty() || apps.front() != QLatin1String(kDesktopFile)) return false;
  }
  return true;
}

bool SetAssociated(const FileFamily& family, bool on) {
  QStringList lines = ReadLines(MimeAppsPath());
  while (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  int section = -1;
  for (int i = 0; i < lines.size(); ++i)
    if (lines[i].trimmed() == QLatin1String("[Default Applications]")) section = i;
  if (section < 0) {
    if (!on) return true;
    lines << QStringLiteral("[Default Applications]");
    section = lines.size() - 1;
  }
  for (const QString& mime : family.mimeTypes) {
    int found = -1;
    for (int i = section + 1; i < lines.size() && !lines[i].trimmed().startsWith('['); ++i)
      if (lines[i].trimmed().startsWith(mime + '=')) found = i;
    const QString entry = mime + '=' + kDesktopFile + ';';
    if (on) {
      if (found >= 0) lines[found] = entry;
      else lines.insert(section + 1, entry);
    } else if (found >= 0 && DefaultOf(lines, mime).split(';').front() == QLatin1String(kDesktopFile)) {
      lines.removeAt(found);
    }
  }
  if (on && !WriteDesktopAndMime()) return false;
  return WriteText(MimeAppsPath(), lines.join('\n') + '\n');
}

}  // namespace associations
