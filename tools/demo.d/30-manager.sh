#!/usr/bin/env bash
# Demo: the manager's side of the pipe. Starts the agent service (installed by the
# service step), asks it for its information with qmactl, sends it a reboot request
# (only recorded: the demo's host root is not "/"), and stops it again.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib/agent.sh"

start_agent manager || exit 1
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

stop_agent manager
[ "$rc_info" = 0 ] && [ "$rc_reboot" = 0 ]
