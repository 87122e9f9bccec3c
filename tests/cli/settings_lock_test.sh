#!/usr/bin/env bash
# vantorel-cli beside another process that holds the settings lock: the commands that only
# read finish at once and leave the settings folder exactly as it was; a write says that it
# waits, gives up with a message naming the settings file when the lock never comes, and
# goes through when the lock is released.
set -u
cli=$(realpath "$1")
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

/usr/bin/python3 - <<'PY'
def card(s): return s.ljust(80)[:80]
def key(k, v): return card(k.ljust(8) + "= " + v.rjust(20))
w, h = 16, 8
hdr = "".join([key("SIMPLE", "T"), key("BITPIX", "8"), key("NAXIS", "2"),
               key("NAXIS1", str(w)), key("NAXIS2", str(h)), card("END")]).ljust(2880)
data = bytes((x * 7 + y * 29) % 256 for y in range(h) for x in range(w)).ljust(2880, b"\0")
open("src.fts", "wb").write(hdr.encode() + data)
PY

readers=(
  "--help" "--version" "info src.fts" "info --json src.fts" "header src.fts"
  "render src.fts out.png" "convert src.fts out.fts" "settings path" "settings list"
  "settings list Lock" "settings get Lock kept"
)
# Every reader succeeds within a few seconds (a write would wait ten for the lock) and says
# nothing about the lock.
# Without settings, "settings get" finds nothing and exits 1.
run_readers() {
  for r in "${readers[@]}"; do
    # shellcheck disable=SC2086
    timeout 8 "$cli" $r >reader.out 2>reader.err
    status=$?
    [ $status = 0 ] || { [ "$r" = "settings get Lock kept" ] && [ $status = "$2" ]; } ||
      { fail "$r exited $status ($1)"; cat reader.err; }
    if grep -q "settings lock" reader.err; then fail "$r waited for the lock ($1)"; fi
  done
}
snapshot() { (cd "$VANTOREL_CONFIG_HOME" && find . -printf '%p %s %T@ %i\n' | sort && cat -- *.ini); }

# A first run on a machine without settings creates no settings folder at all.
export VANTOREL_CONFIG_HOME=$work/fresh
run_readers "no settings yet" 1
[ -e "$VANTOREL_CONFIG_HOME" ] && { fail "readers created settings:"; find "$VANTOREL_CONFIG_HOME"; }

export VANTOREL_CONFIG_HOME=$work/config
ini=$("$cli" settings path | sed -n 's/^user: //p')
"$cli" settings set Lock kept before || fail "the first set failed"
lock=$ini.lock

# hold SECONDS: another process takes the lock and keeps it that long (the subshell becomes
# the sleep, so killing it releases the lock).
hold() {
  rm -f held
  (exec 9>"$lock" && flock 9 && : >held && exec sleep "$1") &
  holder=$!
  for _ in $(seq 100); do [ -e held ] && return; sleep 0.05; done
  fail "the holder never took the lock"
}

hold 120
before=$(snapshot)
run_readers "lock held" 0
[ "$before" = "$(snapshot)" ] || fail "readers changed the settings folder"

# A write that never gets the lock: it says it waits while it waits, then gives up.
"$cli" settings set Lock kept after >set.out 2>set.err &
writer=$!
sleep 3
kill -0 "$writer" 2>/dev/null || fail "the writer did not wait for the lock"
grep -qxF "vantorel-cli: waiting for the settings lock held by another process: $lock" set.err ||
  { fail "no waiting line while waiting:"; cat set.err; }
if wait "$writer"; then fail "the writer succeeded under a held lock"; fi
grep -F "locked by another process" set.err | grep -qF "$ini" ||
  { fail "the failure does not name the settings file:"; cat set.err; }
[ "$before" = "$(snapshot)" ] || fail "a failed write changed the settings folder"
kill "$holder"; wait "$holder" 2>/dev/null

# A lock released after two seconds: the write waits, says so once, and goes through.
hold 2
"$cli" settings set Lock kept after 2>set.err || { fail "set after release exited $?"; cat set.err; }
[ "$(grep -c "waiting for the settings lock" set.err)" = 1 ] || { fail "waiting line:"; cat set.err; }
[ "$("$cli" settings get Lock kept)" = after ] || fail "the value was not stored"
wait "$holder" 2>/dev/null
holder=

[ "$failures" = 0 ] && echo "all passed"
exit $((failures > 0))
