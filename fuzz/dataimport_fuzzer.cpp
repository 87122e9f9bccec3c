// Feeds arbitrary text to the data import. The first bytes choose the layout and a small
// image size; the rest is the file, header cards and numbers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/raw/dataimport.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t a = data[0], b = data[1], c = data[2], d = data[3];
  if (!fuzz_input::Write(data + 4, size - 4)) return 0;
  const std::string path = fuzz_input::Path();
  {
    CImage header;
    (void)DataImportReadHeader(header, path);
  }
  DataImportAnswers answers;
  answers.axes = 1 + (a & 1);
  answers.width = 1 + (b & 31);
  answers.height = 1 + (c & 31);
  answers.oneDimensionHeight = 1 + ((a >> 1) & 3);
  answers.column = (d >> 4) & 7;
  DataImportLayout& l = answers.layout;
  l.kind = (a >> 3) & 1;
  l.delimit = ((a >> 4) & 3) % 3;
  l.sequence = (a >> 6) & 1;
  l.lineEnds = (a >> 7) & 1;
  l.fieldLength = (d & 15);
  l.separator = std::string(1, static_cast<char>(c >> 5 ? ",; \t|:/"[(c >> 5) - 1] : ','));
  CImage image;
  int columns = 0;
  const int rc = DataImport(image, path, answers, &columns);
  // A successful import gives an image of the asked size; any failure leaves none.
  if (rc == DIMP_OK) {
    const int height = answers.axes == 1 ? answers.oneDimensionHeight : answers.height;
    if (image.GetWidth() != answers.width || image.GetHeight() != height ||
        image.GetBitsPixel() != -32)
      __builtin_trap();
  } else if (!image.IsEmpty()) {
    __builtin_trap();
  }
  return 0;
}
