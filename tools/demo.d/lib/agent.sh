# The agent as the demo steps use it (sourced by each step): its service name and pipe,
# its state, and starting and stopping it around a step.

SERVICE="Quillmend Agent"
PIPE="$QMA_STATE_DIR/pipe/qmagentsvc"

# The service's state number as qmasvchost shows it (4: running); empty when not installed.
agent_state() {
  qmasvchost query "$SERVICE" 2>/dev/null | sed -n 's/^STATE *: *\([0-9]*\).*/\1/p'
}

# start_agent STEP: installs the agent where no earlier step did, starts it unless it runs
# and waits for its pipe. Fails, showing the last lines of the agent log, when the pipe does
# not appear.
start_agent() {
  local step=$1
  if ! qmasvchost query "$SERVICE" >/dev/null 2>&1; then
    QMAgent -install
  fi
  if [ "$(agent_state)" != 4 ]; then
    echo "== $step: QMAgent -start"
    QMAgent -start
  fi
  for _ in $(seq 1 100); do
    [ -S "$PIPE" ] && return 0
    sleep 0.1
  done
  echo "$step: the agent's pipe $PIPE did not appear; last lines of the agent log:" >&2
  tail -n 20 "$AXIS2C_HOME/bin/QMA_LOGROOT/QMAgent.log" >&2 2>/dev/null
  return 1
}

# stop_agent STEP
stop_agent() {
  echo "== $1: QMAgent -stop"
  QMAgent -stop
}
