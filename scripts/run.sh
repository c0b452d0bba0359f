#!/usr/bin/env bash
# Builds and runs the whole system in the foreground: platformd and tzd (card 0, the dLRSC) in a
# private runtime and state directory, with their logs on this terminal. Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

./scripts/deps.sh
cmake --preset default >/dev/null
# Only what runs here: the two daemons, the library tzd waits for, and the command lines.
cmake --build --preset default --target platformd tzd sysdb tzctl platformctl

base=${TZD_RUN_DIR:-$top/build/run}
export PLATFORM_RUNDIR=$base/card0
export PLATFORM_SOCKET=$base/platformd.sock
export PLATFORM_STATEDIR=$base/state
export PLATFORM_CARD=0
export PLATFORM_LOG_STDERR=1
mkdir -p "$PLATFORM_RUNDIR" "$PLATFORM_STATEDIR"

pids=()
stop() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo "stopped."
}
trap stop INT TERM EXIT

build/bin/platformd &
pids+=($!)
for _ in $(seq 50); do [ -S "$PLATFORM_SOCKET" ] && break; sleep 0.1; done
build/bin/tzd &
tzd=$!
pids+=($tzd)

# tzd reports readiness to the system manager once its threads are up; platformd's answer about
# card 0 says when it has.
ready=""
for _ in $(seq 300); do
  if build/bin/platformctl --json role show 0 2>/dev/null | grep -q '"ready": true'; then
    ready=1
    break
  fi
  kill -0 "$tzd" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$ready" ]; then
  echo "tzd did not report readiness within 30 seconds; its log above says why." >&2
  kill -0 "$tzd" 2>/dev/null || exit 1
fi

cat <<MSG

platformd and tzd are running and ready (card 0 holds the dLRSC role). From a second terminal:

  export PLATFORM_RUNDIR=$PLATFORM_RUNDIR PLATFORM_SOCKET=$PLATFORM_SOCKET PLATFORM_STATEDIR=$PLATFORM_STATEDIR
  build/bin/tzctl list                      # every abbreviation with its UTC offsets
  build/bin/tzctl locations CET             # the locations of one abbreviation
  build/bin/tzctl set Europe/Paris          # configure the clock's zone (verified by tzd)
  build/bin/tzctl show                      # configured zone and the zone in effect
  build/bin/platformctl status              # cards, roles, registrations
  build/bin/platformctl trace tz_ltrace     # tzd's debug trace

Ctrl-C stops both.
MSG
wait -n "${pids[@]}" || true
