// Shared between the reading and writing halves of the dispatcher.
#pragma once

#include <string>

namespace fileio_internal {
// Records the code and, unless it is success or a cancel, shows its message.
void ReportError(int code, const std::string& path);
void SetLastError(int code);
}  // namespace fileio_internal
