// libtiff's messages: noted per file, never printed.
#include "formats/tiff/tiffinternal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "imagemodel/vmmanager.h"

namespace tiff_detail {

namespace {

// A single allocation larger than this, or than the pager's memory budget (libtiff's
// buffers are not the pager's), is refused by libtiff itself (its own buffers: strip and
// tile data, tag arrays), whatever a damaged file asks for.
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

int OnWarning(TIFF*, void* user, const char*, const char* format, va_list args) {
  // "Premature EOF" of the fax decoders, "Premature end of JPEG file" of libjpeg (passed
  // on as "%s"), and the like.
  char text[256] = {};
  if (format) std::vsnprintf(text, sizeof text, format, args);
  if (std::strstr(text, "Premature")) static_cast<Messages*>(user)->endedEarly = true;
  return 1;
}

}  // namespace

OpenOptions::OpenOptions(Messages* messages) : options_(TIFFOpenOptionsAlloc()) {
  if (!options_) return;
  TIFFOpenOptionsSetMaxSingleMemAlloc(
      options_, static_cast<tmsize_t>(std::min<std::uint64_t>(
                    kMaxSingleAllocation, CVmManager::Instance().GetMemoryBudget())));
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
