#!/usr/bin/env bash
# Demo: a package's road end to end. Packs a sample module (a package descriptor and a small
# update tool script) with the installation's own QMAzip, registers it with `qmactl register`
# as the manager's upload would be, starts a notice receiver with `qmactl listen`, updates the
# module with `qmactl update`, and shows the accepted answer, the completion notice the
# receiver got, the progress query and the statuses the agent keeps.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib/agent.sh"

MODULE=05000000
MODULE_DIR="$AXIS2C_HOME/bin/QMA_PKGROOT/$MODULE"
WORK=$(mktemp -d)
LISTENER=

finish() {
  [ -n "$LISTENER" ] && kill "$LISTENER" 2>/dev/null
  rm -rf "$WORK"
}
trap finish EXIT

PACKAGE="$WORK/package"
mkdir -p "$PACKAGE"
cat >"$PACKAGE/QuillInfo.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<quillmend_package>
  <module_id>05000000</module_id>
  <package_id>DEMO-PKG-1.1.0</package_id>
  <module_name lang="ja">デモモジュール</module_name>
  <module_name lang="en">Demo module</module_name>
  <version>1.1.0</version>
  <reboot>false</reboot>
  <supported_operating_systems>
    <windows_os major="*" minor="*" sp_major="*" sp_minor="*" arch="*"><reference refid="any"/></windows_os>
  </supported_operating_systems>
  <usage refid="any">
    <update_normal timeout="30">demo_tool.sh update_normal</update_normal>
    <get_ratio timeout="10">demo_tool.sh get_ratio</get_ratio>
    <get_version timeout="10">demo_tool.sh get_version</get_version>
  </usage>
  <output_messages>
    <message_list status_code="OK">
      <message lang="ja">更新を受け付けました。</message>
      <message lang="en">The update was accepted.</message>
    </message_list>
    <message_list status_code="Complete">
      <message lang="ja">更新が完了しました。</message>
      <message lang="en">The update is complete.</message>
    </message_list>
  </output_messages>
</quillmend_package>
EOF
cat >"$PACKAGE/demo_tool.sh" <<'EOF'
#!/bin/sh
# A sample update tool. The agent starts it in the module folder with the mode as argument;
# it answers in <Mode>.xml: first "OK", then, once the agent has taken that answer away,
# "Complete" after a moment of work. (CurrentVersion.xml, the installed version before this
# update, is kept by the agent's version queries.)
mode=$1
first=$(printf %s "$mode" | cut -c1 | tr a-z A-Z)
result="$first$(printf %s "$mode" | cut -c2-).xml"
answer() {
  printf '<?xml version="1.0"?>\n<Response><result_code>%s</result_code>%s</Response>\n' \
    "$1" "$2" >"$result.part" && mv "$result.part" "$result"
}
if [ "$mode" = get_ratio ]; then
  answer OK "<data>100</data>"
  exit 0
fi
# The installed version, against the 1.1.0 this package carries.
if [ "$mode" = get_version ]; then
  installed=$(cat installed_version 2>/dev/null || echo 1.0.0)
  cmp=Upper
  [ "$installed" = 1.1.0 ] && cmp=Even
  answer OK "<data><cmp>$cmp</cmp><version>$installed</version></data>"
  exit 0
fi
answer OK ""
i=0
while [ -f "$result" ] && [ $i -lt 300 ]; do
  sleep 0.1
  i=$((i + 1))
done
sleep 1
echo 1.1.0 >installed_version
answer Complete ""
EOF
chmod 755 "$PACKAGE/demo_tool.sh"
echo "== update: QMAzip -o demo-package.zip QuillInfo.xml demo_tool.sh"
(cd "$PACKAGE" && QMAzip -o "$WORK/demo-package.zip" QuillInfo.xml demo_tool.sh)
unzip -l "$WORK/demo-package.zip"

# The communication service's name: its plain variant posts notices over plain HTTP, which is
# what `qmactl listen` receives.
if [ ! -f "$AXIS2C_HOME/bin/moxService.xml" ]; then
  echo "== update: $AXIS2C_HOME/bin/moxService.xml (notices over plain HTTP)"
  printf '<parameter><serviceName>moxServicePlain</serviceName></parameter>\n' \
    >"$AXIS2C_HOME/bin/moxService.xml"
fi

start_agent update || exit 1

echo "== update: qmactl register $MODULE demo-package.zip"
qmactl register "$MODULE" "$WORK/demo-package.zip"
rc_register=$?
# The installed version before this update, as the agent's version queries keep it.
printf '<Response><result_code>OK</result_code><data><version>1.0.0</version></data></Response>\n' \
  >"$MODULE_DIR/CurrentVersion.xml"
echo "== update: the module folder $MODULE_DIR"
ls -l "$MODULE_DIR"

echo "== update: qmactl listen 0 --count 1 (the manager's notice receiver)"
qmactl listen 0 --count 1 >"$WORK/notices" 2>&1 &
LISTENER=$!
PORT=
for _ in $(seq 1 100); do
  PORT=$(sed -n 's/^listening on port \([0-9]*\)$/\1/p' "$WORK/notices")
  [ -n "$PORT" ] && break
  sleep 0.1
done
if [ -z "$PORT" ]; then
  echo "update: the notice receiver did not start" >&2
  exit 1
fi
echo "   listening on 127.0.0.1:$PORT"

echo "== update: qmactl update $MODULE update_normal --reply 127.0.0.1:$PORT"
qmactl update "$MODULE" update_normal --reply "127.0.0.1:$PORT"
rc_update=$?

echo "== update: waiting for the completion notice"
for _ in $(seq 1 300); do
  kill -0 "$LISTENER" 2>/dev/null || break
  sleep 0.1
done
rc_notice=1
if kill -0 "$LISTENER" 2>/dev/null; then
  echo "update: no completion notice arrived" >&2
else
  wait "$LISTENER" && rc_notice=0
  LISTENER=
fi
sed '1d' "$WORK/notices"
grep -q '^Status: 600 ' "$WORK/notices" || rc_notice=1

echo "== update: qmactl progress $MODULE"
qmactl progress "$MODULE"

echo "== update: module status ($MODULE_DIR/ModuleStatus) and agent status"
cat "$MODULE_DIR/ModuleStatus"
echo "QMAgentStatus: $(cat "$AXIS2C_HOME/bin/QMAgentStatus")"

stop_agent update
[ "$rc_register" = 0 ] && [ "$rc_update" = 0 ] && [ "$rc_notice" = 0 ]
