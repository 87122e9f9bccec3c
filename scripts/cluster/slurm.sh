#!/usr/bin/env bash
# A night's lights calibrated and stacked on a Slurm cluster: a job array calibrating one
# light a task, a job measuring the alignment once (with --align), a job array stacking
# one row band a task (stack --rows), and a job putting the bands together (join), each
# starting when the one before succeeded. The result is the file a single
# `vantorel-cli stack` of the calibrated lights writes, bit for bit.
# Every task writes its own log in WORK/logs. A task that fails cancels the jobs after
# it; with --wait the script waits for the last job and exits 1 naming the logs.
# WORK must be on a file system every node sees. vantorel-cli is taken from VANTOREL_CLI,
# else from PATH, and must be at that path on the nodes too.
set -euo pipefail

me=${0##*/}
usage() {
  cat <<USAGE
Usage: $me [options] -o OUT.fits LIGHTS...
  Submits the calibration of the lights (when a bias, dark or flat is given) and their
  stack into OUT.fits as Slurm jobs; prints the job ids.
  -o OUT              the stack (required)
  --bands N           row bands the stack is cut into, one array task each (default 8)
  --per-task N        lights calibrated by each task of the calibration array (default 1)
  --method M          add, average or median (default: median)
  --clip              3-sigma clipping (as stack --clip)
  --align A           centroid or match: placements measured once, used by every band
  --bits N            FITS type of the stack (as stack --bits)
  --bias F, --dark F, --flat F, --flat-dark F
                      calibration frames: each light calibrated into WORK/cal first
  --work DIR          folder for cal/, parts/, shifts.txt, jobs/ and logs/ (default: OUT's
                      name with "-work" in place of its extension)
  --partition P       the partition to submit to (default: the cluster's default)
  --sbatch-option O   one more option for every sbatch (repeatable: --time, --mem, ...)
  --wait              wait for the join; exit 0 when the stack is written, else 1
  -h, --help          this text
USAGE
}
die() {
  echo "$me: $*" >&2
  exit 1
}

cli=${VANTOREL_CLI:-vantorel-cli}
out="" work="" bands=8 per_task=1 method=median wait=0
stack_opts=() cal_opts=() sb=()
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help) usage; exit 0 ;;
  -o | --bands | --per-task | --method | --align | --bits | --bias | --dark | --flat | --flat-dark | \
    --work | --partition | --sbatch-option)
    [ $# -ge 2 ] || { usage >&2; exit 2; }
    case $1 in
    -o) out=$2 ;;
    --bands) bands=$2 ;;
    --per-task) per_task=$2 ;;
    --method) method=$2 ;;
    --work) work=$2 ;;
    --partition) sb+=(--partition "$2") ;;
    --sbatch-option) sb+=("$2") ;;
    --align | --bits) stack_opts+=("$1" "$2") ;;
    *) # the jobs run in WORK: calibration frames by their absolute names
      case $2 in /*) cal_opts+=("$1" "$2") ;; *) cal_opts+=("$1" "$PWD/$2") ;; esac ;;
    esac
    shift 2
    ;;
  --clip) stack_opts+=(--clip); shift ;;
  --wait) wait=1; shift ;;
  --) shift; break ;;
  -*) echo "$me: unknown option $1" >&2; usage >&2; exit 2 ;;
  *) break ;;
  esac
done
[ -n "$out" ] && [ $# -gt 0 ] || { usage >&2; exit 2; }
command -v sbatch >/dev/null || die "sbatch not found (Debian package slurm-client)"
cli=$(command -v "$cli") || die "vantorel-cli not found (set VANTOREL_CLI)"
[[ $bands =~ ^[1-9][0-9]*$ ]] || die "--bands takes a positive number"
[[ $per_task =~ ^[1-9][0-9]*$ ]] || die "--per-task takes a positive number"
[ -n "$work" ] || work="${out%.*}-work"
mkdir -p "$work/logs" "$work/parts" "$work/jobs"
work=$(cd "$work" && pwd)
case $out in /*) ;; *) out="$PWD/$out" ;; esac
rm -f "$work"/parts/part-*.fits "$work"/logs/*.log

lights=()
for f in "$@"; do
  case $f in /*) lights+=("$f") ;; *) lights+=("$PWD/$f") ;; esac
done
printf '%s\n' "${lights[@]}" >"$work/lights.txt"
height=$("$cli" info --json "${lights[0]}" | sed -n 's/.*"height": *\([0-9]*\).*/\1/p')
[ -n "$height" ] || die "cannot read the size of ${lights[0]}"
[ "$bands" -le "$height" ] || bands=$height

# A job script: the lines given after a strict-mode preamble.
job() {
  local name=$1
  shift
  { echo '#!/usr/bin/env bash'; echo 'set -euo pipefail'; printf '%s\n' "$@"; } >"$work/jobs/$name.sh"
  chmod +x "$work/jobs/$name.sh"
}
# sbatch NAME [options...]: submits WORK/jobs/NAME.sh, prints the job id.
submit() {
  local name=$1
  shift
  sbatch --parsable --job-name="vantorel-$name" --chdir="$work" "${sb[@]}" "$@" \
    "$work/jobs/$name.sh" | cut -d';' -f1
}
after=()
ids=()
if [ ${#cal_opts[@]} -gt 0 ]; then
  mkdir -p "$work/cal"
  # Task K calibrates lights (K - 1) x N + 1 to K x N of the list.
  job calibrate "k=\$SLURM_ARRAY_TASK_ID" \
    "mapfile -t lights < <(sed -n \"\$(((k - 1) * $per_task + 1)),\$((k * $per_task))p\" ${work@Q}/lights.txt)" \
    "exec ${cli@Q} calibrate ${cal_opts[*]@Q} --out-dir ${work@Q}/cal --force \"\${lights[@]}\""
  tasks=$(((${#lights[@]} + per_task - 1) / per_task))
  id=$(submit calibrate --array="1-$tasks" --output="$work/logs/calibrate-%a.log")
  ids+=("$id")
  after=(--dependency="afterok:$id" --kill-on-invalid-dep=yes)
  for f in "${lights[@]}"; do echo "$work/cal/${f##*/}"; done >"$work/frames.txt"
else
  cp "$work/lights.txt" "$work/frames.txt"
fi

stack="${cli@Q} stack --method ${method@Q} ${stack_opts[*]@Q}"
if [[ " ${stack_opts[*]} " == *" --align "* ]]; then
  job shifts "mapfile -t frames < ${work@Q}/frames.txt" \
    "exec $stack --shifts-out ${work@Q}/shifts.txt \"\${frames[@]}\""
  id=$(submit shifts "${after[@]}" --output="$work/logs/shifts.log")
  ids+=("$id")
  after=(--dependency="afterok:$id" --kill-on-invalid-dep=yes)
  stack+=" --shifts-in ${work@Q}/shifts.txt"
fi

job bands "k=\$SLURM_ARRAY_TASK_ID" \
  "rows=\$(((k - 1) * $height / $bands + 1)):\$((k * $height / $bands))" \
  "mapfile -t frames < ${work@Q}/frames.txt" \
  "exec $stack --rows \"\$rows\" -o ${work@Q}/parts/part-\$k.fits \"\${frames[@]}\""
id=$(submit bands "${after[@]}" --array="1-$bands" --output="$work/logs/band-%a.log")
ids+=("$id")

parts=""
for ((k = 1; k <= bands; ++k)); do parts+=" ${work@Q}/parts/part-$k.fits"; done
job join "exec ${cli@Q} join$parts -o ${out@Q}"
join_opts=(--dependency="afterok:$id" --kill-on-invalid-dep=yes --output="$work/logs/join.log")
[ "$wait" = 1 ] && join_opts+=(--wait)
echo "$me: submitted ${ids[*]}; logs in $work/logs" >&2
id=$(submit join "${join_opts[@]}") || die "the run failed (see the logs in $work/logs)"
echo "${ids[*]} $id"
[ "$wait" = 1 ] || exit 0
# A join cancelled because a task before it failed may still end "successfully" for
# sbatch --wait: the join's own state, or its log, says whether the stack was written.
state=$(scontrol show job "$id" -o 2>/dev/null | grep -o 'JobState=[A-Z_]*' || true)
if [ "$state" != "JobState=COMPLETED" ] && ! grep -qF -- "-> $out" "$work/logs/join.log" 2>/dev/null; then
  die "the run failed${state:+ (join ${state#JobState=})} (see the logs in $work/logs)"
fi
echo "$me: ${#lights[@]} frames in $bands bands -> $out" >&2
