#!/usr/bin/env bash
# scripts/cluster/slurm.sh on a one-machine Slurm cluster that this test starts: munged
# with its own key and socket, slurmctld and slurmd run as the current user on 127.0.0.1
# with a generated slurm.conf, everything in the test's temporary folder, and all of it
# stopped when the test ends. The recipe calibrates 40 small lights in a job array,
# measures the alignment once, stacks 4 row bands in another array and joins them; the
# calibrated lights and the stack must equal, byte for byte but for the time written,
# what one vantorel-cli process writes (10 lights a calibration task, 4 tasks). A failing band must fail the run and cancel the
# join. Where the cluster cannot be had (packages missing, a daemon that does not start,
# the node never ready) the test says why and exits 77 (skipped).
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
source "$here/cli_test_setup.sh"
recipe=$here/../../scripts/cluster/slurm.sh
skip() {
  echo "skipped: $*"
  for log in "$work"/slurm/*.log; do [ -s "$log" ] && { echo "--- $log"; tail -5 "$log"; }; done
  exit 77
}
for p in munged slurmctld slurmd sbatch squeue scontrol; do
  command -v "$p" >/dev/null || [ -x "/usr/sbin/$p" ] || skip "$p is not installed (slurm-wlm, munge)"
done
/usr/bin/python3 -c 'import numpy, astropy' 2>/dev/null || skip "no numpy or astropy"
export PATH=$PATH:/usr/sbin VANTOREL_CLI=$cli

# The cluster's folder: munge's key and socket, Slurm's configuration, state and logs.
s=$work/slurm
mkdir -p "$s/state" "$s/spool" "$s/munge"
# munged wants its socket's folder open to every user (the key stays the owner's alone).
chmod 755 "$work" "$s" "$s/munge"
pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap stop EXIT
head -c 1024 /dev/urandom >"$s/munge/munge.key"
chmod 400 "$s/munge/munge.key"
munged --foreground --socket="$s/munge/socket" --key-file="$s/munge/munge.key" \
  --pid-file="$s/munge/munged.pid" --log-file="$s/munged.log" --seed-file="$s/munge/seed" \
  >"$s/munged-out.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$s/munge/socket" ] && break; sleep 0.1; done
[ -S "$s/munge/socket" ] || skip "munged did not start"

ports=$(/usr/bin/python3 -c '
import socket
ss = [socket.socket() for _ in range(2)]
for x in ss: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in ss))')
read -r ctld_port node_port <<<"$ports"
user=$(id -un)
cat >"$s/slurm.conf" <<CONF
ClusterName=vantoreltest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$node_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$s/munge/socket
StateSaveLocation=$s/state
SlurmdSpoolDir=$s/spool
SlurmctldPidFile=$s/slurmctld.pid
SlurmdPidFile=$s/slurmd.pid
SlurmctldLogFile=$s/slurmctld.log
SlurmdLogFile=$s/slurmd.log
ProctrackType=proctrack/pgid
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
ReturnToService=2
SlurmdTimeout=30
# Four tasks at once on the test machine's cores: the tasks mostly wait on files.
SlurmdParameters=config_overrides
InactiveLimit=0
KillWait=5
NodeName=vtlnode NodeAddr=127.0.0.1 NodeHostname=localhost CPUs=4 RealMemory=4000 State=UNKNOWN
PartitionName=vtl Nodes=vtlnode Default=YES MaxTime=INFINITE State=UP OverSubscribe=YES
CONF
export SLURM_CONF=$s/slurm.conf
slurmctld -D -i -f "$s/slurm.conf" >"$s/slurmctld-out.log" 2>&1 &
pids+=($!)
slurmd -D -N vtlnode -f "$s/slurm.conf" >"$s/slurmd-out.log" 2>&1 &
pids+=($!)
ready=""
for _ in $(seq 100); do
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || skip "a daemon ended (pid $pid)"; done
  state=$(sinfo -h -n vtlnode -o %t 2>/dev/null)
  case $state in idle* | mix* | alloc*) ready=1; break ;; esac
  sleep 0.2
done
[ -n "$ready" ] || skip "the node never became ready (state '$state')"
# A first job proves that jobs run (munge credentials, the node's spool, the user).
srun -N1 -t 1 true >"$s/srun.log" 2>&1 || skip "a job could not run: $(cat "$s/srun.log")"

/usr/bin/python3 "$here/cluster_frames.py" night 40 || fail "no frames"
cal=(--bias night/bias.fits --dark night/dark.fits --flat night/flat.fits)
opts=(--method median --clip --align match)
"$recipe" --help | grep -q -- "--bands N" || fail "--help does not list --bands"
"$recipe" --wait --bands 4 --per-task 10 "${cal[@]}" "${opts[@]}" --work run -o split.fits \
  night/light-*.fits >ids.txt 2>recipe.txt || fail "the recipe failed: $(cat recipe.txt)"

"$cli" calibrate "${cal[@]}" --out-dir single-cal night/light-*.fits 2>single.txt ||
  fail "single calibrate: $(tail -3 single.txt)"
"$cli" stack "${opts[@]}" -o single.fits single-cal/light-*.fits 2>>single.txt ||
  fail "single stack: $(tail -3 single.txt)"
pairs=(single.fits split.fits)
for f in single-cal/light-*.fits; do pairs+=("$f" "run/cal/${f##*/}"); done
/usr/bin/python3 "$here/same_fits.py" "${pairs[@]}" || fail "the recipe's files differ"
[ "$(ls run/logs/calibrate-*.log 2>/dev/null | wc -l)" = 4 ] || fail "not a log per calibration task"
[ "$(ls run/logs/band-*.log 2>/dev/null | wc -l)" = 4 ] || fail "not a log per band"

# A frame that cannot be read: its bands fail, the join is cancelled, the run fails.
cp night/light-05.fits broken.fits
truncate -s 3000 broken.fits
"$recipe" --wait --bands 2 --method median --work broken -o broken-stack.fits \
  night/light-0*.fits broken.fits >/dev/null 2>broken.txt
rc=$?
[ "$rc" = 1 ] || fail "a failing band: exit $rc, not 1"
grep -q "the run failed" broken.txt || fail "the failure is not told: $(cat broken.txt)"
[ -e broken-stack.fits ] && fail "a stack was written although a band failed"

[ "$failures" = 0 ] && echo "Slurm recipe: all checks passed"
exit "$failures"
