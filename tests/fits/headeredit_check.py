"""Peer side of the header editor tests. cards FILE: keyword, value and comment of each
80-column card line, tab-separated. axis FITS: the dispersion-axis keywords, or '-'."""
import sys
import warnings

from astropy.io import fits

warnings.simplefilter("ignore")


def value_text(v):
    if isinstance(v, bool):
        return "T" if v else "F"
    if isinstance(v, str):
        return v.rstrip()
    return repr(v)


def cards(path):
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.rstrip("\n")
            card = fits.Card.fromstring(line)
            if card.keyword in ("COMMENT", "HISTORY", "") and line[8:10] != "= ":
                # Commentary text: astropy keeps it as the value.
                print("\t".join([card.keyword, "", str(card.value).strip()]))
            else:
                print("\t".join([card.keyword, value_text(card.value), card.comment or ""]))


def axis(path):
    h = fits.getheader(path)
    for key in ("DISPAXIS", "CTYPE1", "CUNIT1", "CRPIX1", "CRVAL1", "CDELT1", "CTYPE2",
                "CUNIT2", "CRPIX2", "CRVAL2", "CDELT2", "PC1_1", "PC1_2", "PC2_1", "PC2_2"):
        print(key, value_text(h[key]) if key in h else "-")


if __name__ == "__main__":
    {"cards": cards, "axis": axis}[sys.argv[1]](sys.argv[2])
