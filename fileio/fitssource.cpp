// Resolves a FITS name to the file, unit and temporary copies the reader needs, unpacking
// no more than the read takes.
#include "fileio/fitssource.h"

#include <sys/stat.h>

#include <algorithm>

#include "fileio/prompts.h"
#include "fits/fileiocodes.h"
#include "fits/fits.h"
#include "platform/userprompts.h"

namespace {

std::string SizeText(const FitsHdu& hdu) {
  std::string text;
  for (std::size_t i = 0; i < hdu.axes.size(); ++i) {
    if (i) text += " x ";
    text += std::to_string(hdu.axes[i]);
  }
  return text;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string FitsFileOfName(const std::string& name) {
  std::string file, spec;
  if (IsRegularFile(name) || !SplitExtendedName(name, &file, &spec)) return name;
  return file;
}

int ResolveFitsSource(const std::string& name, FitsSource* source, FitsSourceRead read) {
  const bool stream = read == FitsSourceRead::kStream;
  std::string spec;
  source->file = name;
  // A file whose own name ends in brackets is that file.
  if (!IsRegularFile(name) && !SplitExtendedName(name, &source->file, &spec))
    return FIO_ERR_NO_UNIT;
  // A number that is no int from 0 up names no unit; read, it would have named the first.
  if (FitsUnitSpec parsed; !spec.empty() && !ParseFitsUnitSpec(spec, &parsed))
    return FIO_ERR_BAD_UNIT;
  std::string listed = source->file;
  if (fitscomp::IsGzipFile(source->file)) {
    source->packed = true;
    source->unpacked = std::make_unique<fitscomp::TempFile>();
    if (!source->unpacked->CreateInMemory()) return FIO_ERR_CREATE;
    if (int rc = fitscomp::GunzipAroundImage(source->file, *source->unpacked, &source->hole))
      return rc;
    listed = source->unpacked->path();
  }
  // What the reader will not take from the stream must be in the file; a read of headers
  // alone takes nothing from the hole.
  auto fillHole = [&] {
    return source->unpacked && read != FitsSourceRead::kHeaders
               ? fitscomp::FillGzipHole(source->file, *source->unpacked, &source->hole)
               : FIO_OK;
  };
  int listing = ListFitsHdus(listed, &source->hdus);
  if (listing == FITS_OK && source->hdus.empty()) listing = FITS_READ_FAILED;
  if (int rc = listing) {
    // A file whose units cannot be walked is left to the reader, whose code says best
    // what is wrong with its primary header or data; a unit cannot be named in it.
    if (!spec.empty()) return rc;
    source->readPath = listed;
    return fillHole();
  }
  const std::vector<FitsHdu>& hdus = source->hdus;

  int unit = 0;
  if (!spec.empty()) {
    unit = FindFitsHdu(hdus, spec);
    if (unit < 0) return FIO_ERR_NO_UNIT;
    if (!hdus[static_cast<std::size_t>(unit)].IsImage()) {
      // A primary array the reader cannot take says so itself; an empty one holds nothing.
      const FitsHdu& named = hdus[static_cast<std::size_t>(unit)];
      if (named.HasExtraAxis()) return FIO_ERR_EXTRA_AXIS;
      if (unit > 0 || named.dataBytes == 0 || named.groups) return FIO_ERR_NO_IMAGE;
    }
  } else if (!hdus.front().IsImage()) {
    const std::vector<int> images = ImageHdus(hdus);
    if (images.empty()) {
      // A primary array the reader cannot take says so itself; an empty one holds nothing.
      // An image of more than three dimensions is named as such rather than as no image.
      if (hdus.front().dataBytes > 0 && !hdus.front().groups)
        unit = 0;
      else if (std::any_of(hdus.begin(), hdus.end(),
                           [](const FitsHdu& hdu) { return hdu.HasExtraAxis(); }))
        return FIO_ERR_EXTRA_AXIS;
      else
        return FIO_ERR_NO_IMAGE;
    } else if (images.size() == 1) {
      unit = images.front();
    } else {
      FitsUnitPrompt prompt;
      prompt.path = source->file;
      for (int i : images) {
        const FitsHdu& hdu = hdus[static_cast<std::size_t>(i)];
        prompt.entries.push_back(
            {i, hdu.extName, hdu.extVer, SizeText(hdu),
             (hdu.compressed ? "compressed " : "") + std::to_string(hdu.bitpix)});
      }
      if (!GetUserPrompts().Ask(prompt)) return FIO_ERR_CANCELLED;
      if (prompt.choice < 0 || prompt.choice >= static_cast<int>(images.size()))
        return FIO_ERR_CANCELLED;
      unit = images[static_cast<std::size_t>(prompt.choice)];
    }
  }
  source->unit = unit;
  source->readPath = listed;
  source->readHdu = unit;
  if (stream && source->hole.unit == unit) {
    source->gzip = std::make_unique<fitscomp::GzipReader>();
    if (int rc = source->gzip->Open(source->file)) return rc;
  } else if (stream && unit > 0) {
    // An image read from an extension stands alone: the data of the other units are not
    // read with it, and a read that reaches into the hole after all gets its bytes from
    // the stream through FitsSourceGate.
  } else if (int rc = fillHole()) {
    return rc;
  }
  if (hdus[static_cast<std::size_t>(unit)].compressed) {
    source->decompressed = std::make_unique<fitscomp::TempFile>();
    if (!source->decompressed->CreateInMemory()) return FIO_ERR_CREATE;
    if (read == FitsSourceRead::kHeaders) {
      // The header the unpacking would write, from the table; no tile is decompressed.
      if (int rc = fitscomp::DecompressImageHeader(listed, unit, *source->decompressed)) return rc;
      source->pixelsLeftOut = true;
    } else if (int rc = fitscomp::StartDecompressImage(listed, unit, *source->decompressed,
                                                       &source->unpacking, stream)) {
      return rc;
    }
    if (read == FitsSourceRead::kWhole) {
      const int rc = source->unpacking->Finish();
      source->unpacking.reset();
      if (rc) return rc;
    }
    source->readPath = source->decompressed->path();
    source->readHdu = 0;
  }
  return FIO_OK;
}

int ListFitsUnits(const std::string& name, std::vector<FitsHdu>* hdus) {
  const std::string file = FitsFileOfName(name);
  if (!fitscomp::IsGzipFile(file)) return ListFitsHdus(file, hdus);
  // The headers are all a listing needs: an image's data stay out of memory.
  fitscomp::TempFile unpacked;
  fitscomp::GzipHole hole;
  if (!unpacked.CreateInMemory()) return FIO_ERR_CREATE;
  if (int rc = fitscomp::GunzipAroundImage(file, unpacked, &hole)) return rc;
  return ListFitsHdus(unpacked.path(), hdus);
}

FitsSourceGate::FitsSourceGate(FitsSource& source)
    : unpacking_(source.unpacking.get()),
      pixelsLeftOut_(source.pixelsLeftOut),
      gzip_(source.gzip.get()),
      packedFile_(source.file) {
  // The hole's offsets are those of the in-memory file, not of a file unpacked from it.
  if (source.unpacked && source.readPath == source.unpacked->path()) hole_ = source.hole;
  installed_ = unpacking_ || pixelsLeftOut_ || gzip_ || hole_.unit >= 0;
  if (installed_) previous_ = CFits::SetDataGate(this);
}

FitsSourceGate::~FitsSourceGate() {
  if (installed_) (void)CFits::SetDataGate(previous_);
}

bool FitsSourceGate::WaitFor(std::uint64_t end) {
  // Pixels never decompressed will not come: the read fails rather than take zeros.
  if (pixelsLeftOut_) return false;
  return !unpacking_ || unpacking_->WaitFor(end);
}

bool FitsSourceGate::NativeOrder() const {
  return unpacking_ && unpacking_->native();
}

int FitsSourceGate::Supply(void* buffer, std::size_t n, std::uint64_t offset) {
  if (hole_.unit < 0 || offset < hole_.start || offset - hole_.start >= hole_.length) return -1;
  // The file holds zeros there: a read that was not meant to reach the hole still gets
  // the data, unpacked again.
  if (!gzip_) {
    ownGzip_ = std::make_unique<fitscomp::GzipReader>();
    if (ownGzip_->Open(packedFile_) != FIO_OK) {
      ownGzip_.reset();
      return 0;
    }
    gzip_ = ownGzip_.get();
  }
  return gzip_->Read(buffer, n, offset) ? 1 : 0;
}
