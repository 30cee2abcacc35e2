#!/usr/bin/env bash
# A local Redis Cluster on loopback for cluster mode: primaries and their
# replicas, formed with redis-cli --cluster create, with the registry
# functions (src/cluster/registry.lua) loaded on every primary.
#
#   scripts/cluster_up.sh [-p BASE_PORT] [-d DIR] [-m PRIMARIES] [-r REPLICAS]
#                         [-l LIBRARY.lua | -l none] [-n N -t "TRACKER COMMAND" [-q TRACKER_BASE_PORT]]
#   scripts/cluster_up.sh stop DIR
#
# Defaults: base port 30100, a new temporary folder, 3 primaries, 1 replica
# each (Redis ports BASE .. BASE+5). Prints the folder, then one line per
# node: "redis PORT PID". DIR/pids holds "redis|tracker PORT PID" lines;
# "stop DIR" ends exactly those processes, by id, and leaves DIR in place.
#
# Tracker nodes (-n N -t "TRACKER COMMAND"): node i (0 .. N-1) runs as
#   TRACKER COMMAND -p PORT -cluster 127.0.0.1:P1,...,127.0.0.1:Pn -cluster-node nodei
# with PORT = TRACKER_BASE_PORT + i (default 31000 + i) and every Redis node
# as a seed, in a session of its own (it outlives this script), its output in
# DIR/tracker-PORT.log. The script waits (at most 30 s each) until each one
# accepts TCP connections on its port. "stop DIR" stops the trackers first.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# Stops the processes of one kind listed in DIR/pids and waits for them.
stop_kind() {
  local dir=$1 want=$2 kind port pid tries
  local ours=()
  while read -r kind port pid; do
    { [ "$kind" = "$want" ] && [ -n "$pid" ]; } || continue
    # Only a process that still is what was started (its port on its
    # command line): an id may have been reused since.
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$port"; then
      ours+=("$kind:$port:$pid")
      kill "$pid" 2>/dev/null || true
    elif kill -0 "$pid" 2>/dev/null; then
      echo "$kind $port: pid $pid runs something else now; left alone" >&2
    fi
  done <"$dir/pids"
  local entry
  for entry in ${ours[@]+"${ours[@]}"}; do
    pid=${entry##*:}
    for ((tries = 0; tries < 100; tries++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "${entry%:*} (pid $pid) still running after 10 s; sending SIGKILL" >&2
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
}

stop_dir() {
  local dir=$1
  [ -f "$dir/pids" ] || { echo "no $dir/pids" >&2; return 1; }
  # The trackers first, so that none sees the cluster vanish under it.
  stop_kind "$dir" tracker
  stop_kind "$dir" redis
  echo "stopped the processes of $dir/pids"
}

if [ "${1:-}" = "stop" ]; then
  [ $# -eq 2 ] || { echo "usage: $0 stop DIR" >&2; exit 2; }
  stop_dir "$2"
  exit
fi

base=30100
dir=""
primaries=3
replicas=1
library="$root/src/cluster/registry.lua"
trackers=0
tracker_cmd=""
tracker_base=31000
while getopts "p:d:m:r:l:n:t:q:" opt; do
  case $opt in
    p) base=$OPTARG ;;
    d) dir=$OPTARG ;;
    m) primaries=$OPTARG ;;
    r) replicas=$OPTARG ;;
    l) library=$OPTARG ;;
    n) trackers=$OPTARG ;;
    t) tracker_cmd=$OPTARG ;;
    q) tracker_base=$OPTARG ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
  esac
done
[ "$primaries" -ge 3 ] || { echo "redis-cli --cluster create needs at least 3 primaries" >&2; exit 2; }
[[ "$trackers" =~ ^[0-9]+$ ]] || { echo "-n takes a number of tracker nodes" >&2; exit 2; }
[ "$trackers" -eq 0 ] || [ -n "$tracker_cmd" ] || { echo "-n needs -t COMMAND" >&2; exit 2; }
command -v redis-server >/dev/null || { echo "redis-server missing (apt-get install redis-server redis-tools)" >&2; exit 1; }

[ -n "$dir" ] || dir=$(mktemp -d /tmp/lattice-cluster.XXXXXX)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
: >"$dir/pids"

count=$((primaries * (1 + replicas)))
ports=()
for ((i = 0; i < count; i++)); do
  port=$((base + i))
  ports+=("$port")
  mkdir -p "$dir/$port"
  rm -f "$dir/$port/nodes.conf"  # a cluster of an earlier run in the same folder
  redis-server --port "$port" --bind 127.0.0.1 --protected-mode yes \
    --cluster-enabled yes --cluster-config-file "$dir/$port/nodes.conf" --cluster-node-timeout 5000 \
    --repl-diskless-sync-delay 0 --cluster-replica-validity-factor 0 \
    --dir "$dir/$port" --save "" --appendonly no \
    --daemonize yes --pidfile "$dir/$port/redis.pid" --logfile "$dir/$port/redis.log"
done

# Each server writes its pid file once it runs; wait for all (bounded).
for port in "${ports[@]}"; do
  for ((tries = 0; tries < 100; tries++)); do
    [ -s "$dir/$port/redis.pid" ] && redis-cli -p "$port" ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! [ -s "$dir/$port/redis.pid" ]; then
    echo "redis on port $port did not start; see $dir/$port/redis.log" >&2
    # The servers that did start are stopped too: record every pid there is.
    for other in "${ports[@]}"; do
      [ -s "$dir/$other/redis.pid" ] && ! grep -q "^redis $other " "$dir/pids" &&
        echo "redis $other $(cat "$dir/$other/redis.pid")" >>"$dir/pids"
    done
    stop_dir "$dir"
    exit 1
  fi
  echo "redis $port $(cat "$dir/$port/redis.pid")" >>"$dir/pids"
done

addresses=()
for port in "${ports[@]}"; do addresses+=("127.0.0.1:$port"); done
if ! redis-cli --cluster create "${addresses[@]}" --cluster-replicas "$replicas" --cluster-yes >"$dir/create.log" 2>&1; then
  cat "$dir/create.log" >&2
  stop_dir "$dir"
  exit 1
fi

# Every node must see every slot served (bounded: 30 s).
for port in "${ports[@]}"; do
  for ((tries = 0; tries < 300; tries++)); do
    redis-cli -p "$port" cluster info 2>/dev/null | grep -q '^cluster_state:ok' && break
    sleep 0.1
  done
  redis-cli -p "$port" cluster info | grep -q '^cluster_state:ok' ||
    { echo "node $port never reached cluster_state:ok" >&2; stop_dir "$dir"; exit 1; }
done

# Replicas attach to their primaries just after the create; wait for all
# of them, so that the roles below are final (bounded: 30 s).
want=$((primaries * replicas))
for ((tries = 0; tries < 300; tries++)); do
  [ "$(redis-cli -p "$base" cluster nodes | grep -c ' slave ')" -eq "$want" ] && break
  sleep 0.1
done
[ "$(redis-cli -p "$base" cluster nodes | grep -c ' slave ')" -eq "$want" ] ||
  { echo "replicas did not attach" >&2; stop_dir "$dir"; exit 1; }
# ... and until each has its primary's data: a replica that never synced
# may not take over when its primary fails.
for port in "${ports[@]}"; do
  for ((tries = 0; tries < 300; tries++)); do
    role=$(redis-cli -p "$port" info replication | tr -d '\r')
    grep -q '^role:slave' <<<"$role" || break
    grep -q '^master_link_status:up' <<<"$role" && break
    sleep 0.1
  done
  if grep -q '^role:slave' <<<"$role" && ! grep -q '^master_link_status:up' <<<"$role"; then
    echo "replica $port never synced with its primary" >&2; stop_dir "$dir"; exit 1
  fi
done

# The registry functions, on every primary (replicas get them by replication).
if [ "$library" != "none" ]; then
  for port in "${ports[@]}"; do
    if redis-cli -p "$port" role | head -1 | grep -q master; then
      redis-cli -p "$port" -x FUNCTION LOAD REPLACE <"$library" >/dev/null ||
        { echo "FUNCTION LOAD failed on $port" >&2; stop_dir "$dir"; exit 1; }
    fi
  done
fi

# Tracker nodes, each with every Redis node as a seed (one word, commas).
seeds=$(IFS=,; echo "${addresses[*]}")
for ((i = 0; i < trackers; i++)); do
  tport=$((tracker_base + i))
  # shellcheck disable=SC2086  # the command is shell words on purpose
  setsid nohup $tracker_cmd -p "$tport" -cluster "$seeds" -cluster-node "node$i" \
    >"$dir/tracker-$tport.log" 2>&1 </dev/null &
  echo "tracker $tport $!" >>"$dir/pids"
done
while read -r kind tport pid; do
  [ "$kind" = tracker ] || continue
  for ((tries = 0; tries < 300; tries++)); do
    kill -0 "$pid" 2>/dev/null || break
    (exec 3<>"/dev/tcp/127.0.0.1/$tport") 2>/dev/null && continue 2
    sleep 0.1
  done
  echo "tracker on port $tport did not start listening; see $dir/tracker-$tport.log" >&2
  tail -5 "$dir/tracker-$tport.log" >&2
  stop_dir "$dir"
  exit 1
done <"$dir/pids"

echo "dir $dir"
cat "$dir/pids"
