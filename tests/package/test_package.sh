#!/usr/bin/env bash
# The Debian package for real, without touching the host: built from this build and
# checked by lintian, then installed, asked for its information, upgraded, removed and
# purged in a chroot on an overlay whose lower layer is the host's root, inside private
# mount and PID namespaces. The cycle runs twice: under the standalone service manager,
# and under systemd (a user manager started in the chroot).
# usage: test_package.sh SOURCE_DIR BUILD_DIR
# QMA_PACKAGE_TEST_MODES="standalone systemd" chooses the cycles (both by default).
set -uo pipefail

SERVICE="Quillmend Agent"
UNIT=quillmend-agent.service
HOME_DIR=/opt/quillmend-agent
CONFIG_KEY='HKLM\SOFTWARE\Norvik\QMAgent\Config'
ENV_KEY='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

# The helpers lie beside the copy that runs in the chroot.
CHECKS=$(dirname "$0")/checks.sh
[ -f "$CHECKS" ] || CHECKS=$(dirname "$0")/../support/checks.sh
# shellcheck source=../support/checks.sh
. "$CHECKS"

# ---- inside the namespaces ----

# The overlay root's own environment: a fake host root for the agent's host facts (a
# reboot request would only be recorded there), and the user manager's folders.
in_root() {
  /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 HOME=/tmp/user QMA_HOST_ROOT=/tmp/host DEBIAN_FRONTEND=noninteractive \
    "${SCOPE_ENV[@]}" "$@"
}

service_state() {
  if [ "$MODE" = systemd ]; then
    in_root systemctl --user is-active "$UNIT" 2>/dev/null
  else
    in_root "$HOME_DIR/bin/qmasvchost" query "$SERVICE" 2>/dev/null |
      sed -n 's/^STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
  fi
}
running_word() { [ "$MODE" = systemd ] && echo active || echo RUNNING; }
agent_running() { [ "$(service_state)" = "$(running_word)" ]; }

# Programs of the agent still alive in this PID namespace (zombies do not count).
agent_processes() {
  in_root ps -eo stat=,comm= | awk '$1 !~ /^Z/ && ($2 == "QMAgent" || $2 == "qmasvchost")'
}
no_agent_processes() { [ -z "$(agent_processes)" ]; }

agent_pid() {
  if [ "$MODE" = systemd ]; then
    in_root systemctl --user show -p MainPID --value "$UNIT"
  else
    in_root ps -eo pid=,comm= | awk '$2 == "QMAgent" {print $1; exit}'
  fi
}

registry_value() { # KEY NAME
  in_root "$HOME_DIR/bin/qmareg" query "$1" /v "$2" 2>/dev/null |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

group_exists() { in_root getent group qmagent >/dev/null; }
pipe_ready() { [ -S "/var/lib/qmagent/pipe/qmagentsvc" ]; }

start_user_manager() {
  mkdir -p "/run/systemd/system" "/tmp/user"
  install -d -m 0700 "/run/user/0"
  local procs=() group
  for group in "${GROUPS_MADE[@]}"; do procs+=("$group/cgroup.procs"); done
  # Joins the control groups made for it (so it moves no other process), then runs in the
  # chroot; the PID namespace ends it with the test.
  sh -c 'for f in "$@"; do echo 0 >"$f" 2>/dev/null; done
         exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/user \
           XDG_RUNTIME_DIR=/run/user/0 XDG_CONFIG_HOME=/tmp/user/.config /lib/systemd/systemd --user' \
    sh "${procs[@]}" >"$WORK/user-manager.log" 2>&1 &
  local state=""
  for _ in $(seq 1 300); do
    state=$(in_root systemctl --user is-system-running 2>"$WORK/systemctl.err")
    case $state in running | degraded) break ;; esac
    sleep 0.1
  done
  expect "systemd --user runs in the chroot" "$(echo "$state" | sed s/degraded/running/)" running
  [ "$state" = running ] || [ "$state" = degraded ] || {
    echo "# the user manager said:"; sed "s/^/#   /" "$WORK/user-manager.log" "$WORK/systemctl.err"
    return 1
  }
}

cycle() {
  local deb1=$1 deb2=$2 v1=$3 v2=$4 out rc
  echo "# $MODE: dpkg -i $deb1"
  out=$(in_root dpkg -i "/tmp/$deb1" 2>&1)
  rc=$?
  echo "$out" | sed 's/^/#   /'
  expect "$MODE: dpkg -i succeeds" "$rc" 0
  expect "$MODE: installed" "$(in_root dpkg-query -W -f='${Status} ${Version}' quillmend-agent)" \
    "install ok installed $v1"
  check "$MODE: group qmagent exists" group_exists
  check "$MODE: programs in $HOME_DIR/bin" test -x "$HOME_DIR/bin/QMAgent" -a \
    -f "$HOME_DIR/bin/libmoxclient.so" -a -x "$HOME_DIR/bin/qmasvchost" -a \
    -x "$HOME_DIR/bin/ServiceReStart.sh"
  check "$MODE: qmactl on the search path" test -L "/usr/sbin/qmactl"
  check "$MODE: copyright" test -f "/usr/share/doc/quillmend-agent/copyright"
  expect "$MODE: service runs after install" "$(service_state)" "$(running_word)"
  if [ "$MODE" = systemd ]; then
    expect "$MODE: unit enabled" "$(in_root systemctl --user is-enabled "$UNIT" 2>&1)" enabled
  else
    expect "$MODE: automatic start recorded" "$(in_root "$HOME_DIR/bin/qmasvchost" query \
      "$SERVICE" | sed -n 's/^START_TYPE *: *\([0-9]*\).*/\1/p')" 2
  fi
  expect "$MODE: machine environment AXIS2C_HOME" "$(registry_value "$ENV_KEY" AXIS2C_HOME)" \
    "$HOME_DIR"
  check "$MODE: the pipe listens" until_true 20 pipe_ready
  check "$MODE: the agent logs to /var/log/quillmend-agent" \
    test -s "/var/log/quillmend-agent/QMA_LOGROOT/QMAgent.log"
  expect "$MODE: log path setting" "$(registry_value "$CONFIG_KEY" LOG_SAVEPATH)" \
    /var/log/quillmend-agent/QMA_LOGROOT
  out=$(in_root qmactl info 2>&1)
  rc=$?
  expect "$MODE: qmactl info exits 0" "$rc" 0
  check "$MODE: qmactl info shows status 600" grep -q "^Status: 600$" <<<"$out"
  check "$MODE: qmactl info shows the agent's version" grep -q "^AgentVersion: $V1$" <<<"$out"
  expect "$MODE: qmactl --json info through jq" \
    "$(in_root qmactl --json info | jq -r '.QMAData.Status')" 600

  # State that an upgrade must keep: a registry value, a module's status and history.
  in_root "$HOME_DIR/bin/qmareg" add "$CONFIG_KEY" /v KEEP_MARK /t REG_SZ /d kept /f >/dev/null
  local module=$HOME_DIR/bin/QMA_PKGROOT/01000000
  mkdir -p "$module"
  printf '3\n' >"$module/ModuleStatus"
  printf '<version><current>1.2</current></version>\n' >"$module/CurrentVersion.xml"
  printf '<version><current>1.1</current></version>\n' >"$module/ExVersion.xml"
  local sums old_pid
  sums=$(cd "$module" && md5sum ModuleStatus CurrentVersion.xml ExVersion.xml)
  old_pid=$(agent_pid)

  echo "# $MODE: dpkg -i $deb2 (upgrade)"
  out=$(in_root dpkg -i "/tmp/$deb2" 2>&1)
  rc=$?
  echo "$out" | sed 's/^/#   /'
  expect "$MODE: upgrade succeeds" "$rc" 0
  expect "$MODE: upgraded" "$(in_root dpkg-query -W -f='${Version}' quillmend-agent)" "$v2"
  expect "$MODE: service runs after upgrade" "$(service_state)" "$(running_word)"
  check "$MODE: the agent was restarted" test "$(agent_pid)" != "$old_pid"
  expect "$MODE: registry kept" "$(registry_value "$CONFIG_KEY" KEEP_MARK)" kept
  expect "$MODE: log path kept" "$(registry_value "$CONFIG_KEY" LOG_SAVEPATH)" \
    /var/log/quillmend-agent/QMA_LOGROOT
  expect "$MODE: module status and history kept" \
    "$(cd "$module" && md5sum ModuleStatus CurrentVersion.xml ExVersion.xml)" "$sums"
  check "$MODE: the pipe listens after upgrade" until_true 20 pipe_ready
  check "$MODE: qmactl info after upgrade" in_root qmactl info >/dev/null

  echo "# $MODE: dpkg -r"
  out=$(in_root dpkg -r quillmend-agent 2>&1)
  rc=$?
  echo "$out" | sed 's/^/#   /'
  expect "$MODE: dpkg -r succeeds" "$rc" 0
  expect "$MODE: removed, its purge still to come" \
    "$(in_root dpkg-query -W -f='${Status}' quillmend-agent)" "deinstall ok config-files"
  check "$MODE: no agent process left" until_true 10 no_agent_processes
  check "$MODE: programs gone" test ! -e "$HOME_DIR/bin/QMAgent" -a ! -e "/usr/sbin/qmactl"
  if [ "$MODE" = systemd ]; then
    expect "$MODE: unit gone" "$(in_root systemctl --user show -p LoadState --value "$UNIT")" \
      not-found
    check "$MODE: unit file gone" test ! -e "/tmp/user/.config/systemd/user/$UNIT"
  else
    check "$MODE: service gone from the service database" \
      test ! -e "/var/lib/qmagent/scm/quillmend%20agent"
  fi
  check "$MODE: registry kept until purge" grep -q KEEP_MARK "/var/lib/qmagent/registry.reg"
  check "$MODE: logs kept until purge" test -s \
    "/var/log/quillmend-agent/QMA_LOGROOT/QMAgent.log"
  expect "$MODE: module files kept until purge" \
    "$(cd "$module" && md5sum ModuleStatus CurrentVersion.xml ExVersion.xml)" "$sums"

  echo "# $MODE: dpkg -P"
  out=$(in_root dpkg -P quillmend-agent 2>&1)
  rc=$?
  echo "$out" | sed 's/^/#   /'
  expect "$MODE: dpkg -P succeeds" "$rc" 0
  expect "$MODE: not installed any more" \
    "$(in_root dpkg-query -W -f='${Status}' quillmend-agent 2>/dev/null)" ""
  check "$MODE: state, logs and installation root gone" test ! -e "/var/lib/qmagent" -a \
    ! -e "/var/log/quillmend-agent" -a ! -e "$HOME_DIR"
  check "$MODE: no agent process left after purge" no_agent_processes
}

# In the namespaces, before the chroot: builds the overlay root and moves into it.
inside() {
  local work=$1 ROOT=$1/root
  # The overlay's upper layer lies on a tmpfs of its own (an upper layer may not be an
  # overlay, as / can be in a container); its lower layer is the host's root.
  mount -t tmpfs -o mode=0755 tmpfs "$work/layers" &&
    mkdir "$work/layers/upper" "$work/layers/work" &&
    mount -t overlay overlay \
      -o "lowerdir=/,upperdir=$work/layers/upper,workdir=$work/layers/work" "$ROOT" &&
    mount -t proc proc "$ROOT/proc" &&
    mount --rbind /dev "$ROOT/dev" &&
    mount --rbind /sys "$ROOT/sys" &&
    mount -t tmpfs -o mode=0755 tmpfs "$ROOT/run" &&
    mount -t tmpfs -o mode=1777 tmpfs "$ROOT/tmp" || {
    echo "package test: FAILED: cannot build the overlay root"
    return 1
  }
  cp "$work"/dist/*.deb "$0" "$CHECKS" "$ROOT/tmp/"
  # A host that forbids starting services (an image's policy-rc.d) does not forbid it here.
  rm -f "$ROOT/usr/sbin/policy-rc.d"
  mkdir -p "$ROOT/tmp/host/etc" "$ROOT/tmp/host/run" "$ROOT/tmp/work"
  ln -s /etc/os-release "$ROOT/tmp/host/etc/os-release"
  ln -s /proc "$ROOT/tmp/host/proc"
  # The PID namespace's first process moves into the root itself: systemctl refuses to
  # act where its root differs from that of process 1, as in a plain chroot.
  shift
  exec chroot "$ROOT" /bin/bash "/tmp/$(basename "$0")" --in-root "$@"
}

# In the overlay root: one cycle.
in_root_main() {
  MODE=$1
  WORK=/tmp/work
  SCOPE_ENV=()
  read -r -a GROUPS_MADE <<<"${2:-}"
  DEB1=$3 DEB2=$4 V1=$5 V2=$6
  if [ "$MODE" = systemd ]; then
    SCOPE_ENV=(QMA_SYSTEMD_SCOPE=user XDG_RUNTIME_DIR=/run/user/0 XDG_CONFIG_HOME=/tmp/user/.config)
    start_user_manager || return 1
  fi
  cycle "$DEB1" "$DEB2" "$V1" "$V2"
  [ "$failures" -eq 0 ]
}

case ${1:-} in
  --inside)
    shift
    inside "$@"
    exit $?
    ;;
  --in-root)
    shift
    in_root_main "$@"
    exit $?
    ;;
esac

# ---- outside: build, lint, and run each cycle in fresh namespaces ----

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "package test: FAILED: needs root for private mount and PID namespaces (uid $(id -u))"
  exit 1
fi
if dpkg-query -W -f='${Status}' quillmend-agent 2>/dev/null | grep -q installed ||
  [ -e /var/lib/qmagent ] || [ -e "$HOME_DIR" ]; then
  echo "package test: FAILED: this machine has the agent installed; its sockets would be" \
    "reachable from the overlay, so the test runs only where the agent is not installed"
  exit 1
fi
WORK=$(mktemp -d /tmp/qma-package-XXXXXX)
GROUP_NAME=qma-pkgtest-$$
cleanup() {
  # The PID namespaces have ended, and every process in them: remove the control groups.
  local group
  for _ in $(seq 1 50); do
    find /sys/fs/cgroup -depth -type d -name "$GROUP_NAME" 2>/dev/null | while read -r group; do
      find "$group" -depth -type d -exec rmdir {} + 2>/dev/null
    done
    [ -z "$(find /sys/fs/cgroup -type d -name "$GROUP_NAME" 2>/dev/null)" ] && break
    sleep 0.1
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/dist" "$WORK/root" "$WORK/layers"

V1=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$src/service/QMAgent.xml" | head -n 1)
V2=$V1+1
deb1=$("$src/packaging/build-deb.sh" "$build" "$WORK/dist" "$V1") || {
  echo "package test: FAILED: cannot build the package"
  exit 1
}
deb2=$("$src/packaging/build-deb.sh" "$build" "$WORK/dist" "$V2") || exit 1
ok "packages built: $(basename "$deb1") $(basename "$deb2")"
if lint=$(lintian --fail-on error "$deb1" 2>&1); then
  ok "lintian reports no errors"
else
  not_ok "lintian reports errors:"
  echo "$lint"
fi
[ -n "$lint" ] && echo "$lint" | sed 's/^/#   /'

# Control groups for the user manager, below this process's own in every hierarchy.
groups=""
while IFS=: read -r _ controllers path; do
  if [ -z "$controllers" ]; then
    mount_point=$(awk '$9 == "cgroup2" {print $5; exit}' /proc/self/mountinfo)
  else
    mount_point=$(awk -v c="$controllers" \
      '$9 == "cgroup" && ("," $NF ",") ~ ("," c ",") {print $5; exit}' /proc/self/mountinfo)
  fi
  [ -n "$mount_point" ] || continue
  group=$mount_point${path%/}/$GROUP_NAME
  mkdir "$group" 2>/dev/null && groups="$groups $group"
done </proc/self/cgroup

for mode in ${QMA_PACKAGE_TEST_MODES:-standalone systemd}; do
  echo "# cycle under $mode"
  if unshare --mount --propagation private --pid --fork --kill-child -- \
    "$0" --inside "$WORK" "$mode" "$groups" "$(basename "$deb1")" "$(basename "$deb2")" \
    "$V1" "$V2"; then
    ok "cycle under $mode"
  else
    not_ok "cycle under $mode"
  fi
done

finish "package test"
