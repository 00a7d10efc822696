#!/usr/bin/env bash
# Three servers on one GlusterFS volume behind haproxy, all inside a network, mount and PID
# namespace of their own: glusterd listens on every address, so it must never reach the
# machine's network, and nothing it mounts outlives the test.
#
# Inside: glusterd with its state in a scratch folder; a one-brick volume on 192.0.2.1, an
# address put on the namespace's own loopback interface (glusterd refuses 127.x for a brick);
# the client caches off as the README's supported configurations say; three FUSE mounts of it
# with attribute, entry and negative timeouts 0; three quillmar-s3d on one root folder of the
# volume, one per mount; haproxy round robin in front of them. Then:
#   - a start on a mount with the client caches on is refused, naming the missing option;
#   - the race harness (tests/race/race.py) through the balancer, then against each server;
#   - an AWS CLI sync of 500 files up through the balancer and down again, compared byte for byte.
# Everything started is stopped by process id and every mount unmounted, also on failure.
#
# usage: tests/gluster/run.sh BUILD_DIR       (as root; about 4 to 5 minutes on 2 cores)
# Environment: RACE_SECONDS (balancer run, default 60), RACE_SERVER_SECONDS (each server, 20),
# GLUSTER_MEASURE=1 (also measure 4 KiB PUT and GET rates; not a test).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

if [ "${1:-}" != "--inside" ]; then
  build=$(cd "${1:-build}" && pwd) || exit 1
  for tool in glusterd glusterfs gluster haproxy unshare ip /usr/bin/aws /usr/bin/python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "gluster test: $tool is missing"; exit 1; }
  done
  [ "$(id -u)" = 0 ] || { echo "gluster test: needs root (namespaces, FUSE mounts)"; exit 1; }
  [ -c /dev/fuse ] || { echo "gluster test: no /dev/fuse, so no FUSE mount is possible here"; exit 1; }
  work=$(mktemp -d /tmp/qs3-gluster-XXXXXX)
  # The whole namespace dies with its first process, whatever happens inside; the bound keeps a
  # stuck mount from holding the run.
  timeout --kill-after=30 900 unshare --net --mount --pid --fork --mount-proc --kill-child \
    bash "$here/run.sh" --inside "$work" "$build"
  rc=$?
  [ $rc = 124 ] && echo "gluster test: stopped after 900 s"
  rm -rf "$work"
  exit $rc
fi

work=$2
build=$3
vol=qv
cached=qvc
addr=192.0.2.1
lb_port=9100
pids=()
mounts=()
faults=0
say() { printf '\n--- %s\n' "$*"; }
fail() { echo "FAILED: $*"; faults=$((faults + 1)); }

cleanup() {
  say "stopping what the test started"
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  for v in $vol $cached; do gluster --mode=script volume stop $v force >/dev/null 2>&1; done
  # Brick processes that a stop left behind, then glusterd itself, by their pid files.
  for f in /run/gluster/vols/*/*.pid "$work/glusterd.pid"; do
    [ -f "$f" ] && kill -TERM "$(cat "$f")" 2>/dev/null
  done
}
trap cleanup EXIT

# Polls a condition for at most $1 seconds; the step it waits for may take long on a busy machine.
wait_for() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}

say "namespace: private mounts, loopback $addr, glusterd state in $work"
mkdir -p "$work"/{lib,log,brick,brick-cached,m1,m2,m3,m0,m0b,src,dst}
mount --make-rprivate /
mount --bind "$work/lib" /var/lib/glusterd || { echo "cannot bind /var/lib/glusterd"; exit 1; }
mount --bind "$work/log" /var/log/glusterfs
mount -t tmpfs tmpfs /run
ip link set lo up
ip addr add $addr/32 dev lo

glusterd -p "$work/glusterd.pid" --log-file="$work/glusterd.log" ||
  { echo "glusterd did not start"; exit 1; }
wait_for 60 gluster --mode=script volume info || { echo "glusterd does not answer"; exit 1; }

say "volume $vol (client caches off) and $cached (Debian's defaults)"
gluster --mode=script volume create $vol $addr:"$work/brick" force || exit 1
for o in open-behind quick-read stat-prefetch io-cache read-ahead write-behind readdir-ahead nl-cache; do
  gluster --mode=script volume set $vol performance.$o off >/dev/null || fail "volume set performance.$o off"
done
gluster --mode=script volume create $cached $addr:"$work/brick-cached" force >/dev/null || exit 1
gluster --mode=script volume start $vol >/dev/null || exit 1
gluster --mode=script volume start $cached >/dev/null || exit 1

opts=attribute-timeout=0,entry-timeout=0,negative-timeout=0
for i in 1 2 3; do
  mount -t glusterfs -o $opts $addr:/$vol "$work/m$i" || { echo "mount m$i failed"; exit 1; }
  mounts+=("$work/m$i")
done
mount -t glusterfs $addr:/$cached "$work/m0" || { echo "mount m0 failed"; exit 1; }
mounts+=("$work/m0")
mount -t glusterfs -o $opts $addr:/$cached "$work/m0b" || { echo "mount m0b failed"; exit 1; }
mounts+=("$work/m0b")
grep glusterfs /proc/self/mountinfo

server=$build/quillmar-s3d
say "a start on a mount with caches on is refused"
refused() {  # mount, the text its message must name
  local out
  out=$(timeout 60 "$server" --root "$1/root" --port 9199 --quiet 2>&1)
  local rc=$?
  echo "exit $rc: $out"
  [ $rc = 2 ] && [[ "$out" == *"$2"* ]]
}
refused "$work/m0" "mount option attribute-timeout=0" || fail "start on the default mount was not refused by its timeouts"
refused "$work/m0b" "volume option performance." || fail "start on the cached volume was not refused by its translators"

say "three servers on one root, haproxy round robin on 127.0.0.1:$lb_port"
for i in 1 2 3; do
  "$server" --root "$work/m$i/root" --port $((lb_port + i)) --quiet &
  pids+=($!)
done
cat >"$work/haproxy.cfg" <<EOF
global
  maxconn 512
defaults
  mode tcp
  timeout connect 10s
  timeout client 120s
  timeout server 120s
frontend s3
  bind 127.0.0.1:$lb_port
  default_backend quillmar
backend quillmar
  balance roundrobin
  server s1 127.0.0.1:$((lb_port + 1))
  server s2 127.0.0.1:$((lb_port + 2))
  server s3 127.0.0.1:$((lb_port + 3))
EOF
haproxy -db -f "$work/haproxy.cfg" &
pids+=($!)
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for p in $lb_port $((lb_port + 1)) $((lb_port + 2)) $((lb_port + 3)); do
  wait_for 60 port_open $p || { echo "port $p did not open"; exit 1; }
done

say "race harness through the balancer"
/usr/bin/python3 "$top/tests/race/race.py" --endpoint 127.0.0.1:$lb_port --seconds "${RACE_SECONDS:-60}" \
  --scale 1 --tag lb || fail "race through the balancer"
for i in 1 2 3; do
  say "race harness against server $i"
  /usr/bin/python3 "$top/tests/race/race.py" --endpoint 127.0.0.1:$((lb_port + i)) \
    --seconds "${RACE_SERVER_SECONDS:-20}" --scale 1 --tag s$i || fail "race against server $i"
done

say "AWS CLI sync of 500 files up through the balancer and down again"
/usr/bin/python3 - "$work/src" <<'EOF'
import os, random, sys
r = random.Random(23)
for i in range(500):
    d = os.path.join(sys.argv[1], "d%02d" % (i % 17), "e%d" % (i % 3))
    os.makedirs(d, exist_ok=True)
    size = r.choice([0, 1, 100, 4096, 65536, 300000]) + r.randrange(64)
    with open(os.path.join(d, "f%03d.bin" % i), "wb") as f:
        f.write(r.randbytes(size))
EOF
export AWS_ACCESS_KEY_ID=gluster AWS_SECRET_ACCESS_KEY=gluster AWS_DEFAULT_REGION=us-east-1
export AWS_EC2_METADATA_DISABLED=true AWS_CONFIG_FILE=/dev/null AWS_SHARED_CREDENTIALS_FILE=/dev/null
aws_s3() { /usr/bin/aws --endpoint-url "http://127.0.0.1:$lb_port" s3 "$@"; }
sync_start=$SECONDS
aws_s3 mb s3://sync >/dev/null || fail "make bucket sync"
aws_s3 sync --no-progress --only-show-errors "$work/src" s3://sync/ || fail "sync up"
aws_s3 sync --no-progress --only-show-errors s3://sync/ "$work/dst" || fail "sync down"
if diff -r "$work/src" "$work/dst" >/dev/null; then
  echo "sync: $(find "$work/dst" -type f | wc -l) files back, identical ($((SECONDS - sync_start)) s)"
else
  fail "sync: the files that came back differ from those sent"
  diff -rq "$work/src" "$work/dst" | head -5
fi

# A measurement, not a test (GLUSTER_MEASURE=1): 4 KiB PUT and GET rates through the balancer
# next to one server on a local disk, three runs each, interleaved.
if [ "${GLUSTER_MEASURE:-0}" = 1 ]; then
  say "measurement: 4 KiB PUT and GET, balancer over GlusterFS next to one server on local disk"
  mkdir -p "$work/local"
  "$server" --root "$work/local" --port 9200 --quiet &
  pids+=($!)
  wait_for 60 port_open 9200
  for p in $lb_port 9200; do /usr/bin/aws --endpoint-url "http://127.0.0.1:$p" s3 mb s3://bench >/dev/null 2>&1; done
  for run in 1 2 3; do
    for p in $lb_port 9200; do
      where=$([ $p = $lb_port ] && echo "balancer, GlusterFS" || echo "one server, local disk")
      echo "run $run, $where, PUT: $("$build/qload" $p put 16 500 bench/r$run/ 4096)"
      echo "run $run, $where, GET: $("$build/qload" $p get 16 1000 bench/r$run/ 500)"
    done
  done
fi

if [ $faults -gt 0 ]; then
  say "GlusterFS test: $faults failed step(s)"
  exit 1
fi
say "GlusterFS test passed"
exit 0
