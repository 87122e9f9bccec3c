#!/usr/bin/env bash
# scripts/cluster/parallel.sh with 4 jobs on 40 small lights (bias, dark, flat; aligned
# by image matching; median with clipping, in 8 bands): every calibrated light and the
# stack equal, byte for byte but for the time written, what one vantorel-cli process
# writes calibrating the same lights and stacking them. A band that fails fails the run
# (exit 1, naming its log) and no stack is written. Exits 77 without GNU parallel, numpy
# or astropy.
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
source "$here/cli_test_setup.sh"
recipe=$here/../../scripts/cluster/parallel.sh
command -v parallel >/dev/null || { echo "skipped: GNU parallel is not installed"; exit 77; }
/usr/bin/python3 -c 'import numpy, astropy' 2>/dev/null || { echo "skipped: no numpy/astropy"; exit 77; }
export VANTOREL_CLI=$cli
# parallel keeps its own settings in the home folder: a private one.
export HOME=$work/home PARALLEL_HOME=$work/home/.parallel
mkdir -p "$HOME"

/usr/bin/python3 "$here/cluster_frames.py" night 40 || fail "no frames"
cal=(--bias night/bias.fits --dark night/dark.fits --flat night/flat.fits)
opts=(--method median --clip --align match)

"$recipe" --help | grep -q -- "--jobs N" || fail "--help does not list --jobs"
"$recipe" --jobs 4 --bands 8 "${cal[@]}" "${opts[@]}" --work run -o split.fits night/light-*.fits \
  2>recipe.txt || fail "the recipe failed: $(cat recipe.txt)"

"$cli" calibrate "${cal[@]}" --out-dir single-cal night/light-*.fits 2>single.txt ||
  fail "single calibrate: $(tail -3 single.txt)"
"$cli" stack "${opts[@]}" -o single.fits single-cal/light-*.fits 2>>single.txt ||
  fail "single stack: $(tail -3 single.txt)"
pairs=(single.fits split.fits)
for f in single-cal/light-*.fits; do pairs+=("$f" "run/cal/${f##*/}"); done
[ "${#pairs[@]}" = 82 ] || fail "expected 40 calibrated lights, got $(((${#pairs[@]} - 2) / 2))"
/usr/bin/python3 "$here/same_fits.py" "${pairs[@]}" || fail "the recipe's files differ"
[ "$(ls run/logs/calibrate-*.log | wc -l)" = 40 ] || fail "not a log per calibration task"
[ "$(ls run/logs/band-*.log | wc -l)" = 8 ] || fail "not a log per band"

# A frame that cannot be read fails its band tasks and the run: exit 1, no stack.
cp night/light-05.fits broken.fits
truncate -s 3000 broken.fits
"$recipe" --jobs 4 --bands 4 --method median --work broken -o broken-stack.fits \
  night/light-0*.fits broken.fits 2>broken.txt
rc=$?
[ "$rc" = 1 ] || fail "a failing band: exit $rc, not 1"
grep -q "bands failed" broken.txt || fail "the failure is not told: $(cat broken.txt)"
[ -e broken-stack.fits ] && fail "a stack was written although a band failed"

[ "$failures" = 0 ] && echo "parallel recipe: all checks passed"
exit "$failures"
