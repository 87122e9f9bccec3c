#!/usr/bin/env bash
# A night's lights calibrated and stacked by several processes on one machine, with GNU
# parallel: each light calibrated by its own task, the alignment measured once, the stack
# shared out in row bands (stack --rows) and the bands put together by join. The result is
# the file a single `vantorel-cli stack` of the calibrated lights writes, bit for bit.
# Every task writes its own log in WORK/logs; the first task that fails stops the run (the
# others are stopped too) and the script exits 1 naming its log.
# vantorel-cli is taken from VANTOREL_CLI, else from PATH.
set -euo pipefail

me=${0##*/}
usage() {
  cat <<USAGE
Usage: $me [options] -o OUT.fits LIGHTS...
  Calibrates the lights (when a bias, dark or flat is given) and stacks them into OUT.fits.
  -o OUT              the stack (required)
  --jobs N            tasks run at once (default: the processors)
  --bands N           row bands the stack is cut into (default: 2 x jobs, at most the rows)
  --method M          add, average or median (default: median)
  --clip              3-sigma clipping (as stack --clip)
  --align A           centroid or match: placements measured once, used by every band
  --bits N            FITS type of the stack (as stack --bits)
  --bias F, --dark F, --flat F, --flat-dark F
                      calibration frames: each light calibrated into WORK/cal first
  --work DIR          folder for cal/, parts/, shifts.txt and logs/ (default: OUT's name
                      with "-work" in place of its extension); kept afterwards
  -h, --help          this text
USAGE
}
die() {
  echo "$me: $*" >&2
  exit 1
}

cli=${VANTOREL_CLI:-vantorel-cli}
out="" work="" jobs="" bands="" method=median
stack_opts=() cal_opts=()
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help) usage; exit 0 ;;
  -o | --jobs | --bands | --method | --align | --bits | --bias | --dark | --flat | --flat-dark | --work)
    [ $# -ge 2 ] || { usage >&2; exit 2; }
    case $1 in
    -o) out=$2 ;;
    --jobs) jobs=$2 ;;
    --bands) bands=$2 ;;
    --method) method=$2 ;;
    --work) work=$2 ;;
    --align | --bits) stack_opts+=("$1" "$2") ;;
    *) cal_opts+=("$1" "$2") ;;
    esac
    shift 2
    ;;
  --clip) stack_opts+=(--clip); shift ;;
  --) shift; break ;;
  -*) echo "$me: unknown option $1" >&2; usage >&2; exit 2 ;;
  *) break ;;
  esac
done
[ -n "$out" ] && [ $# -gt 0 ] || { usage >&2; exit 2; }
command -v parallel >/dev/null || die "GNU parallel is not installed (Debian package parallel)"
command -v "$cli" >/dev/null || die "vantorel-cli not found (set VANTOREL_CLI)"
jobs=${jobs:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "--jobs takes a positive number"
bands=${bands:-$((2 * jobs))}
[[ $bands =~ ^[1-9][0-9]*$ ]] || die "--bands takes a positive number"
[ -n "$work" ] || work="${out%.*}-work"
mkdir -p "$work/logs" "$work/parts"
rm -f "$work"/parts/part-*.fits "$work"/logs/*.log

# Runs `parallel` over its arguments with a log per task; on a failure names the log.
run_tasks() {
  local step=$1
  shift
  if ! parallel --jobs "$jobs" --halt now,fail=1 --joblog "$work/logs/$step.joblog" "$@"; then
    local bad
    bad=$(awk -F'\t' 'NR > 1 && $7 != 0 { print $9; exit }' "$work/logs/$step.joblog")
    die "$step failed${bad:+: $bad} (logs in $work/logs)"
  fi
}

lights=("$@")
if [ ${#cal_opts[@]} -gt 0 ]; then
  mkdir -p "$work/cal"
  # One task a light: WORK/logs/calibrate-K.log for the Kth.
  run_tasks calibrate "$cli calibrate ${cal_opts[*]@Q} --out-dir ${work@Q}/cal --force {} \
    >${work@Q}/logs/calibrate-{#}.log 2>&1" ::: "${lights[@]}"
  frames=()
  for f in "${lights[@]}"; do frames+=("$work/cal/${f##*/}"); done
else
  frames=("${lights[@]}")
fi

stack=("$cli" stack --method "$method" "${stack_opts[@]}")
if [[ " ${stack_opts[*]} " == *" --align "* ]]; then
  "${stack[@]}" --shifts-out "$work/shifts.txt" "${frames[@]}" >"$work/logs/shifts.log" 2>&1 ||
    die "measuring the shifts failed (see $work/logs/shifts.log)"
  stack+=(--shifts-in "$work/shifts.txt")
fi

# The rows of the stack: those of the first frame, on which it is laid.
height=$("$cli" info --json "${frames[0]}" | sed -n 's/.*"height": *\([0-9]*\).*/\1/p')
[ -n "$height" ] || die "cannot read the size of ${frames[0]}"
[ "$bands" -le "$height" ] || bands=$height
ranges=()
for ((k = 0; k < bands; ++k)); do
  ranges+=("$((k * height / bands + 1)):$(((k + 1) * height / bands))")
done
printf '%s\n' "${frames[@]}" >"$work/frames.txt"
# One task a band: WORK/logs/band-K.log, WORK/parts/part-K.fits.
run_tasks bands "${stack[*]@Q} --rows {} -o ${work@Q}/parts/part-{#}.fits \$(cat ${work@Q}/frames.txt) \
  >${work@Q}/logs/band-{#}.log 2>&1" ::: "${ranges[@]}"

parts=()
for ((k = 1; k <= bands; ++k)); do parts+=("$work/parts/part-$k.fits"); done
"$cli" join "${parts[@]}" -o "$out" >"$work/logs/join.log" 2>&1 ||
  die "join failed (see $work/logs/join.log)"
echo "$me: ${#frames[@]} frames in $bands bands -> $out" >&2
