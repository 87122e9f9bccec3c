#!/usr/bin/env bash
# An evening's frames from the camera to one stacked picture, with vantorel-cli:
#   1. the master bias: median of the bias frames;
#   2. the master dark: median of the dark frames (bias left in: calibrate frees it of the
#      bias itself);
#   3. the master flat: median of the flat frames (calibrate frees it of the bias and
#      scales it to its mean);
#   4. every light frame calibrated with the three masters: (light - bias) - (dark - bias),
#      divided by the flat freed of the bias over its mean;
#   5. the calibrated lights aligned on the first one by image matching and combined by
#      their median into OUT.
# The masters and the calibrated lights are written as 32-bit floats into a work folder
# (OUT's name with "-work" in place of its extension, or the one given by --work), kept for
# a look afterwards and replaced by the next run into the same folder.
# Frames are the FITS files (.fits, .fit, .fts, also .gz or .fz packed) directly in each
# folder, taken in the order of their names; the first light is the one the others are
# aligned on. The dark frames should have the exposure of the lights: darks are not scaled.
# vantorel-cli is taken from VANTOREL_CLI, else from PATH.
set -euo pipefail

me=${0##*/}
usage() {
  cat <<EOF
Usage: $me [--work DIR] [--threads N] BIAS_DIR DARK_DIR FLAT_DIR LIGHT_DIR OUT.fits
  Builds the master bias, dark and flat (medians), calibrates the lights with them and
  stacks the calibrated lights aligned by image matching (median) into OUT.fits.
  --work DIR    folder for the masters and calibrated lights (default: OUT's name with
                "-work" in place of its extension)
  --threads N   passed to vantorel-cli (1 to 8)
  vantorel-cli is taken from VANTOREL_CLI, else from PATH.
EOF
}
die() {
  echo "$me: $*" >&2
  exit 1
}

work=""
threads=()
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help)
    usage
    exit 0
    ;;
  --work)
    [ $# -ge 2 ] || { usage >&2; exit 2; }
    work=$2
    shift 2
    ;;
  --threads)
    [ $# -ge 2 ] || { usage >&2; exit 2; }
    threads=(--threads "$2")
    shift 2
    ;;
  --)
    shift
    break
    ;;
  -*)
    echo "$me: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
  *) break ;;
  esac
done
if [ $# -ne 5 ]; then
  usage >&2
  exit 2
fi
bias_dir=$1 dark_dir=$2 flat_dir=$3 light_dir=$4 out=$5

cli=${VANTOREL_CLI:-}
if [ -z "$cli" ]; then
  cli=$(command -v vantorel-cli) || die "vantorel-cli is not on PATH (or set VANTOREL_CLI)"
fi
[ -x "$cli" ] || die "$cli is not an executable program"

# The FITS files directly in folder $2, sorted by name, into the array named $1.
fits_in() {
  local -n list=$1
  local dir=$2 kind=$3 f
  [ -e "$dir" ] || die "the $kind folder $dir does not exist"
  [ -d "$dir" ] || die "$dir (the $kind folder) is not a folder"
  if ! [ -r "$dir" ] || ! [ -x "$dir" ]; then
    die "the $kind folder $dir cannot be read"
  fi
  list=()
  while IFS= read -r -d '' f; do
    list+=("$f")
  done < <(find "$dir" -mindepth 1 -maxdepth 1 -type f \( -iname '*.fits' -o -iname '*.fit' \
    -o -iname '*.fts' -o -iname '*.fits.gz' -o -iname '*.fit.gz' -o -iname '*.fts.gz' \
    -o -iname '*.fits.fz' -o -iname '*.fit.fz' -o -iname '*.fts.fz' \) -print0 | LC_ALL=C sort -z)
  [ ${#list[@]} -gt 0 ] || die "no FITS files (.fits, .fit, .fts) in the $kind folder $dir"
}
biases=() darks=() flats=() lights=()
fits_in biases "$bias_dir" bias
fits_in darks "$dark_dir" dark
fits_in flats "$flat_dir" flat
fits_in lights "$light_dir" light

case $out in
*.fits | *.fit | *.fts | *.FITS | *.FIT | *.FTS) ;;
*) die "the output $out should end in .fits, .fit or .fts" ;;
esac
out_dir=$(dirname -- "$out")
[ -d "$out_dir" ] || die "the folder of the output, $out_dir, does not exist"
# The result written among the frames would be read as a frame by the next run.
for d in "$bias_dir" "$dark_dir" "$flat_dir" "$light_dir"; do
  [ "$(cd -- "$out_dir" && pwd -P)" != "$(cd -- "$d" && pwd -P)" ] ||
    die "the output $out should not be written into the frames' folder $d"
done
if [ -z "$work" ]; then
  work=${out%.*}-work
fi
mkdir -p -- "$work" || die "cannot make the work folder $work"
# Masters left among the frames would be read as frames by the next run.
for d in "$bias_dir" "$dark_dir" "$flat_dir" "$light_dir"; do
  [ "$(cd -- "$work" && pwd -P)" != "$(cd -- "$d" && pwd -P)" ] ||
    die "the work folder $work should not be one of the frames' folders"
done
mkdir -p -- "$work/calibrated" || die "cannot make $work/calibrated"

# Runs one step; a step that fails stops the evening with vantorel-cli's own message.
# Each step's time is told, to show where the evening's time goes.
step() {
  local what=$1 start
  shift
  echo "$me: $what" >&2
  start=$(date +%s.%N)
  "$cli" "${threads[@]}" "$@" || die "$what failed (vantorel-cli exit $?)"
  echo "$me: $what took $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN {printf "%.2f", e - s}') s" >&2
}

bias_master=$work/master_bias.fits
dark_master=$work/master_dark.fits
flat_master=$work/master_flat.fits
step "master bias from ${#biases[@]} frames" stack --method median --bits -32 -o "$bias_master" "${biases[@]}"
step "master dark from ${#darks[@]} frames" stack --method median --bits -32 -o "$dark_master" "${darks[@]}"
step "master flat from ${#flats[@]} frames" stack --method median --bits -32 -o "$flat_master" "${flats[@]}"
step "calibration of ${#lights[@]} lights" calibrate --bias "$bias_master" --dark "$dark_master" \
  --flat "$flat_master" --bits -32 --out-dir "$work/calibrated" --force "${lights[@]}"

# The calibrated lights in the order of the lights (calibrate keeps each file's name).
calibrated=()
for f in "${lights[@]}"; do
  c=$work/calibrated/$(basename -- "$f")
  [ -f "$c" ] || die "the calibrated light $c is missing"
  calibrated+=("$c")
done
step "aligned median stack of ${#calibrated[@]} calibrated lights" stack --method median \
  --align match --bits -32 -o "$out" "${calibrated[@]}"
echo "$me: $out written (masters and calibrated lights in $work)" >&2
