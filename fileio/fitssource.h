// Where the dispatcher finds the image of a FITS name: the name may carry a unit in
// brackets ("file.fits[SCI,2]"), the file may be packed whole with gzip, and the image may
// sit in an extension, tile-compressed or not. The packed forms are unpacked into
// temporary files (in memory while small, see fitscomp::TempFile) that live as long as the
// FitsSource; the data of a gzip-packed file's image may be left out of it and unpacked as
// the reader reads them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fits/fits.h"
#include "fits/fitshdu.h"
#include "formats/fitscomp/fitscomp.h"
#include "formats/fitscomp/gzipstream.h"

// What a read takes from the source it resolves, and so what must be unpacked for it.
enum class FitsSourceRead {
  kWhole,    // every byte of the file: a gzip-packed image's data unpacked into memory
  kStream,   // the pixels as they are unpacked, through FitsSourceGate
  kHeaders,  // the headers alone: no pixels unpacked, from gzip or from tiles
};

struct FitsSource {
  std::string file;      // the file named, without a bracketed unit
  std::string readPath;  // what the FITS reader reads: file or a temporary
  int readHdu = 0;       // the unit of readPath the reader reads
  int unit = 0;          // the chosen unit of the file as named
  bool packed = false;   // the file is gzip-packed
  std::vector<FitsHdu> hdus;
  std::unique_ptr<fitscomp::TempFile> unpacked;  // the gzip-unpacked file
  // The data of the image that unpacked lacks (described while they are not there), and
  // the stream a reader that asked to stream reads them from.
  fitscomp::GzipHole hole;
  std::unique_ptr<fitscomp::GzipReader> gzip;
  std::unique_ptr<fitscomp::TempFile> decompressed;  // a tile-compressed image, unpacked
  // decompressed holds the header alone: its pixels were not wanted and are not there.
  bool pixelsLeftOut = false;
  // The children unpacking it, while a reader that asked to stream reads it.
  std::unique_ptr<fitscomp::Unpacking> unpacking;
};

// Finds the image that name stands for, asking which one through FitsUnitPrompt when the
// file holds several and the name does not say. Returns a file I/O code: 0, the reader's
// codes, 44 (no image in the file), 45 (the bracketed unit is not in the file), 46, 50
// (the bracketed unit's number or version is no int from 0 up), or 27 when the user
// cancelled. With kStream, a tile-compressed image is still being unpacked
// when this returns: its pixels may be read only through source->unpacking (see
// FitsSourceGate), whose Finish then gives the unpacking's code, and they come in this
// machine's byte order; the pixels of a gzip-packed file then come from its stream,
// again only through FitsSourceGate. With kHeaders, the data of a gzip-packed file's
// image are left out of source->unpacked (source->hole says where) and a tile-compressed
// image is not decompressed (source->pixelsLeftOut): only headers may be read then, or
// data through FitsSourceGate, which takes the first from the stream and refuses the
// second.
[[nodiscard]] int ResolveFitsSource(const std::string& name, FitsSource* source,
                                    FitsSourceRead read = FitsSourceRead::kWhole);

// Lets the FITS reader wait on a source's unpacking, or take the pixels that the
// in-memory file of a gzip-packed source lacks from its stream, while it reads them, for
// as long as it lives on this thread; it fails a read of pixels that a source resolved
// for its headers never decompressed. With none of these it does nothing.
class FitsSourceGate : public FitsDataGate {
 public:
  explicit FitsSourceGate(FitsSource& source);
  ~FitsSourceGate() override;
  FitsSourceGate(const FitsSourceGate&) = delete;
  FitsSourceGate& operator=(const FitsSourceGate&) = delete;
  bool WaitFor(std::uint64_t end) override;
  bool NativeOrder() const override;
  int Supply(void* buffer, std::size_t n, std::uint64_t offset) override;

 private:
  fitscomp::Unpacking* unpacking_;
  bool pixelsLeftOut_;
  fitscomp::GzipReader* gzip_;
  // The stream opened here when the source has none and a read reaches into the hole.
  std::unique_ptr<fitscomp::GzipReader> ownGzip_;
  std::string packedFile_;
  fitscomp::GzipHole hole_;
  bool installed_ = false;  // this gate stands in the reader while it lives
  FitsDataGate* previous_ = nullptr;
};

// The file part of a name that may carry a bracketed unit.
std::string FitsFileOfName(const std::string& name);

// The units of the FITS file a name stands for (the bracketed unit ignored), unpacking a
// gzip-packed file first. Returns a file I/O code.
[[nodiscard]] int ListFitsUnits(const std::string& name, std::vector<FitsHdu>* hdus);
