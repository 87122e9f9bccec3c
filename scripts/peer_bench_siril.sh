# Sourced by the peer benchmarks that time vantorel-cli beside siril-cli: installs
# Debian's siril when siril-cli is missing, checks the other tools they use, and sets
# `cli` to the vantorel-cli to time (VANTOREL_CLI, or a Release build made into
# build-release). Call from the repository's root: peer_siril_setup NAME.
peer_siril_setup() {
  local name=$1 tool sudo=""
  peer_name=$name
  if ! command -v siril-cli >/dev/null; then
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends siril
  fi
  for tool in siril-cli /usr/bin/time /usr/bin/python3 bc; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing" >&2; exit 1; }
  done
  cli=${VANTOREL_CLI:-}
  if [ -z "$cli" ]; then
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF \
      -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
    cmake --build build-release -j2 --target vantorel-cli
    cli=$PWD/build-release/bin/vantorel-cli
  fi
}

# peer_time NAME PREP COMMAND...: runs PREP, then COMMAND under /usr/bin/time, and appends
# its seconds, peak resident size in MB and processor seconds (user and system) to the
# arrays NAME_t, NAME_m and NAME_c. A command that fails stops the benchmark with the end
# of its output. Needs `work` (a scratch folder) and `peer_name` (set by peer_siril_setup).
# The files the run before wrote are flushed to disk first, so that neither program pays
# for the other's writes.
peer_time() {
  local name=$1 prep=$2 s e
  shift 2
  "$prep"
  sync
  s=$(date +%s.%N)
  /usr/bin/time -f '%M %U %S' -o "$work/mem" "$@" >"$work/log" 2>&1 || {
    echo "$peer_name: $* failed:" >&2
    tail -20 "$work/log" >&2
    exit 1
  }
  e=$(date +%s.%N)
  eval "${name}_t+=(\"$(echo "$e - $s" | bc -l)\")"
  eval "${name}_m+=(\"$(tail -1 "$work/mem" | awk '{print int($1 / 1024)}')\")"
  eval "${name}_c+=(\"$(tail -1 "$work/mem" | awk '{print $2 + $3}')\")"
}
# The median of the arguments.
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
