// The header-data units of a FITS file: a listing of every unit (where it lies, its type,
// EXTNAME, EXTVER, pixel type and axes), which of them hold an image, the extended file
// name form "file.fits[1]", "file.fits[SCI]", "file.fits[SCI,2]" that picks one, and the
// cards of the primary header that an image read from an extension carries along.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CImage;

struct FitsHdu {
  int index = 0;                   // 0 for the primary unit
  std::string type;                // "PRIMARY", "IMAGE", "BINTABLE", "TABLE", ... (unquoted)
  std::string extName;             // empty when the unit has no EXTNAME
  int extVer = 1;                  // EXTVER, 1 when absent
  int bitpix = 0;                  // BITPIX; for a tile-compressed image its ZBITPIX
  std::vector<std::int64_t> axes;  // NAXISn (ZNAXISn for a tile-compressed image)
  bool compressed = false;         // a tile-compressed image (a binary table with ZIMAGE = T)
  bool groups = false;             // random groups in the primary unit
  std::uint64_t headerStart = 0;
  std::uint64_t dataStart = 0;
  std::uint64_t dataBytes = 0;  // without padding

  // Whether the unit holds an image of one to three axes this system can show (further
  // axes of length 1 allowed).
  bool IsImage() const;
  // Whether the unit would be an image but for an axis beyond the third that is longer
  // than 1 (an image of more than three dimensions).
  bool HasExtraAxis() const;
  // "IMAGE 16 2048 x 4096" style description of type, pixel type and size.
  std::string Describe() const;
};

// Lists the units of the open file fd. Returns 0, 4 (the file ends inside the first
// header) or 7 (the first unit is no FITS header). A later unit whose header or data the
// file ends inside ends the listing; what came before it stands.
[[nodiscard]] int ListFitsHdus(int fd, std::vector<FitsHdu>* hdus);
// Describes unit index from the cards of its header (END last), as ListFitsHdus does but
// for where it lies: false when the cards begin no such unit or its data cannot be sized.
bool DescribeFitsUnit(const std::vector<std::string>& cards, int index, FitsHdu* hdu);
// The same for a file name; the open errors are those of CFits::Read.
[[nodiscard]] int ListFitsHdus(const std::string& path, std::vector<FitsHdu>* hdus);

// Splits "name[spec]" into name and spec when the name ends with a bracketed part; a
// name without one is left whole with an empty spec. False when the brackets are
// unbalanced or empty.
bool SplitExtendedName(const std::string& path, std::string* file, std::string* spec);

// A bracketed unit as written: an index, or an EXTNAME with an optional EXTVER.
struct FitsUnitSpec {
  int index = -1;    // the unit's index (0 the primary), or -1 when a name is given
  std::string name;  // the EXTNAME, as written
  int version = 0;   // the EXTVER, 0 when not given (any version)
};

// Reads spec: digits alone are an index, anything else a name, "NAME,VER" a name and a
// version. False, with nothing to look up, for an empty spec or name, and for an index
// or version that is not a whole number from 0 to 2147483647 (a sign, a fraction, digits
// beyond an int): such a number names no unit, and must not be taken for another.
bool ParseFitsUnitSpec(const std::string& spec, FitsUnitSpec* out);

// The unit that spec names: a number is the unit's index (0 the primary), a name is the
// first unit with that EXTNAME (compared without case), "NAME,VER" also matches EXTVER.
// -1 when none matches, or when spec is malformed (ParseFitsUnitSpec).
int FindFitsHdu(const std::vector<FitsHdu>& hdus, const std::string& spec);

// The units that hold an image, in file order.
std::vector<int> ImageHdus(const std::vector<FitsHdu>& hdus);

// The cards of the primary header (END and the cards that describe the primary's own
// data left out) that header lacks, in their order, for an image read from an extension
// to show the file's common keywords. COMMENT and HISTORY cards are all taken.
std::vector<std::string> InheritedCards(const std::vector<std::string>& primary,
                                        const std::vector<std::string>& header);

// The header cards of unit hdu of the file at path, END last: 0, or the codes of
// ListFitsHdus (7 when there is no such unit).
[[nodiscard]] int ReadUnitCards(const std::string& path, int hdu, std::vector<std::string>* cards);
