#!/usr/bin/python3
"""same_fits.py A B [A2 B2 ...]: exit 0 when each pair of FITS files holds the same data
byte for byte and the same header cards, the time a file was written aside: the DATE card
and the banner line of the commented-out cards, which carries the same time. Otherwise
names what differs and exits 1. Used by the tests of split stacks and cluster recipes."""
import sys


def units(path):
    """The header cards (80 characters each, up to END) and the bytes after them."""
    with open(path, "rb") as f:
        data = f.read()
    cards = []
    at = 0
    while at + 80 <= len(data):
        card = data[at:at + 80].decode("ascii", "replace")
        at += 80
        if card.startswith("END "):
            break
        cards.append(card)
    else:
        raise ValueError(f"{path}: no END card")
    start = (at + 2879) // 2880 * 2880
    return cards, data[start:]


def timeless(cards):
    return [c for c in cards
            if not c.startswith("DATE    =") and "COMMENT OUT BY Vantorel ON" not in c]


def same(a, b):
    ca, da = units(a)
    cb, db = units(b)
    ok = True
    if timeless(ca) != timeless(cb):
        for x, y in zip(timeless(ca), timeless(cb)):
            if x != y:
                print(f"{a} / {b}: header differs:\n  {x.rstrip()}\n  {y.rstrip()}")
                break
        else:
            print(f"{a} / {b}: {len(ca)} and {len(cb)} cards")
        ok = False
    if da != db:
        first = next((i for i in range(min(len(da), len(db))) if da[i] != db[i]),
                     min(len(da), len(db)))
        print(f"{a} / {b}: data differ (sizes {len(da)}, {len(db)}; first at byte {first})")
        ok = False
    return ok


if __name__ == "__main__":
    pairs = sys.argv[1:]
    if len(pairs) < 2 or len(pairs) % 2:
        sys.exit("usage: same_fits.py A B [A2 B2 ...]")
    bad = [not same(pairs[i], pairs[i + 1]) for i in range(0, len(pairs), 2)]
    sys.exit(1 if any(bad) else 0)
