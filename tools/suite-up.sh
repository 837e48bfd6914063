#!/usr/bin/env bash
# Installs the dependencies, builds, and starts the whole system on this machine: zarvo-suite
# (naming, SNMP and device-management services with the default fleet of three simulated
# printers on 127.0.0.2-4, answering SNMP on UDP 161 and sending their traps to UDP 162), the
# operator's web console, and the storage manager pointed at them; prints the console's address.
# Root is needed for the printers' ports 80, 161 and 9100 and the trap port 162.
#
# By default the storage manager then runs in this console ("-exec", its log on the terminal);
# Ctrl-C ends it the orderly way and the suite and the web console are stopped after it. With
# --detach all three run in the background and "bash tools/suite-up.sh stop" stops them.
#
#   SUITE_PORT (8090), DSM_PORT (8080), CONSOLE_PORT (8070), BUILD_DIR (build), SKIP_INSTALL=1
#   to skip apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
SUITE_PORT=${SUITE_PORT:-8090}
DSM_PORT=${DSM_PORT:-8080}
CONSOLE_PORT=${CONSOLE_PORT:-8070}
RUN="$BUILD_DIR/suite-run"

# Ends a process we started, by the PID we recorded, and only if it is still that program.
stop_one() {
  local pidfile=$1 name=$2
  [[ -f $pidfile ]] || return 0
  local pid
  pid=$(cat "$pidfile")
  if [[ -n $pid && $(readlink -f "/proc/$pid/exe" 2>/dev/null) == *"/$name" ]]; then
    kill "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
    echo "stopped $name ($pid)"
  fi
  rm -f "$pidfile"
}

# Waits up to 20 s for a line in a log; prints the log and fails when it does not come.
wait_for() {
  local log=$1 text=$2
  for _ in $(seq 200); do
    grep -q "$text" "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "no \"$text\" in $log:" >&2
  cat "$log" >&2
  exit 1
}

DETACH=0
[[ ${1:-} == --detach ]] && DETACH=1
if [[ ${1:-} == stop ]]; then
  stop_one "$RUN/dsm.pid" ZarvoPluginDSM
  stop_one "$RUN/console.pid" zarvo-console
  stop_one "$RUN/suite.pid" zarvo-suite
  exit 0
fi
if [[ $(id -u) != 0 ]]; then
  echo "suite-up: run as root (the simulated printers listen on ports 80, 161 and 9100)" >&2
  exit 1
fi

[[ ${SKIP_INSTALL:-} == 1 ]] || bash tools/install-deps.sh
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target zarvo-suite ZarvoPluginDSM zarvo-console

stop_one "$RUN/dsm.pid" ZarvoPluginDSM
stop_one "$RUN/console.pid" zarvo-console
stop_one "$RUN/suite.pid" zarvo-suite
mkdir -p "$RUN/dsm"
RUN=$(cd "$RUN" && pwd)

cat >"$RUN/zarvo-suite.cfg" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<SuiteConfig>
  <Name>zarvo-suite</Name>
  <ServiceURL>http://127.0.0.1:$SUITE_PORT/</ServiceURL>
</SuiteConfig>
CFG
# The storage manager runs from its own directory: its configuration and its store "Files" sit
# beside the executable.
cp "$BUILD_DIR/bin/ZarvoPluginDSM" "$RUN/dsm/ZarvoPluginDSM"
cat >"$RUN/dsm/ZarvoPluginDSM.cfg" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<ApplicationConfig>
  <Name>ZarvoPluginDSM</Name>
  <ServiceURL>http://127.0.0.1:$DSM_PORT/</ServiceURL>
  <DispatcherURL>http://127.0.0.1:$SUITE_PORT/</DispatcherURL>
</ApplicationConfig>
CFG

# Detached from this script's output, so a caller reading it is not held open by the services.
nohup "$BUILD_DIR/bin/zarvo-suite" -exec --config "$RUN/zarvo-suite.cfg" \
  </dev/null >"$RUN/suite.log" 2>&1 &
echo $! >"$RUN/suite.pid"
wait_for "$RUN/suite.log" "Fleet ready"

# The web console writes uploads where the storage manager takes them from: "uploads" beside it.
cat >"$RUN/zarvo-console.cfg" <<CFG
<?xml version="1.0" encoding="UTF-8"?>
<ConsoleConfig>
  <Name>zarvo-console</Name>
  <ServiceURL>http://127.0.0.1:$CONSOLE_PORT/</ServiceURL>
  <DispatcherURL>http://127.0.0.1:$SUITE_PORT/</DispatcherURL>
  <UploadDirectory>$RUN/dsm/uploads</UploadDirectory>
</ConsoleConfig>
CFG
rm -f "$RUN/console.url"
nohup "$BUILD_DIR/bin/zarvo-console" --config "$RUN/zarvo-console.cfg" --url-file "$RUN/console.url" \
  </dev/null >"$RUN/console.log" 2>&1 &
echo $! >"$RUN/console.pid"
wait_for "$RUN/console.log" "Console ready at"
if [[ $DETACH == 1 ]]; then
  # exec: the recorded PID is the storage manager's own, not a shell's.
  (cd "$RUN/dsm" && exec nohup ./ZarvoPluginDSM -exec) </dev/null >"$RUN/dsm.log" 2>&1 &
  echo $! >"$RUN/dsm.pid"
  wait_for "$RUN/dsm.log" "Registration successful"
fi

CTL="$BUILD_DIR/bin/zarvo-ctl --ns http://127.0.0.1:$SUITE_PORT/"
cat <<TXT

The suite runs: zarvo-suite on port $SUITE_PORT (naming, SNMP, device management, fleet),
the storage manager on port $DSM_PORT, the web console on port $CONSOLE_PORT.
Logs: $RUN/suite.log, $RUN/dsm.log, $RUN/console.log
Devices: 1 "Front desk" 127.0.0.2, 2 "Accounts" 127.0.0.3, 3 "Warehouse" 127.0.0.4, SNMP
agents on port 161 (community public, write community private), traps to 127.0.0.1:162;
what they store is mirrored under $RUN/fleet-files/.

Open the console (the address holds the token that allows changes; it is also in
$RUN/console.url):

  $(cat "$RUN/console.url")

Or try zarvo-ctl:
  $CTL DSMGetFileList --device 1
  $CTL DSMCopyFile --from 1 --to 2 --to 3 --file Invoice.ps:psForm
  $CTL --watch 0                      (operations are numbered from 0)
  ZARVO_UPLOAD_DIR=$RUN/dsm/uploads $CTL upload ./MyFont.pfa
  $CTL DSMServerGetFileList --json
  $CTL SIMSetFault --device 3 --fault silent      (slow, refuse, drop, fail, none)
  snmpwalk -v2c -c public 127.0.0.2 .1.3.6.1.4.1.32473
  snmptable -v2c -c public -M +$BUILD_DIR/bin/mibs -m ZARVO-STORAGE-MIB 127.0.0.2 scmFileStorageTable
TXT
if [[ $DETACH == 1 ]]; then
  echo "Stop: bash tools/suite-up.sh stop"
  exit 0
fi
echo "The storage manager runs below (-exec); Ctrl-C stops it, then the web console and the suite."
echo
# In the console, in the foreground; whatever way it ends, the suite it was pointed at ends too.
trap 'stop_one "$RUN/console.pid" zarvo-console; stop_one "$RUN/suite.pid" zarvo-suite' EXIT
trap '' INT  # Ctrl-C reaches the storage manager, which stops in order; this script goes on
(cd "$RUN/dsm" && trap - INT && exec ./ZarvoPluginDSM -exec) || true
