#!/usr/bin/env bash
# System calls the agent makes per agent-information request: a real agent under the
# standalone service manager in throwaway roots, traced with "strace -f -c" over N
# "qmactl info" requests (all threads, and any child they start), counted again by the
# kernel's counters where perf may be used, then the bare-echo ratio of bench_manager_if
# beside it.
#
#   bench/syscalls.sh BUILD_DIR [REQUESTS]      (BUILD_DIR: build/normal; REQUESTS: 300)
set -euo pipefail

BUILD=${1:-build/normal}
REQUESTS=${2:-300}
command -v strace >/dev/null || { echo "syscalls: strace is not installed" >&2; exit 1; }

WORK=$(mktemp -d)
cleanup() {
  [ -n "${KEEP:-}" ] && cp "$WORK/trace" "$KEEP" 2>/dev/null
  [ -n "${AGENT_PID:-}" ] && QMAgent -stop >/dev/null 2>&1 || true
  [ -n "${TRACE_PID:-}" ] && kill "$TRACE_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/home" "$WORK/state" "$WORK/host/etc" "$WORK/host/run"
cmake --install "$BUILD" --prefix "$WORK/home" >/dev/null
ln -s /etc/os-release "$WORK/host/etc/os-release"
ln -s /proc "$WORK/host/proc"
ln -s /sys "$WORK/host/sys"
export AXIS2C_HOME=$WORK/home QMA_STATE_DIR=$WORK/state QMA_HOST_ROOT=$WORK/host QMA_SCM=standalone
export PATH=$AXIS2C_HOME/bin:$PATH

QMAgent -install >/dev/null 2>&1 || true
QMAgent -start >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
  [ -S "$QMA_STATE_DIR/pipe/qmagentsvc" ] && break
  sleep 0.1
done
AGENT_PID=$(cut -d" " -f1 "$QMA_STATE_DIR"/scm/*/service.pid 2>/dev/null || true)
[ -n "$AGENT_PID" ] || { echo "syscalls: the agent did not start" >&2; exit 1; }

# One request first, so what the agent does once (loading libraries, first reads) is not
# counted against every request.
qmactl info >/dev/null

requests() {
  for _ in $(seq 1 "$REQUESTS"); do
    qmactl info >/dev/null
  done
}

# counted COMMAND...: runs the counter COMMAND attached to the agent while the requests are
# sent, and stops it so that it writes its totals.
counted() {
  "$@" 2>/dev/null &
  TRACE_PID=$!
  sleep 1
  requests
  sleep 0.5
  kill -INT "$TRACE_PID"; sleep 0.5
  wait "$TRACE_PID" 2>/dev/null || true
  TRACE_PID=
}

counted strace -f ${STRACE_FLAGS:--c} -o "$WORK/trace" -p "$AGENT_PID"

total=$(awk '$NF == "total" { print $4 }' "$WORK/trace")
echo "agent system calls over $REQUESTS agent-information requests (strace -f -c): $total," \
  "$(awk -v t="$total" -v n="$REQUESTS" 'BEGIN { printf "%.1f", t / n }') per request"
echo "largest (calls per request):"
awk -v n="$REQUESTS" '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {
    printf "  %-16s %6.1f\n", $NF, $4 / n }' "$WORK/trace" | sort -k2 -rn | head -12

# strace stops every thread at every call, which stretches the time a log line holds the
# log mutex and so adds waits that an untraced agent does not make; the kernel's own
# counters (perf, where it may be used) count the same requests without that.
if command -v perf >/dev/null && perf stat -e raw_syscalls:sys_enter -- true >/dev/null 2>&1; then
  counted perf stat -x, -e raw_syscalls:sys_enter -e syscalls:sys_enter_futex -o "$WORK/perf" \
    -p "$AGENT_PID"
  awk -F, -v n="$REQUESTS" '$3 == "raw_syscalls:sys_enter" { all = $1 }
      $3 == "syscalls:sys_enter_futex" { futex = $1 }
      END { printf "agent system calls per request, untraced (perf): %.1f, futex %.1f of them\n",
            all / n, futex / n }' "$WORK/perf"
fi

if [ -x "$BUILD/bin/bench_manager_if" ]; then
  "$BUILD/bin/bench_manager_if" --benchmark_filter='RoundTrip' 2>/dev/null | grep 'round trip'
fi
