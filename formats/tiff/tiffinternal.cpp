// libtiff's messages: noted per file, never printed.
#include "formats/tiff/tiffinternal.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace tiff_detail {

namespace {

// A single allocation larger than this is refused by libtiff itself (its own buffers:
// strip and tile data, tag arrays), whatever a damaged file asks for.
constexpr tmsize_t kMaxSingleAllocation = 512 << 20;

int OnError(TIFF*, void* user, const char*, const char* format, va_list) {
  auto* m = static_cast<Messages*>(user);
  m->error = true;
  // libtiff's allocation failures all say so in their format text.
  if (format &&
      (std::strstr(format, "Out of memory") || std::strstr(format, "out of memory") ||
       std::strstr(format, "Failed to allocate") || std::strstr(format, "Cannot allocate")))
    m->outOfMemory = true;
  return 1;
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

}  // namespace

OpenOptions::OpenOptions(Messages* messages) : options_(TIFFOpenOptionsAlloc()) {
  if (!options_) return;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options_, kMaxSingleAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options_, OnError, messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options_, OnWarning, messages);
}

OpenOptions::~OpenOptions() {
  if (options_) TIFFOpenOptionsFree(options_);
}

void SilenceGlobalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

}  // namespace tiff_detail
