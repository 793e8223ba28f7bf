#!/usr/bin/env bash
# Demo: the manager's side of the pipe. Starts the agent service (installed by the
# service step), asks it for its information with qmactl, sends it a reboot request
# (only recorded: the demo's host root is not "/"), and stops it again.
set -u

SERVICE="Quillmend Agent"
PIPE="$QMA_STATE_DIR/pipe/qmagentsvc"

running() {
  [ "$(qmasvchost query "$SERVICE" 2>/dev/null | sed -n 's/^STATE *: *\([0-9]*\).*/\1/p')" = 4 ]
}

if ! qmasvchost query "$SERVICE" >/dev/null 2>&1; then
  QMAgent -install
fi
if ! running; then
  echo "== manager: QMAgent -start"
  QMAgent -start
fi
for _ in $(seq 1 100); do
  [ -S "$PIPE" ] && break
  sleep 0.1
done
if [ ! -S "$PIPE" ]; then
  echo "manager: the agent's pipe $PIPE did not appear; last lines of the agent log:" >&2
  tail -n 20 "$AXIS2C_HOME/bin/QMA_LOGROOT/QMAgent.log" >&2 2>/dev/null
  exit 1
fi
echo "== manager: pipe $(ls -l "$PIPE")"

echo "== manager: qmactl info"
qmactl info
rc_info=$?
echo "== manager: qmactl --raw info"
qmactl --raw info

echo "== manager: qmactl reboot (the host root is $QMA_HOST_ROOT, so it is only recorded)"
qmactl reboot
rc_reboot=$?
echo "== manager: $QMA_HOST_ROOT/run/qmagent-power"
cat "$QMA_HOST_ROOT/run/qmagent-power"

echo "== manager: reboot detection state ($AXIS2C_HOME/bin/QMA_SYS_evlogstart)"
cat "$AXIS2C_HOME/bin/QMA_SYS_evlogstart" 2>/dev/null && echo

echo "== manager: QMAgent -stop"
QMAgent -stop
[ "$rc_info" = 0 ] && [ "$rc_reboot" = 0 ]
