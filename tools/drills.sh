#!/usr/bin/env bash
# Drills: the built storage manager (and, for two of them, the suite around it) driven to its
# limits, one line per drill with what was measured and PASS or FAIL:
#
#   load                10,000 requests at concurrency 64: no error; the p99
#   stalled heads       1,000 connections that never finish their head while others are served
#   spinning close      a 400 to a peer that sent 100,000 unread bytes: CPU in the 10 s after
#                       it, then how long SIGTERM takes
#   descriptor limit    600 stalled connections under a 1,024-descriptor limit, twice: alive,
#                       answers after; the memory before, after the first burst (which leaves
#                       what serves the next ones) and after the second (within 20%)
#   one large body      one 16 MiB request: its peak over its body (at most 8)
#   large bodies        16 requests of 16 MiB at once: all answered; the peak
#   naming restart      the suite's naming service restarted: seconds until we are named again
#   kill -9 download    killed during a download to a silent printer, then started again:
#                       seconds until the borrowed trap-destination row is given back
#
# Usage: bash tools/drills.sh [BUILD_DIR]   (default: build; needs python3 and prlimit; the two
# suite drills need root for the printers' port 80 and are skipped without it). Loopback only;
# every process started here is ended by its PID, whatever happens. Exit code 0 when every drill
# passed. Takes about two minutes.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bin=$build/bin
client=(python3 "$root/tools/drill_client.py")
work=$(mktemp -d /tmp/zarvo-drills.XXXXXX)
pids=()
failures=0

# Only a process that is still our own child is ended: a PID already reaped may belong to
# anybody by now.
ours() { [ "$(awk '{ print $4 }' "/proc/$1/stat" 2>/dev/null)" = "$$" ]; }
cleanup() {
  local p
  for p in "${pids[@]}"; do ours "$p" && kill -KILL "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do { wait "$p"; } 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

report() {  # name, figure, verdict
  printf '%-18s %-64s %s\n' "$1" "$2" "$3"
  [ "$3" = PASS ] || [ "$3" = SKIP ] || failures=$((failures + 1))
}

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }  # an expression, decimals
holds() { awk "BEGIN { exit !($1) }"; }                  # a condition
since() { calc "$(now) - $1"; }
kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null; }
cpu_seconds() {  # user + system time of a process so far
  awk -v t="$(getconf CLK_TCK)" '{ print ($14 + $15) / t }' "/proc/$1/stat" 2>/dev/null
}
alive() { kill -0 "$1" 2>/dev/null; }

# Waits up to $3 s for a line matching $2 in file $1; prints the first group of the match.
wait_for_line() {
  local file=$1 pattern=$2 limit=$3 start
  start=$(now)
  while holds "$(now) - $start < $limit"; do
    if grep -qE "$pattern" "$file" 2>/dev/null; then
      grep -oE "$pattern" "$file" | head -n 1 | grep -oE '[0-9]+$'
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# start_process DIR EXE CONFIG_NAME CONFIG [prlimit options...]: EXE copied into DIR beside its
# configuration and run there with -exec; sets PID and PORT (from its log).
start_process() {
  local dir=$1 exe=$2 cfg=$3 config=$4
  shift 4
  mkdir -p "$dir"
  cp "$bin/$exe" "$dir/"
  # The suite loads its MIB from beside it.
  [ "$exe" = zarvo-suite ] && cp -r "$bin/mibs" "$dir/"
  printf '%s\n' "$config" > "$dir/$cfg"
  local extra=()
  [ "$exe" = zarvo-suite ] && extra=(--config "$dir/$cfg")
  (cd "$dir" && exec prlimit "${@:---nofile=4096}" "./$exe" -exec "${extra[@]}") \
    > "$dir/log" 2>&1 &
  PID=$!
  pids+=("$PID")
  PORT=$(wait_for_line "$dir/log" 'Listening incomming requests on port: [0-9]+' 20) || PORT=0
}

# SIGTERM, then up to $2 s for the process to end (SIGKILL after); prints the seconds it took.
stop_process() {
  local pid=$1 limit=$2 start
  start=$(now)
  kill -TERM "$pid" 2>/dev/null
  while alive "$pid" && holds "$(now) - $start < $limit"; do sleep 0.05; done
  local took
  took=$(since "$start")
  alive "$pid" && { kill -KILL "$pid" 2>/dev/null; took=">$limit"; }
  { wait "$pid"; } 2>/dev/null
  echo "$took"
}

host_config='<ApplicationConfig><Name>drill</Name></ApplicationConfig>'

# --- load, stalled heads, spinning close: one host ---------------------------------------------
start_process "$work/host" ZarvoPluginDSM ZarvoPluginDSM.cfg "$host_config"
host=$PID
if [ "$PORT" = 0 ]; then
  report load "the host did not start" FAIL
else
  out=$("$bin/loadgen" --port "$PORT" --concurrency 64 --requests 10000 --seconds 120 \
        --warmup-ms 0)
  n=$(grep -oE 'requests=[0-9]+' <<<"$out" | cut -d= -f2)
  e=$(grep -oE 'errors=[0-9]+' <<<"$out" | cut -d= -f2)
  p99=$(grep -oE 'p99_us=[0-9]+' <<<"$out" | cut -d= -f2)
  verdict=FAIL; [ "${n:-0}" = 10000 ] && [ "${e:-1}" = 0 ] && verdict=PASS
  report load "$n requests, $e errors, p99 $(calc "${p99:-0} / 1000") ms" $verdict

  coproc STALL { "${client[@]}" stall "$PORT" 1000; }
  pids+=("$STALL_PID")
  read -r -t 60 ready <&"${STALL[0]}"
  out=$("$bin/loadgen" --port "$PORT" --concurrency 8 --seconds 3)
  eval "exec ${STALL[1]}>&-"  # the stalled connections go
  wait "$STALL_PID" 2>/dev/null
  e=$(grep -oE 'errors=[0-9]+' <<<"$out" | cut -d= -f2)
  p99=$(grep -oE 'p99_us=[0-9]+' <<<"$out" | cut -d= -f2)
  p99ms=$(calc "${p99:-0} / 1000")
  verdict=FAIL
  [ "${ready:-}" = ready ] && [ "${e:-1}" = 0 ] && [ "${p99:-99999999}" -lt 1000000 ] && verdict=PASS
  report "stalled heads" "1000 stalled; others: $e errors, p99 $p99ms ms" $verdict

  "${client[@]}" spin "$PORT" > /dev/null
  before=$(cpu_seconds "$host")
  sleep 10
  used=$(calc "$(cpu_seconds "$host") - $before" 2)
  took=$(stop_process "$host" 40)
  verdict=FAIL
  holds "$used < 1" && [ "${took#>}" = "$took" ] && holds "$took < 10" && verdict=PASS
  report "spinning close" "CPU ${used} s in the 10 s after; SIGTERM exit in ${took} s" $verdict
fi

# --- 600 stalled connections under a 1,024-descriptor limit ------------------------------------
start_process "$work/limited" ZarvoPluginDSM ZarvoPluginDSM.cfg "$host_config" --nofile=1024:1024
limited=$PID
if [ "$PORT" = 0 ]; then
  report "descriptor limit" "the host did not start" FAIL
else
  # Two bursts of 600. What the first one leaves stays to serve the next ones (the code of a
  # connection paged in, the C library's cache of thread stacks, at most 40 MiB of address
  # space, and its heaps): it is shown; each later burst must give its memory back.
  "${client[@]}" request "$PORT" > /dev/null
  first=$(kb "$limited" VmRSS)
  rounds=()
  for round in 1 2; do
    coproc STALL600 { "${client[@]}" stall "$PORT" 600; }
    pids+=("$STALL600_PID")
    read -r -t 60 ready <&"${STALL600[0]}"
    sleep 1
    during=$(alive "$limited" && echo alive || echo dead)
    eval "exec ${STALL600[1]}>&-"
    wait "$STALL600_PID" 2>/dev/null
    sleep 3
    status=$("${client[@]}" request "$PORT")
    rounds+=("$(kb "$limited" VmRSS)")
  done
  before=${rounds[0]} after=${rounds[1]}
  verdict=FAIL
  [ "${ready:-}" = ready ] && [ "$during" = alive ] && [ "$status" = 200 ] &&
    holds "${after:-0} <= 1.2 * ${before:-0}" && verdict=PASS
  report "descriptor limit" "600 stalled: $during, then answered $status; RSS ${first}, $before, $after kB" $verdict
  stop_process "$limited" 40 > /dev/null
fi

# --- large bodies --------------------------------------------------------------------------------
size=$((16 * 1024 * 1024))
start_process "$work/bodies" ZarvoPluginDSM ZarvoPluginDSM.cfg "$host_config"
bodies=$PID
if [ "$PORT" = 0 ]; then
  report "large bodies" "the host did not start" FAIL
else
  "${client[@]}" request "$PORT" > /dev/null
  base=$(kb "$bodies" VmRSS)
  one=$("${client[@]}" bodies "$PORT" 1 "$size")
  factor=$(calc "($(kb "$bodies" VmHWM) - $base) * 1024 / $size")
  verdict=FAIL
  [ "$one" = "ok=1 of 1" ] && holds "$factor <= 8" && verdict=PASS
  report "one large body" "16 MiB answered; peak ${factor}x the body" $verdict
  all=$("${client[@]}" bodies "$PORT" 16 "$size")
  peak=$(( ($(kb "$bodies" VmHWM) - base) / 1024 ))
  verdict=FAIL
  # The bodies held at once are capped at 64 MiB, each costing at most 8 times itself.
  [ "$all" = "ok=16 of 16" ] && [ "$peak" -le 512 ] && verdict=PASS
  report "large bodies" "16 x 16 MiB at once: $all; peak +$peak MiB, RSS after $(( $(kb "$bodies" VmRSS) / 1024 )) MiB" $verdict
  stop_process "$bodies" 40 > /dev/null
fi

# --- the suite: naming service restart, kill -9 during a download ------------------------------
if [ "$(id -u)" != 0 ]; then
  report "naming restart" "needs root (the printers' port 80)" SKIP
  report "kill -9 download" "needs root (the printers' port 80)" SKIP
  exit $(( failures > 0 ))
fi
suite_port=$("${client[@]}" free-port)
# Addresses of their own, away from the suite's default fleet, which tests may be running.
printer=127.0.20.3
suite_config="<SuiteConfig><Name>drill-suite</Name>
  <ServiceURL>http://127.0.0.1:$suite_port/</ServiceURL>
  <Fleet filesDir=\"fleet-files\">
    <Device id=\"1\" address=\"$printer\" name=\"Silent\" model=\"ZX-410\">
      <TrapDest addr=\"10.9.9.9\" community=\"other\" status=\"valid\"/>
      <Fault kind=\"silent\"/>
    </Device>
  </Fleet></SuiteConfig>"
start_process "$work/suite" zarvo-suite zarvo-suite.cfg "$suite_config"
suite=$PID
interval=3
dsm_config="<ApplicationConfig><Name>drill</Name>
  <DispatcherURL>http://127.0.0.1:$suite_port/</DispatcherURL>
  <RegistrationInterval>$interval</RegistrationInterval></ApplicationConfig>"
start_process "$work/dsm" ZarvoPluginDSM ZarvoPluginDSM.cfg "$dsm_config"
dsm=$PID
dsm_port=$PORT
named() {  # whether the suite's naming service names the storage manager
  "${client[@]}" post "http://127.0.0.1:$suite_port/NSFindService" \
    '<OrxRequest command="NSFindService"><Command>DSMAddFile</Command></OrxRequest>' 2>/dev/null |
    grep -q ":$dsm_port/"
}
wait_until() {  # a check, a limit in seconds; prints the seconds it took
  local check=$1 limit=$2 start
  start=$(now)
  while ! $check; do
    holds "$(now) - $start > $limit" && { echo ">$limit"; return 1; }
    sleep 0.2
  done
  since "$start"
}
if [ "$suite_port" = 0 ] || [ "$dsm_port" = 0 ] || ! wait_until named 20 > /dev/null; then
  report "naming restart" "the suite or the storage manager did not start" FAIL
else
  stop_process "$suite" 40 > /dev/null
  start_process "$work/suite" zarvo-suite zarvo-suite.cfg "$suite_config"
  suite=$PID
  took=$(wait_until named $((interval * 4 + 30)))
  verdict=FAIL; [ "${took#>}" = "$took" ] && verdict=PASS
  report "naming restart" "named again ${took} s after the restart (checks every ${interval} s)" $verdict
fi

row_is() {  # the printer's first trap-destination row holds address $1
  "${client[@]}" post "http://127.0.0.1:$suite_port/SIMGetDevices" \
    "<OrxRequest command=\"SIMGetDevices\"><Device>$printer</Device></OrxRequest>" 2>/dev/null |
    grep -q "<Addr>$1</Addr>"
}
borrowed() { row_is 127.0.0.1; }
given_back() { row_is 10.9.9.9; }
mkdir -p "$work/dsm/Files"
printf '\033)s11W drill font' > "$work/dsm/Files/drill.sft"
"${client[@]}" post "http://127.0.0.1:$dsm_port/DSMAddFile" \
  "<OrxRequest command=\"DSMAddFile\"><DeviceIP>$printer</DeviceIP><FileName>drill.sft</FileName></OrxRequest>" \
  > /dev/null
if ! wait_until borrowed 30 > /dev/null; then
  report "kill -9 download" "the download never borrowed the printer's row" FAIL
else
  kill -KILL "$dsm" 2>/dev/null
  { wait "$dsm"; } 2>/dev/null
  start_process "$work/dsm" ZarvoPluginDSM ZarvoPluginDSM.cfg "$dsm_config"
  took=$(wait_until given_back 60)
  verdict=FAIL; [ "${took#>}" = "$took" ] && verdict=PASS
  report "kill -9 download" "row given back ${took} s after the restart" $verdict
fi
stop_process "$PID" 40 > /dev/null
stop_process "$suite" 40 > /dev/null
exit $(( failures > 0 ))
