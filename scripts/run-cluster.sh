#!/usr/bin/env bash
# Runs a whole cluster router on this machine in the foreground: a 3-member etcd cluster and
# 3 cards, each a platformd in cluster mode with its own tzd, runtime directory and socket.
# Everything listens on loopback. Ctrl-C stops all of it.
#
#   TZD_RUN_DIR      where the data, sockets and logs go (default build/run-cluster, wiped)
#   ETCD_BASE_PORT   the first of the 6 etcd ports (default 23790)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

if [ -z "${TZD_NO_BUILD:-}" ]; then
  ./scripts/deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target platformd tzd sysdb tzctl platformctl
fi

base=${TZD_RUN_DIR:-$top/build/run-cluster}
port=${ETCD_BASE_PORT:-23790}
rm -rf "$base"
mkdir -p "$base"

pids=()
stop() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo "stopped."
}
trap stop INT TERM EXIT

initial=""
for i in 0 1 2; do
  initial+="${initial:+,}m$i=http://127.0.0.1:$((port + 2 * i + 1))"
done
endpoints=""
for i in 0 1 2; do
  client=$((port + 2 * i))
  peer=$((port + 2 * i + 1))
  endpoints+="${endpoints:+,}http://127.0.0.1:$client"
  etcd --name="m$i" --data-dir="$base/etcd-m$i" \
    --listen-client-urls="http://127.0.0.1:$client" \
    --advertise-client-urls="http://127.0.0.1:$client" \
    --listen-peer-urls="http://127.0.0.1:$peer" \
    --initial-advertise-peer-urls="http://127.0.0.1:$peer" \
    --initial-cluster="$initial" --initial-cluster-token="tzd-run-cluster" \
    --initial-cluster-state=new --logger=zap --log-level=warn \
    >"$base/etcd-m$i.log" 2>&1 &
  pids+=($!)
done
for _ in $(seq 100); do
  ETCDCTL_API=3 etcdctl --endpoints="$endpoints" endpoint health >/dev/null 2>&1 && break
  sleep 0.2
done

export PLATFORM_ETCD=$endpoints PLATFORM_ROUTER=${PLATFORM_ROUTER:-router}
export PLATFORM_LOG_STDERR=1
for card in 0 1 2; do
  (
    export PLATFORM_CARD=$card PLATFORM_RUNDIR=$base/card$card
    export PLATFORM_SOCKET=$base/card$card/platformd.sock PLATFORM_STATEDIR=$base/card$card/state
    export PLATFORM_LOCALTIME=$base/card$card/localtime
    mkdir -p "$PLATFORM_RUNDIR" "$PLATFORM_STATEDIR"
    exec build/bin/platformd
  ) &
  pids+=($!)
  for _ in $(seq 50); do [ -S "$base/card$card/platformd.sock" ] && break; sleep 0.1; done
  (
    export PLATFORM_CARD=$card PLATFORM_RUNDIR=$base/card$card
    export PLATFORM_SOCKET=$base/card$card/platformd.sock PLATFORM_STATEDIR=$base/card$card/state
    export PLATFORM_LOCALTIME=$base/card$card/localtime
    exec build/bin/tzd
  ) &
  pids+=($!)
done

cat <<MSG

A cluster router is running: etcd members on $endpoints, cards 0, 1 and 2 (the dLRSC role is
elected: card 0 first; kill its platformd and another card takes it over in about 2 s).
Logs of etcd are in $base/etcd-m*.log.
To reach card N from a second terminal:

  N=1; export PLATFORM_CARD=\$N PLATFORM_RUNDIR=$base/card\$N PLATFORM_SOCKET=$base/card\$N/platformd.sock PLATFORM_LOCALTIME=$base/card\$N/localtime
  build/bin/tzctl set Europe/Paris          # a commit from card N, verified on the dLRSC card
  build/bin/tzctl show                      # configured zone and the zone in effect on card N
  build/bin/platformctl status              # mode, etcd member in use, health, last revision
  build/bin/platformctl role set 2          # move the dLRSC role

And the keys themselves:

  ETCDCTL_API=3 etcdctl --endpoints=$endpoints get --prefix /$PLATFORM_ROUTER/

Ctrl-C stops all of it.
MSG
wait -n "${pids[@]}" || true
