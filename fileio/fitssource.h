// Where the dispatcher finds the image of a FITS name: the name may carry a unit in
// brackets ("file.fits[SCI,2]"), the file may be packed whole with gzip, and the image may
// sit in an extension, tile-compressed or not. The packed forms are unpacked into
// temporary files that live as long as the FitsSource.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fits/fitshdu.h"
#include "formats/fitscomp/fitscomp.h"

struct FitsSource {
  std::string file;      // the file named, without a bracketed unit
  std::string readPath;  // what the FITS reader reads: file or a temporary
  int readHdu = 0;       // the unit of readPath the reader reads
  int unit = 0;          // the chosen unit of the file as named
  bool packed = false;   // the file is gzip-packed
  std::vector<FitsHdu> hdus;
  std::unique_ptr<fitscomp::TempFile> unpacked;      // the gzip-unpacked file
  std::unique_ptr<fitscomp::TempFile> decompressed;  // a tile-compressed image, unpacked
};

// Finds the image that name stands for, asking which one through FitsUnitPrompt when the
// file holds several and the name does not say. Returns a file I/O code: 0, the reader's
// codes, 44 (no image in the file), 45 (the bracketed unit is not in the file), 46, or 27
// when the user cancelled.
[[nodiscard]] int ResolveFitsSource(const std::string& name, FitsSource* source);

// The file part of a name that may carry a bracketed unit.
std::string FitsFileOfName(const std::string& name);

// The units of the FITS file a name stands for (the bracketed unit ignored), unpacking a
// gzip-packed file first. Returns a file I/O code.
[[nodiscard]] int ListFitsUnits(const std::string& name, std::vector<FitsHdu>* hdus);
