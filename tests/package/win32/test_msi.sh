#!/usr/bin/env bash
# The Windows installer for real, under Wine, in a Wine prefix of its own:
#   tables     the package's tables as msiinfo reads them (no Wine);
#   lifecycle  msiexec installs it (service running, qmactl.exe answered), a higher version
#              upgrades it (a registered module's status and the version history kept), a
#              lower one is refused, msiexec /x removes the programs and the service but
#              leaves state and logs, and PURGE=1 takes those too.
# usage: test_msi.sh SOURCE_DIR BUILD_DIR tables|lifecycle
set -uo pipefail

src=$1
build=$2
mode=$3
# shellcheck source=../../support/checks.sh
. "$src/tests/support/checks.sh"

WORK=$(mktemp -d)
PREFIX=$WORK/prefix
cleanup() {
  [ -d "$PREFIX" ] && WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT

# shellcheck source=../../../packaging/msi/product.conf
. "$src/packaging/msi/product.conf"
V1=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$src/service/QMAgent.xml" | head -n 1)
V2=${V1%.*}.$((${V1##*.} + 1))
msi1=$("$src/packaging/build-msi.sh" "$build" "$WORK/dist" "$V1") || {
  echo "msi test: FAILED: cannot build the installer"
  exit 1
}
msi2=$("$src/packaging/build-msi.sh" "$build" "$WORK/dist" "$V2") || exit 1
ok "installers built: ${msi1##*/} ${msi2##*/}"

# table MSI NAME: the rows of one table, tab-separated, without the three heading lines.
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }
property() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p {print $2}'; }
# table_has MSI TABLE PATTERN: a row of the table matches the extended pattern.
table_has() { table "$1" "$2" | grep -qE "$3"; }
not() { ! "$@"; }
x64_template() { msiinfo suminfo "$1" | grep -q '^Template: x64;'; }
refuses_downgrade() {
  table_has "$1" Upgrade WIX_DOWNGRADE_DETECTED &&
    table_has "$1" LaunchCondition '^NOT WIX_DOWNGRADE_DETECTED'
}

tables() {
  expect "product name" "$(property "$msi1" ProductName)" "$MSI_PRODUCT_NAME"
  expect "manufacturer" "$(property "$msi1" Manufacturer)" "$MSI_MANUFACTURER"
  expect "version" "$(property "$msi1" ProductVersion)" "$V1"
  expect "upgrade code" "$(property "$msi1" UpgradeCode)" "{$MSI_UPGRADE_CODE}"
  expect "the same upgrade code for the higher version" "$(property "$msi2" UpgradeCode)" \
    "{$MSI_UPGRADE_CODE}"
  local code1 code2
  code1=$(property "$msi1" ProductCode)
  code2=$(property "$msi2" ProductCode)
  check "each version has a product code of its own" test -n "$code1" -a "$code1" != "$code2"
  "$src/packaging/build-msi.sh" "$build" "$WORK/again" "$V1" >/dev/null
  expect "the same sources give the same product code" \
    "$(property "$WORK/again/${msi1##*/}" ProductCode)" "$code1"
  check "a 64-bit package" x64_template "$msi1"

  # Every file of the installation, at its place under Program Files; nothing else.
  local stage=$WORK/stage files expected
  cmake --install "$build" --prefix "$stage" >/dev/null
  expected=$(cd "$stage" && find bin -type f | sort)
  files=$(table "$msi1" File | while IFS=$'\t' read -r _ component name _; do
    echo "$(component_path "$component")/$name"
  done | sort)
  expect "the File table holds the installation's files" "$files" "$expected"
  check "without import libraries" not table_has "$msi1" File '\.dll\.a'
  expect "bin lies in Program Files\\$MSI_MANUFACTURER\\$MSI_PRODUCT_NAME" \
    "$(directory_path BINDIR)" "ProgramFiles64Folder/$MSI_MANUFACTURER/$MSI_PRODUCT_NAME/bin"
  expect "the empty log folder is created" \
    "$(directory_path "$(table "$msi1" CreateFolder | cut -f1)")" \
    "ProgramFiles64Folder/$MSI_MANUFACTURER/$MSI_PRODUCT_NAME/bin/QMA_LOGROOT"
  expect "the machine environment" "$(table "$msi1" Environment | cut -f2,3 | sort)" \
    "$(printf '=-*AXIS2C_HOME\t[INSTALLDIR]\n=-*Path\t[~];[INSTALLDIR]bin')"
  expect "the service steps and when they run" \
    "$(table "$msi1" InstallExecuteSequence | awk -F'\t' '$1 ~ /AgentService|AgentState|EnvironmentStrings/ {print $3, $1, $2}' | sort -n)" \
    "$(printf '%s\n' '1900 RemoveAgentService REMOVE="ALL"' '3300 RemoveEnvironmentStrings ' \
      '3550 PurgeAgentState REMOVE="ALL" AND PURGE AND NOT UPGRADINGPRODUCTCODE' \
      '5200 WriteEnvironmentStrings ' '5899 UndoAgentService NOT Installed AND NOT REMOVE="ALL"' \
      '5900 InstallAgentService NOT Installed AND NOT REMOVE="ALL"')"
  expect "the service steps run the installed batch file, deferred, as the system" \
    "$(table "$msi1" CustomAction | awk -F'\t' '$1 ~ /AgentService$/ {print $1, $2, $3, $4}' | sort)" \
    "$(printf '%s\n' \
      'InstallAgentService 3106 BINDIR "[System64Folder]cmd.exe" /d /c ""[BINDIR]QMAServiceSetup.bat" install"' \
      'RemoveAgentService 3170 BINDIR "[System64Folder]cmd.exe" /d /c ""[BINDIR]QMAServiceSetup.bat" remove"' \
      'UndoAgentService 3426 BINDIR "[System64Folder]cmd.exe" /d /c ""[BINDIR]QMAServiceSetup.bat" remove"')"
  check "a lower version is refused" refuses_downgrade "$msi1"
  expect "PURGE reaches the deferred steps" \
    "$(property "$msi1" SecureCustomProperties | tr ';' '\n' | grep -x PURGE)" PURGE
  check "a version beyond what Windows Installer takes is refused" \
    not "$src/packaging/build-msi.sh" "$build" "$WORK/bad" 256.0.0 2>/dev/null
}
# directory_path ID: the folder's path through the Directory table, '/' between names.
directory_path() {
  local id=$1 path="" parent name
  while [ -n "$id" ] && [ "$id" != TARGETDIR ]; do
    IFS=$'\t' read -r parent name < <(table "$msi1" Directory | awk -F'\t' -v d="$id" \
      '$1 == d {print $2 "\t" $3}')
    name=${name##*|}
    [ "$name" = . ] || [ -z "$name" ] && name=$id
    path=$name${path:+/$path}
    id=$parent
  done
  echo "$path"
}
# component_path COMPONENT: its folder below the installation root.
component_path() {
  local dir full
  dir=$(table "$msi1" Component | awk -F'\t' -v c="$1" '$1 == c {print $3}')
  full=$(directory_path "$dir")
  echo "${full#"ProgramFiles64Folder/$MSI_MANUFACTURER/$MSI_PRODUCT_NAME/"}"
}

# ---- the lifecycle under Wine ----

winpath() { printf 'Z:%s' "${1//\//\\}"; }
# The agent's state and host facts in folders of this test, as for every agent a test starts.
mkdir -p "$WORK/state" "$WORK/host"
export QMA_STATE_DIR QMA_HOST_ROOT
QMA_STATE_DIR=$(winpath "$WORK/state")
QMA_HOST_ROOT=$(winpath "$WORK/host")
HOME_DIR="$PREFIX/drive_c/Program Files/$MSI_MANUFACTURER/$MSI_PRODUCT_NAME"
BIN="C:\\Program Files\\$MSI_MANUFACTURER\\$MSI_PRODUCT_NAME\\bin"
ENV_KEY='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
SERVICES_KEY='HKLM\SYSTEM\CurrentControlSet\Services'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

wine_run() { "$src/cmake/wine-run.sh" "$PREFIX" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
msiexec() {
  "$src/cmake/wine-run.sh" "$PREFIX" msiexec "$@" /qn </dev/null >/dev/null 2>&1
}
registry_value() { # KEY NAME
  wine_run reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//Ip"
}
# The service's key name: "Quillmend Agent", tagged with the state folder of this test.
service_name() {
  wine_run reg query "$SERVICES_KEY" | sed -n "s/^.*\\\\\\($MSI_PRODUCT_NAME\\(\\..*\\)\\?\\)$/\\1/p"
}
service_running() { wine_run sc query "$1" | grep -q 'STATE *: *4 *RUNNING'; }
bin_on_path() { registry_value "$ENV_KEY" Path | tr ';' '\n' | grep -qxF "$BIN"; }
agent_stopped() { ! wine_run "$BIN\\qmactl.exe" --timeout 2 info >/dev/null; }
agent_answers() { wine_run "$BIN\\qmactl.exe" info | grep -q '^Status: 600$'; }
agent_version() { wine_run "$BIN\\qmactl.exe" info | sed -n 's/^AgentVersion: //p'; }
# What the installer put there: programs, libraries and batch files outside the registered
# module's folder.
program_files() {
  [ -d "$HOME_DIR" ] && find "$HOME_DIR" -type f \( -iname '*.exe' -o -iname '*.dll' -o \
    -iname '*.bat' \) ! -path '*/QMA_PKGROOT/01000000/*'
}
module_status() { cat "$HOME_DIR/bin/QMA_PKGROOT/01000000/ModuleStatus" 2>/dev/null; }
module_failed() { case $(module_status) in 2*) return 0 ;; *) return 1 ;; esac; }

# A package of module 01000000 at version 1.0.0 whose update tool accepts, then completes;
# its notice goes to a port where nothing listens, so the update ends as failed, a status no
# start would make up.
make_package() {
  mkdir -p "$WORK/package"
  cat >"$WORK/package/QuillInfo.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<quillmend_package><module_id>01000000</module_id><package_id>TestModule-2.0.0</package_id>
<module_name lang="ja">Test module</module_name><module_name lang="en">Test module</module_name>
<version>2.0.0</version><reboot>false</reboot>
<supported_operating_systems><windows_os major="*" minor="*" sp_major="*" sp_minor="*" arch="*">
<reference refid="all"/></windows_os></supported_operating_systems>
<usage refid="all"><update_normal timeout="60">tool.bat</update_normal>
<get_version timeout="60">version.bat</get_version></usage>
<output_messages><message_list status_code="Complete"><message lang="en">Completed</message>
</message_list></output_messages></quillmend_package>
XML
  printf '%s\r\n' '@echo off' \
    '> Update_normal.xml echo ^<Response^>^<result_code^>OK^</result_code^>^</Response^>' \
    ':wait' 'if exist Update_normal.xml goto wait' \
    '> Update_normal.xml echo ^<Response^>^<result_code^>Complete^</result_code^>^<data^>^<version^>2.0.0^</version^>^</data^>^</Response^>' \
    >"$WORK/package/tool.bat"
  printf '%s\r\n' '@echo off' \
    '> Get_version.xml echo ^<Response^>^<result_code^>OK^</result_code^>^<data^>^<version^>1.0.0^</version^>^</data^>^</Response^>' \
    >"$WORK/package/version.bat"
  (cd "$WORK/package" && zip -q ../package.zip QuillInfo.xml tool.bat version.bat)
}

lifecycle() {
  local rc name out status history
  msiexec /i "$(winpath "$msi1")"
  rc=$?
  expect "msiexec /i $V1 succeeds" "$rc" 0
  check "the agent answers on its pipe" until_true 20 agent_answers
  expect "the installed agent reports the installer's version" "$(agent_version)" "$V1"
  name=$(service_name)
  check "the service is registered" test -n "$name"
  expect "with automatic start" "$(registry_value "$SERVICES_KEY\\$name" Start)" 0x2
  check "and running" service_running "$name"
  expect "AXIS2C_HOME in the machine environment" "$(registry_value "$ENV_KEY" AXIS2C_HOME)" \
    "C:\\Program Files\\$MSI_MANUFACTURER\\$MSI_PRODUCT_NAME\\"
  check "bin on the machine Path" bin_on_path
  expect "shown in Programs and Features" \
    "$(registry_value "$UNINSTALL_KEY\\$(property "$msi1" ProductCode)" Publisher)" \
    "$MSI_MANUFACTURER"
  check "the agent's own package with its version tool" test -f \
    "$HOME_DIR/bin/QMA_PKGROOT/02000000/QuillInfo.xml" -a \
    -f "$HOME_DIR/bin/QMA_PKGROOT/02000000/QMAGetVersion.exe"

  # The failure command starts a stopped service again.
  wine_run "$BIN\\QMAgent.exe" -stop >/dev/null
  check "the service stopped" agent_stopped
  wine_run cmd /c "$BIN\\ServiceReStart.bat" >/dev/null
  check "ServiceReStart.bat started it again" until_true 20 agent_answers
  check "and noted it" grep -q "starting it again" "$HOME_DIR/bin/ServiceReStart.log"

  # State the upgrade must keep: a registered module that failed its update, and the
  # agent's version history.
  make_package
  out=$(wine_run "$BIN\\qmactl.exe" register 01000000 "$(winpath "$WORK/package.zip")")
  check "module 01000000 registered" grep -q '^Status: 600$' <<<"$out"
  out=$(wine_run "$BIN\\qmactl.exe" update 01000000 update_normal --reply 127.0.0.1:1)
  check "its update accepted" grep -q '^Status: 601$' <<<"$out"
  check "and failed in the end: the notice could not be sent" until_true 60 module_failed
  status=$(module_status)
  out=$(wine_run "$BIN\\qmactl.exe" versions)
  check "versions answered" grep -q '^Status: 600$' <<<"$out"
  history="$HOME_DIR/bin/QMA_PKGROOT/02000000"
  check "the agent's version recorded" grep -q "<version>$V1</version>" "$history/CurrentVersion.xml"
  check "and the module's" grep -q "<version>1.0.0</version>" \
    "$HOME_DIR/bin/QMA_PKGROOT/01000000/CurrentVersion.xml"

  msiexec /i "$(winpath "$msi2")"
  rc=$?
  expect "msiexec /i $V2 upgrades" "$rc" 0
  check "the upgraded agent answers" until_true 20 agent_answers
  expect "and reports the higher version" "$(agent_version)" "$V2"
  expect "one product left in Programs and Features" \
    "$(wine_run reg query "$UNINSTALL_KEY" | grep -c "{$(property "$msi1" ProductCode | tr -d '{}')}")" 0
  expect "the service registered once, with automatic start" \
    "$(registry_value "$SERVICES_KEY\\$(service_name)" Start)" 0x2
  expect "the module's status kept" "$(module_status)" "$status"
  check "its package kept" test -f "$HOME_DIR/bin/QMA_PKGROOT/01000000/tool.bat"
  out=$(wine_run "$BIN\\qmactl.exe" versions)
  check "versions answered after the upgrade" grep -q '^Status: 600$' <<<"$out"
  check "the history moved on: the old version is the previous one" grep -q \
    "<version>$V1</version>" "$history/ExVersion.xml"
  check "and the new one current" grep -q "<version>$V2</version>" "$history/CurrentVersion.xml"
  check "the module's version kept" grep -q "<version>1.0.0</version>" \
    "$HOME_DIR/bin/QMA_PKGROOT/01000000/CurrentVersion.xml"

  msiexec /i "$(winpath "$msi1")"
  rc=$?
  check "a lower version is refused" test "$rc" -ne 0
  expect "and changes nothing" "$(agent_version)" "$V2"

  msiexec /x "$(winpath "$msi2")"
  rc=$?
  expect "msiexec /x succeeds" "$rc" 0
  expect "no service left" "$(service_name)" ""
  expect "no program files left" "$(program_files)" ""
  expect "AXIS2C_HOME taken back" "$(registry_value "$ENV_KEY" AXIS2C_HOME)" ""
  check "bin taken off Path" not bin_on_path
  expect "gone from Programs and Features" \
    "$(registry_value "$UNINSTALL_KEY\\$(property "$msi2" ProductCode)" DisplayName)" ""
  expect "the module's status left" "$(module_status)" "$status"
  check "the agent's log left" test -s "$HOME_DIR/bin/QMA_LOGROOT/QMAgent.log"
  check "the settings left" test -n "$(registry_value 'HKLM\SOFTWARE\Norvik\QMAgent\Config' LOG_SAVEPATH)"

  msiexec /i "$(winpath "$msi2")"
  expect "installed again over the state left, the module's status is there" \
    "$(module_status)" "$status"
  msiexec /x "$(winpath "$msi2")" PURGE=1
  rc=$?
  expect "msiexec /x PURGE=1 succeeds" "$rc" 0
  check "the installation folder is gone" test ! -e "$HOME_DIR"
  expect "the settings are gone" \
    "$(wine_run reg query 'HKLM\SOFTWARE\Norvik\QMAgent' | grep -c Config)" 0
  expect "no service left" "$(service_name)" ""

  # An installation whose service does not start fails and is rolled back whole (here the
  # agent cannot load its inventory library); a service of the same name left behind by an
  # earlier installation is replaced.
  WINEDLLOVERRIDES=BmcGate=d msiexec /i "$(winpath "$msi1")"
  rc=$?
  check "an installation whose service does not start fails" test "$rc" -ne 0
  expect "and leaves no service" "$(service_name)" ""
  expect "no program files" "$(program_files)" ""
  expect "nothing in Programs and Features" \
    "$(registry_value "$UNINSTALL_KEY\\$(property "$msi1" ProductCode)" DisplayName)" ""
  expect "no AXIS2C_HOME" "$(registry_value "$ENV_KEY" AXIS2C_HOME)" ""
  wine_run sc create "$name" binpath= 'C:\windows\no-such-agent.exe' >/dev/null
  check "a service left behind" test -n "$(service_name)"
  msiexec /i "$(winpath "$msi1")"
  rc=$?
  expect "an installation over a service left behind succeeds" "$rc" 0
  check "and its agent answers" until_true 20 agent_answers
}

case $mode in
  tables) tables ;;
  lifecycle) lifecycle ;;
  *)
    echo "usage: $0 SOURCE_DIR BUILD_DIR tables|lifecycle" >&2
    exit 2
    ;;
esac
finish "msi $mode"
