#!/usr/bin/env bash
# Demo: install the agent as a service of the standalone service manager, start it,
# show it running, and stop it. Runs with AXIS2C_HOME, QMA_STATE_DIR, QMA_HOST_ROOT and
# QMA_SCM=standalone exported and the installation's bin on PATH.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib/agent.sh"

ENV_KEY='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

# QMAgent ends with exit code 1 whatever the outcome; the manager's query tells the result.
echo "== service: QMAgent -install"
QMAgent -install
echo "== service: the machine environment the service copies at start (recorded by -install)"
qmareg query "$ENV_KEY"
echo "== service: QMAgent -start"
QMAgent -start
echo "== service: qmasvchost query \"$SERVICE\""
qmasvchost query "$SERVICE"
state=$(agent_state)
if [ "$state" != 4 ]; then
  echo "service: the agent is not running (state ${state:-unknown}); its output:" >&2
  cat "$QMA_STATE_DIR"/scm/*/output.log >&2 2>/dev/null
fi
echo "== service: QMAgent -start on the running service (prints nothing)"
QMAgent -start
echo "== service: QMAgent -stop"
QMAgent -stop
qmasvchost query "$SERVICE" | grep '^STATE'
echo "== service: last lines of the service log ($AXIS2C_HOME/bin/QMAgentService.log)"
tail -n 6 "$AXIS2C_HOME/bin/QMAgentService.log"
[ "$state" = 4 ]
