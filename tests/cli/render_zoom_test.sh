#!/usr/bin/env bash
# vantorel-cli render at every magnification code against numpy: 8-bit images of awkward
# sizes (one pixel, primes, sizes either side of the band heights, the ST-4 frame), shown
# through levels 0 to 255 so each byte on screen is the pixel's value. Code m ≥ 1 must
# give each pixel as an m × m block; below 1 each screen pixel must show the first pixel
# of its group of 2 − m, and a last partial group no screen pixel. The code is first
# lowered, as in the window, when a side would come to one screen pixel or less.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

# WIDTH HEIGHT CODES: the reduced codes for every size, the enlarging ones where the
# pictures stay small.
cat >cases.txt <<'EOF'
1 1 -6 -5 -4 -3 -2 -1 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16
2 3 -6 -5 -4 -3 -2 -1 0 1 2 3
7 13 -6 -5 -4 -3 -2 -1 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16
53 47 -6 -5 -4 -3 -2 -1 0 1 2 3
61 49 -6 -5 -4 -3 -2 -1 0 1
89 51 -6 -5 -4 -3 -2 -1 0 1
97 101 -6 -5 -4 -3 -2 -1 0 1
151 149 -6 -5 -4 -3 -2 -1 0 1
192 165 -6 -5 -4 -3 -2 -1 0 1
440 300 -6 -5 -4 -3 -2 -1 0 1
EOF

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(11)
for line in open("cases.txt"):
    w, h = map(int, line.split()[:2])
    fits.PrimaryHDU(rng.integers(0, 256, size=(h, w), dtype=np.uint8)).writeto(f"in_{w}x{h}.fits")
PY

# Two renders at a time; each writes its own exit code and messages.
while read -r w h codes; do
  for z in $codes; do echo "$w $h $z"; done
done <cases.txt >runs.txt
xargs -P 2 -L 1 sh -c '"$0" render "in_$1x$2.fits" "out_$1x$2_$3.png" --levels 0,255 --zoom "$3" \
    >/dev/null 2>"err_$1x$2_$3.txt"; echo $? >"rc_$1x$2_$3.txt"' "$cli" <runs.txt

/usr/bin/python3 - <<'PY'
import numpy as np
from astropy.io import fits
from PIL import Image

def effective(m, w, h):
    # The code the view keeps: both sides must stay more than one screen pixel, else the
    # code that shows the shorter side as one pixel.
    keep = (w * m > 1 and h * m > 1) if m >= 1 else (w > 2 - m and h > 2 - m)
    if keep:
        return m
    f = 1.0 / min(w, h)
    if f >= 1:
        return 1
    return max(-6, 2 - int(1.0 / f + 0.5))

failures = 0
for w, h, m in (map(int, l.split()) for l in open("runs.txt")):
    tag = f"{w}x{h}_{m}"
    rc = int(open(f"rc_{tag}.txt").read())
    if rc != 0:
        said = (open(f"err_{tag}.txt").read().strip().splitlines() or [""])[-1]
        print(f"FAIL: {w} x {h} at code {m} exited {rc}: {said}")
        failures += 1
        continue
    shown = fits.getdata(f"in_{w}x{h}.fits")[::-1]  # the first FITS row at the bottom
    c = effective(m, w, h)
    if c >= 1:
        want = np.kron(shown, np.ones((c, c), np.uint8))
    else:
        s = 2 - c
        want = shown[: h // s * s : s, : w // s * s : s]
    got = np.asarray(Image.open(f"out_{tag}.png").convert("RGB"))
    if got.shape[:2] != want.shape:
        print(f"FAIL: {w} x {h} at code {m} gave {got.shape[1]} x {got.shape[0]}, "
              f"expected {want.shape[1]} x {want.shape[0]}")
        failures += 1
        continue
    for ch in range(3):
        bad = np.argwhere(got[..., ch] != want)
        if len(bad):
            print(f"FAIL: {w} x {h} at code {m}: {len(bad)} pixels differ, first at row, "
                  f"column {tuple(bad[0])}")
            failures += 1
            break
print(f"render zoom checks: {failures} failed")
raise SystemExit(1 if failures else 0)
PY
