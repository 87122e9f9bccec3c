#!/usr/bin/env bash
# vantorel-cli calibrate, stack and overscan from the shell: misuse, failures listed with
# exit 1, outputs already in the folder kept unless --force, and Ctrl+C stopping between
# files with the finished outputs whole and nothing half-written. Exits 77 without numpy
# or astropy, which write the frames.
source "$(dirname "$0")/cli_test_setup.sh"
/usr/bin/python3 -c 'import numpy, astropy' 2>/dev/null || exit 77

/usr/bin/python3 - <<'PY'
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(7)
for i in range(3):
    fits.writeto(f"s{i}.fits", rng.normal(1000, 5, (40, 50)).astype(np.float32))
fits.writeto("flat.fits", rng.uniform(0.9, 1.1, (40, 50)).astype(np.float32))
for i in range(16):
    fits.writeto(f"big{i:02d}.fits", rng.normal(1000, 5, (1024, 1024)).astype(np.float32))
fits.writeto("bigflat.fits", rng.uniform(0.9, 1.1, (1024, 1024)).astype(np.float32))
PY
printf 'not a FITS file' > broken.fits

expect_rc() {  # expected-code description command...
  local want=$1 what=$2
  shift 2
  "$@" > out.txt 2> err.txt
  local rc=$?
  [ "$rc" = "$want" ] || fail "$what: exit $rc, expected $want: $(cat err.txt)"
}

# Misuse is exit 2 and writes nothing.
expect_rc 2 "no destination" "$cli" calibrate --flat flat.fits s0.fits
expect_rc 2 "both destinations" "$cli" calibrate --flat flat.fits --overwrite --out-dir o s0.fits
expect_rc 2 "no frame" "$cli" calibrate --out-dir o s0.fits
expect_rc 2 "prefix and suffix" "$cli" calibrate --flat flat.fits --out-dir o --prefix a --suffix b s0.fits
expect_rc 2 "no method" "$cli" stack -o st.fits s0.fits s1.fits
expect_rc 2 "bad method" "$cli" stack --method mean -o st.fits s0.fits
expect_rc 2 "bad region" "$cli" overscan --region 1,2,3 --out-dir o s0.fits
expect_rc 2 "bad bits" "$cli" calibrate --flat flat.fits --bits 12 --out-dir o s0.fits
[ -e o ] && fail "misuse created the output folder"
[ -e st.fits ] && fail "misuse wrote a stack"

# A file that cannot be read: the others are done, the failure is listed, exit 1.
expect_rc 1 "calibrate with a broken file" "$cli" calibrate --flat flat.fits --out-dir o \
  --suffix _c s0.fits broken.fits missing.fits s1.fits
for f in o/s0_c.fits o/s1_c.fits; do [ -s "$f" ] || fail "$f not written"; done
[ -e o/broken_c.fits ] && fail "a broken file was saved"
grep -q '^calibrate: \[4/4\] s1.fits -> o/s1_c.fits$' err.txt || fail "no line for the fourth file"
grep -q '2 failures:' err.txt || fail "the failures are not counted: $(cat err.txt)"
grep -q '^  missing.fits: could not be read$' err.txt || fail "missing.fits not listed"
grep -q '^  broken.fits: could not be read$' err.txt || fail "broken.fits not listed"

# Outputs already in the folder, under the name they would be saved as, are kept without
# --force.
cp o/s0_c.fits before.fits
expect_rc 1 "existing outputs" "$cli" calibrate --flat flat.fits --out-dir o --suffix _c s0.fits
grep -q 'add --force' err.txt || fail "no hint at --force: $(cat err.txt)"
cmp -s o/s0_c.fits before.fits || fail "an existing output was replaced without --force"
expect_rc 0 "existing outputs with --force" "$cli" calibrate --flat flat.fits --out-dir o --force o/s0_c.fits
cmp -s o/s0_c.fits before.fits && fail "--force did not replace the output"

# A stack with a file that cannot be read is not written.
expect_rc 1 "stack with a broken file" "$cli" stack --method median -o st.fits s0.fits broken.fits s1.fits
[ -e st.fits ] && fail "a stack was written although a file failed"
expect_rc 0 "stack" "$cli" stack --method average --clip -o st.fits s0.fits s1.fits s2.fits
[ -s st.fits ] || fail "the stack was not written"
expect_rc 0 "overscan" "$cli" overscan --region 1,5,1,40 --clip --out-dir ov s0.fits s1.fits
[ -s ov/s1.fits ] || fail "overscan output missing"

# Ctrl+C after the second file: the run stops between files, exit 130.
set -m
"$cli" calibrate --flat bigflat.fits --out-dir big --bits -32 big[0-9]*.fits 2> int.txt &
pid=$!
for _ in $(seq 1 600); do
  [ "$(grep -c -- ' -> ' int.txt)" -ge 2 ] && break
  sleep 0.05
done
kill -INT "$pid"
wait "$pid"
rc=$?
set +m
[ "$rc" = 130 ] || fail "interrupted run: exit $rc, expected 130: $(cat int.txt)"
saved=$(grep -c -- ' -> ' int.txt)
files=$(ls big | wc -l)
[ "$saved" -ge 2 ] && [ "$saved" -lt 16 ] || fail "$saved files done before the interrupt took effect"
[ "$files" = "$saved" ] || fail "$files files in the folder, $saved reported saved: $(ls -a big)"
ls -a big | grep -q 'vtl-tmp' && fail "a temporary was left: $(ls -a big)"
grep -q "interrupted; $saved of 16 files saved" int.txt || fail "no interrupt summary: $(cat int.txt)"
for i in $(seq 0 $((saved - 1))); do
  f=big/big$(printf %02d "$i").fits
  [ -e "$f" ] || fail "$f missing: the outputs are not the first files"
  fitsverify -q "$f" | grep -q '^verification OK' || fail "$f does not verify"
done

echo "failures: $failures"
[ "$failures" = 0 ]
