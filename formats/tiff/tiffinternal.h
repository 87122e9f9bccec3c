// What the TIFF reader and writer share: libtiff's messages routed to a record of this
// library instead of the standard error stream.
#pragma once

#include <tiffio.h>

namespace tiff_detail {

// Filled by the per-file handlers.
struct Messages {
  bool error = false;
  bool outOfMemory = false;
  // A decoder warned that the data end before the rows do (libtiff's fax decoders and
  // libjpeg fill such rows and carry on).
  bool endedEarly = false;
};

// Open options whose error and warning handlers note into a Messages record and stop
// libtiff from passing the message on.
class OpenOptions {
 public:
  explicit OpenOptions(Messages* messages);
  ~OpenOptions();
  OpenOptions(const OpenOptions&) = delete;
  OpenOptions& operator=(const OpenOptions&) = delete;
  TIFFOpenOptions* get() const { return options_; }

 private:
  TIFFOpenOptions* options_;
};

// Removes libtiff's process-wide handlers, which print to the standard error stream, for
// the few messages that are not given to a file's own handlers. Done once.
void SilenceGlobalHandlers();

}  // namespace tiff_detail
