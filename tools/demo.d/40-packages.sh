#!/usr/bin/env bash
# Demo: the package repository and the log archive. Packs a sample package with the
# installation's own archiver, registers it with qmactl register (as the manager's
# upload would), shows its module folder, and fetches the agent's log archive with
# qmactl logs --out. Runs after the service step; starts the agent and stops it again.
set -u

SERVICE="Quillmend Agent"
PIPE="$QMA_STATE_DIR/pipe/qmagentsvc"
MODULE=01000000

if ! qmasvchost query "$SERVICE" >/dev/null 2>&1; then
  QMAgent -install
fi
if [ "$(qmasvchost query "$SERVICE" | sed -n 's/^STATE *: *\([0-9]*\).*/\1/p')" != 4 ]; then
  echo "== packages: QMAgent -start"
  QMAgent -start
fi
for _ in $(seq 1 100); do
  [ -S "$PIPE" ] && break
  sleep 0.1
done
if [ ! -S "$PIPE" ]; then
  echo "packages: the agent's pipe $PIPE did not appear" >&2
  exit 1
fi

work=$(mktemp -d "${QMA_STATE_DIR%/*}/packages.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The sample module: a descriptor for every Linux and an update tool that answers at
# once, works a moment and then reports completion.
cat >"$work/QuillInfo.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<quillmend_package>
  <module_id>01000000</module_id>
  <package_id>SAMPLE-1</package_id>
  <version>1.1</version>
  <reboot>false</reboot>
  <module_name lang="ja">サンプルモジュール</module_name>
  <module_name lang="en">Sample module</module_name>
  <supported_operating_systems>
    <windows_os major="*" minor="*" sp_major="*" sp_minor="*" arch="*"><reference refid="linux"/></windows_os>
  </supported_operating_systems>
  <usage refid="linux">
    <update_normal timeout="60">sample_tool.sh update_normal</update_normal>
    <update_force timeout="60">sample_tool.sh update_force</update_force>
    <get_ratio timeout="10">sample_tool.sh get_ratio</get_ratio>
    <get_version timeout="10">sample_tool.sh get_version</get_version>
  </usage>
  <output_messages>
    <message_list status_code="Complete"><message lang="ja">更新が完了しました。</message><message lang="en">The update is complete.</message></message_list>
    <message_list status_code="OK"><message lang="ja">更新を開始しました。</message><message lang="en">The update has started.</message></message_list>
  </output_messages>
</quillmend_package>
XML
cat >"$work/sample_tool.sh" <<'SH'
#!/bin/sh
# Sample update tool: writes its answer for the mode into the mode's result file.
case $1 in
  update_normal) file=Update_normal.xml ;;
  update_force) file=Update_force.xml ;;
  get_ratio) file=Get_ratio.xml ;;
  get_version) file=Get_version.xml ;;
  *) exit 2 ;;
esac
answer() {
  printf '<Response><result_code>%s</result_code>%s</Response>\n' "$1" "$2" >"$file.part"
  mv "$file.part" "$file"
}
case $1 in
  get_ratio) answer OK "<data>100</data>" ;;
  get_version) answer OK "<data><cmp>Even</cmp><version>1.1</version></data>" ;;
  *) answer OK ""; sleep 2; answer Complete "<data><version>1.1</version></data>" ;;
esac
SH
chmod 755 "$work/sample_tool.sh"
echo "== packages: QMAzip -o sample-package.zip QuillInfo.xml sample_tool.sh"
(cd "$work" && QMAzip -o sample-package.zip QuillInfo.xml sample_tool.sh)
unzip -l "$work/sample-package.zip"

echo "== packages: qmactl register $MODULE sample-package.zip"
qmactl register "$MODULE" "$work/sample-package.zip"
rc_register=$?
echo "== packages: the module folder $AXIS2C_HOME/bin/QMA_PKGROOT/$MODULE"
ls -l "$AXIS2C_HOME/bin/QMA_PKGROOT/$MODULE"
echo "ModuleStatus: $(cat "$AXIS2C_HOME/bin/QMA_PKGROOT/$MODULE/ModuleStatus" 2>/dev/null)"

echo "== logs: qmactl logs --out QMAgentLog.zip"
qmactl logs --out "$work/QMAgentLog.zip"
rc_logs=$?
unzip -l "$work/QMAgentLog.zip"
unzip -tq "$work/QMAgentLog.zip"

echo "== packages: QMAgent -stop"
QMAgent -stop
[ "$rc_register" = 0 ] && [ "$rc_logs" = 0 ]
