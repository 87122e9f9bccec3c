// Shared between the reading and writing halves of the dispatcher.
#pragma once

#include <string>

namespace fileio_internal {
// Records the code and, unless it is success or a cancel, shows its message.
void ReportError(int code, const std::string& path);
void SetLastError(int code);
// Whether a file's name leaves its format to its content: a name of no known format, or
// one whose extension is a bare number. Numbered SBIG frames are named so, but so are
// numbered copies of FITS files (".fts.1", ".fits.002"); a FITS file's first card tells
// them apart, as no SBIG file begins like one.
bool NameLeavesFormatOpen(const std::string& path);
}  // namespace fileio_internal
