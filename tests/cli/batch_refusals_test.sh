#!/usr/bin/env bash
# vantorel-cli calibrate and overscan never lose a file: a target that a frame does not
# fit stays byte for byte as it was (with the message that names that frame), files that
# would be saved over each other are refused before anything is written, even with
# --force, and outputs already there, named with --suffix or --prefix, are kept unless
# --force. No temporary is left in any folder. Exits 77 without numpy or astropy, which
# write the frames.
source "$(dirname "$0")/cli_test_setup.sh"
/usr/bin/python3 -c 'import numpy, astropy' 2>/dev/null || exit 77

/usr/bin/python3 - <<'PY'
import os
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(3)
os.makedirs("a")
os.makedirs("b")
for name in ["s0", "s1", "s2", "a/x", "b/x"]:
    fits.writeto(name + ".fits", rng.normal(1000, 5, (20, 30)).astype(np.float32))
fits.writeto("odd.fits", rng.normal(1000, 5, (21, 30)).astype(np.float32))
for name, value, shape in [("bias", 300, (20, 30)), ("dark", 350, (20, 30)),
                           ("flatdark", 310, (20, 30)), ("bigbias", 300, (20, 31)),
                           ("bigdark", 350, (22, 30)), ("bigflatdark", 310, (19, 30))]:
    fits.writeto(name + ".fits", np.full(shape, value, np.float32))
fits.writeto("flat.fits", (300 + rng.uniform(900, 1100, (20, 30))).astype(np.float32))
fits.writeto("bigflat.fits", (300 + rng.uniform(900, 1100, (20, 32))).astype(np.float32))
PY

# The words of the messages, as the program shows them.
bias_msg='指定したバイアスファイルが元画像とサイズが異なります。'
dark_msg='指定したダークファイルが元画像とサイズが異なります。'
flat_msg='指定したフラットファイルが元画像とサイズが異なります。'
flatdark_msg='指定したフラットのダークファイルがフラットファイルとサイズが異なります。'
same_msg='以下のファイルは保存先が重なるため、処理できません。'

expect_rc() {  # expected-code description command...
  local want=$1 what=$2
  shift 2
  "$@" > out.txt 2> err.txt
  local rc=$?
  [ "$rc" = "$want" ] || fail "$what: exit $rc, expected $want: $(cat err.txt)"
}

# Snapshots of the sources and of every folder's names (hidden ones too).
keep=$work/.keep
mkdir "$keep"
snapshot() { for f in s0 s1 s2 odd a/x b/x; do cp "$f.fits" "$keep/${f//\//_}.fits"; done; }
unchanged() {  # description files...
  local what=$1 f
  shift
  for f in "$@"; do
    cmp -s "$f.fits" "$keep/${f//\//_}.fits" || fail "$what: $f.fits was changed"
  done
}
listing() { (cd "$work" && find . -path ./.keep -prune -o -path ./config -prune -o -print | sort); }
snapshot
touch out.txt err.txt
before=$(listing)
no_leftovers() {  # description [names expected to be new]
  local what=$1 now
  shift
  now=$(listing)
  local want=$( (echo "$before"; for n in "$@"; do echo "./$n"; done) | sort)
  [ "$now" = "$want" ] || fail "$what: the folders hold $(diff <(echo "$want") <(echo "$now"))"
}

# A frame of another size than every target, over the raw files: nothing is written, the
# message names that frame, every target is listed as failed, exit 1.
for c in "--bias bigbias.fits:$bias_msg:the bias bigbias.fits" \
         "--dark bigdark.fits:$dark_msg:the dark bigdark.fits" \
         "--flat bigflat.fits:$flat_msg:the flat bigflat.fits"; do
  IFS=: read -r frame msg reason <<< "$c"
  # shellcheck disable=SC2086
  expect_rc 1 "$frame over the files" "$cli" calibrate --overwrite $frame s0.fits s1.fits
  unchanged "$frame" s0 s1
  [ "$(grep -c -F "$msg" err.txt)" = 2 ] || fail "$frame: not one message per file: $(cat err.txt)"
  grep -q -F "  s1.fits: $reason (" err.txt || fail "$frame: the failure does not name it: $(cat err.txt)"
  grep -q '^calibrate: \[2/2\] s1.fits (failed)$' err.txt || fail "$frame: no failed line: $(cat err.txt)"
  grep -q -F ' -> ' err.txt && fail "$frame: something was saved: $(cat err.txt)"
  no_leftovers "$frame"
done

# The flat's own dark of another size than the flat: the run stops before any file.
expect_rc 1 "flat's dark" "$cli" calibrate --overwrite --flat flat.fits --flat-dark bigflatdark.fits s0.fits s1.fits
unchanged "flat's dark" s0 s1
grep -q -F "$flatdark_msg" err.txt || fail "flat's dark: the message does not name it: $(cat err.txt)"
no_leftovers "flat's dark"

# One target of another size among others, into a folder and over the files: the others
# are calibrated, that one keeps its file, has no output, and meets every frame's message.
full=(--bias bias.fits --dark dark.fits --flat flat.fits --flat-dark flatdark.fits)
expect_rc 1 "one odd target into a folder" "$cli" calibrate "${full[@]}" --out-dir o --suffix _c \
  s0.fits odd.fits s1.fits
[ -s o/s0_c.fits ] && [ -s o/s1_c.fits ] || fail "the targets that fit were not saved: $(cat err.txt)"
[ -e o/odd_c.fits ] && fail "the odd target was saved"
for m in "$bias_msg" "$dark_msg" "$flat_msg"; do
  grep -q -F "$m" err.txt || fail "odd target: no '$m': $(cat err.txt)"
done
unchanged "one odd target into a folder" s0 odd s1
no_leftovers "one odd target into a folder" o o/s0_c.fits o/s1_c.fits
rm -r o
expect_rc 1 "one odd target over the files" "$cli" calibrate "${full[@]}" --overwrite s0.fits odd.fits s1.fits
unchanged "one odd target over the files" odd
cmp -s s0.fits "$keep/s0.fits" && fail "s0.fits was not calibrated"
grep -q '^calibrate: \[2/3\] odd.fits (failed)$' err.txt || fail "no failed line for odd.fits: $(cat err.txt)"
no_leftovers "one odd target over the files"
cp "$keep/s0.fits" s0.fits
cp "$keep/s1.fits" s1.fits

# Two inputs of one name from different folders, and one file given twice (however it is
# spelled): refused before anything is written or made, with or without --force, exit 2.
for cmd in "calibrate --flat flat.fits" "overscan --region 1,3,1,20"; do
  for force in "" --force; do
    for dest in "--out-dir o" "--out-dir o --suffix _c" "--out-dir o --prefix p_"; do
      # shellcheck disable=SC2086
      expect_rc 2 "$cmd $dest $force, one name twice" "$cli" $cmd $dest $force s0.fits a/x.fits b/x.fits
      grep -q -F "$same_msg" err.txt || fail "$cmd $dest: no refusal: $(cat err.txt)"
      grep -q '^a/x.fits -> o/.*x.*\.fits$' err.txt && grep -q '^b/x.fits -> o/.*x.*\.fits$' err.txt ||
        fail "$cmd $dest: the colliding files are not listed: $(cat err.txt)"
      grep -q 's0.fits ->' err.txt && fail "$cmd $dest: a file that does not collide is listed"
      [ -e o ] && fail "$cmd $dest: the output folder was made"
    done
    # shellcheck disable=SC2086
    expect_rc 2 "$cmd --overwrite $force, one file twice" "$cli" $cmd --overwrite $force s0.fits ./a/../s0.fits
    grep -q -F './a/../s0.fits -> ./a/../s0.fits' err.txt || fail "$cmd: the file twice is not listed: $(cat err.txt)"
    unchanged "$cmd $force" s0 a/x b/x
  done
done
no_leftovers "collisions"

# Outputs already there under the added characters: kept without --force (exit 1), the
# hint given; replaced with --force.
for cmd in "calibrate --flat flat.fits" "overscan --region 1,3,1,20"; do
  for dest in "--suffix _c:o/s0_c.fits" "--prefix p_:o/p_s0.fits"; do
    IFS=: read -r chars out <<< "$dest"
    mkdir -p o
    printf 'earlier result' > "$out"
    # shellcheck disable=SC2086
    expect_rc 1 "$cmd $chars over an earlier output" "$cli" $cmd --out-dir o $chars s0.fits
    grep -q 'add --force' err.txt || fail "$cmd $chars: no hint at --force: $(cat err.txt)"
    [ "$(cat "$out")" = 'earlier result' ] || fail "$cmd $chars: $out was replaced without --force"
    # shellcheck disable=SC2086
    expect_rc 0 "$cmd $chars --force" "$cli" $cmd --out-dir o $chars --force s0.fits
    [ "$(head -c 6 "$out")" = SIMPLE ] || fail "$cmd $chars --force: $out was not replaced"
    no_leftovers "$cmd $chars" o "$out"
    rm -r o
  done
done
unchanged "earlier outputs" s0

echo "failures: $failures"
[ "$failures" = 0 ]
