"""The numbers numpy reads from a data-import text, as the image the import must make.

Arguments: FILE DELIMIT FIELD SEPARATOR SEQUENCE LINE_ENDS WIDTH HEIGHT. The header is
skipped up to the record after its END card and the blanks before the first number; the rest is read with numpy.loadtxt (fields
cut at the separator or tab) or numpy.genfromtxt (fixed-length fields). Prints the pixels
row after row, one float32 a line.
"""
import io
import sys

import numpy as np


def main():
    path, delimit, field, separator, sequence, line_ends, width, height = sys.argv[1:9]
    delimit, field, sequence = int(delimit), int(field), int(sequence)
    line_ends, width, height = int(line_ends), int(width), int(height)
    with open(path, "rb") as f:
        text = f.read().decode("ascii")
    pos = 0
    while not (text[pos:pos + 80].startswith("END") and text[pos + 3:pos + 80].strip() == ""):
        pos += 80
    data = text[pos + 80:]
    # The numbers start at the first character that can start one.
    data = data[min(data.find(c) for c in "0123456789+-.," if c in data):]
    if line_ends == 1:
        data = data.replace("\r", "").replace("\n", "")
    if delimit != 0:
        data = data.rstrip("\t" if delimit == 2 else separator)
    if delimit == 0:
        values = np.genfromtxt(io.StringIO(data), delimiter=field, dtype=np.float64)
    else:
        values = np.loadtxt(io.StringIO(data), delimiter="\t" if delimit == 2 else separator,
                            dtype=np.float64, ndmin=1)
    values = np.ravel(values)[: width * height]
    image = values.reshape(height, width) if sequence == 0 else values.reshape(width, height).T
    for v in image.astype(np.float32).ravel():
        print(repr(float(v)))


if __name__ == "__main__":
    main()
