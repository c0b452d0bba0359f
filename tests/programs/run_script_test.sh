#!/usr/bin/env bash
# scripts/run.sh as a person runs it from a fresh terminal: it builds only the programs it runs,
# prints its banner once tzd has reported readiness, serves, and Ctrl-C (SIGINT to its process
# group, as a terminal sends it) stops both daemons. Usage: run_script_test.sh SOURCE_DIR
set -u
top=$1
dir=$(mktemp -d /tmp/tzd-runsh-XXXXXX)
pid=
fail() {
  echo "FAIL: $*"
  echo "---- run.sh output:"
  cat "$dir/out"
  exit 1
}
cleanup() {
  [ -n "$pid" ] && kill -KILL -- "-$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

export TZD_RUN_DIR=$dir/run
setsid "$top/scripts/run.sh" >"$dir/out" 2>&1 </dev/null &
pid=$!
for _ in $(seq 1800); do
  grep -q 'platformd and tzd are running' "$dir/out" && break
  kill -0 "$pid" 2>/dev/null || fail "run.sh ended before its banner"
  sleep 0.1
done
grep -q 'platformd and tzd are running' "$dir/out" || fail "no banner within 180 s"

ctl() {
  PLATFORM_RUNDIR=$dir/run/card0 PLATFORM_SOCKET=$dir/run/platformd.sock "$top/build/bin/$@"
}
# The banner came after readiness, so tzd is ready now and answers.
ctl platformctl --json role show 0 | grep -q '"ready": true' || fail "tzd not ready at the banner"
ctl tzctl zone-of Europe/Paris | grep -q CET || fail "tzctl zone-of did not answer CET"
# Only what runs was built.
grep -q 'Built target tzd$' "$dir/out" || fail "tzd was not among the targets built"
if grep -E 'Built target [a-z_]*(test|bench)' "$dir/out"; then
  fail "a test or benchmark was built"
fi

tzd=$(sed -n 's/.*card 0 pid \([0-9]*\) tzd is ready.*/\1/p' "$dir/out" | head -1)
[ -n "$tzd" ] || fail "platformd did not log tzd's readiness"
kill -INT -- "-$pid"
for _ in $(seq 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "run.sh still runs 30 s after Ctrl-C"
grep -q '^stopped\.$' "$dir/out" || fail "run.sh did not say it stopped"
kill -0 "$tzd" 2>/dev/null && fail "tzd (pid $tzd) still runs after Ctrl-C"
ctl platformctl status >/dev/null 2>&1
[ $? -eq 3 ] || fail "platformd still answers after Ctrl-C"
pid=
echo "run.sh: built only its programs, banner after readiness, served, stopped on Ctrl-C"
