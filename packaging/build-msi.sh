#!/usr/bin/env bash
# Builds the Windows installer of the agent from a finished Windows build: everything that
# `cmake --install` lays out (without the import libraries) under
# %ProgramFiles%\Norvik\Quillmend Agent, AXIS2C_HOME and the programs' folder on Path in the
# machine environment, and the service installed and started through QMAServiceSetup.bat.
# wixl writes the package from WiX source made here; the one table wixl cannot write, the
# machine environment's, is added afterwards with msibuild.
# usage: build-msi.sh BUILD_DIR OUT_DIR [VERSION]   (VERSION: that of service/QMAgent.xml)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR [VERSION]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=$2
# shellcheck source=msi/product.conf
. "$here/msi/product.conf"
source_version=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$here/../service/QMAgent.xml" | head -n 1)
version=${3:-$source_version}
# A Windows Installer version is three numbers, at most 255.255.65535.
if ! [[ $version =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] ||
  [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "build-msi: the version must be MAJOR.MINOR.BUILD within 255.255.65535: [$version]" >&2
  exit 2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/root
cmake --install "$build" --prefix "$root" --strip >/dev/null
rm -rf "${root:?}/lib"
if [ ! -f "$root/bin/QMAgent.exe" ] || [ ! -f "$root/bin/QMAServiceSetup.bat" ]; then
  echo "build-msi: $build is not a Windows build" >&2
  exit 1
fi
# The installed agent and its own package report the installer's version.
for file in bin/AgentFolder/QMAgent/QMAgent.xml bin/QMA_PKGROOT/02000000/QuillInfo.xml; do
  sed -i -e "s:<version>$source_version</version>:<version>$version</version>:" \
    -e "s:QMAgent-$source_version<:QMAgent-$version<:" "$root/$file"
done

# guid NAME: a GUID made from the upgrade code and NAME; the same name gives the same GUID.
guid() {
  local h
  h=$(printf '%s/%s' "$MSI_UPGRADE_CODE" "$1" | sha1sum | tr a-f A-F)
  printf '%s-%s-5%s-%X%s-%s' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(((0x${h:16:1} & 3) | 8)) \
    "${h:17:3}" "${h:20:12}"
}
# id PREFIX PATH: a table key for a file or folder of the installation.
id() { printf '%s%s' "$1" "$(printf '%s' "$2" | sha1sum | cut -c1-20)"; }

components=()
# tree FOLDER INDENT: the Directory elements below FOLDER (relative to the root), each file
# a component of its own; a folder without files gets a component that creates it.
tree() {
  local folder=$1 pad=$2 path name dir_id entries=0
  for path in "$root/$folder"/*; do
    [ -e "$path" ] || continue
    name=${path##*/}
    if [ -d "$path" ]; then
      dir_id=$(id D "$folder/$name")
      [ "$folder/$name" = ./bin ] && dir_id=BINDIR
      echo "$pad<Directory Id=\"$dir_id\" Name=\"$name\">"
      tree "$folder/$name" "$pad  "
      echo "$pad</Directory>"
    else
      component "$(id C "$folder/$name")" "$folder/$name" "$pad" \
        "<File Id=\"$(id F "$folder/$name")\" Source=\"${path#"$root/"}\" KeyPath=\"yes\"/>"
    fi
    entries=$((entries + 1))
  done
  if [ "$entries" -eq 0 ]; then
    component "$(id C "$folder/")" "$folder/" "$pad" "<CreateFolder/>"
  fi
}
component() {
  local cid=$1
  [ "$2" = ./bin/QMAgent.exe ] && cid=AgentProgram
  components+=("$cid")
  echo "$3<Component Id=\"$cid\" Guid=\"$(guid "component:$2")\" Win64=\"yes\">$4</Component>"
}

product_code=$(guid "product:$version")
tree . "            " >"$stage/tree.xml"
wxs=$stage/agent.wxs
cat >"$wxs" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$product_code" Name="$MSI_PRODUCT_NAME" Version="$version"
           Manufacturer="$MSI_MANUFACTURER" UpgradeCode="$MSI_UPGRADE_CODE"
           Language="1033" Codepage="1252">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Manufacturer="$MSI_MANUFACTURER" Description="$MSI_PRODUCT_NAME $version"
             Comments="The update agent of a managed server."/>
    <MediaTemplate EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of $MSI_PRODUCT_NAME is already installed."/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Property Id="ARPNOREPAIR" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="ManufacturerFolder" Name="$MSI_MANUFACTURER">
          <Directory Id="INSTALLDIR" Name="$MSI_PRODUCT_NAME">
$(cat "$stage/tree.xml")
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Agent" Title="$MSI_PRODUCT_NAME" Level="1">
$(for c in "${components[@]}"; do echo "      <ComponentRef Id=\"$c\"/>"; done)
    </Feature>
  </Product>
</Wix>
EOF

mkdir -p "$out"
msi=$(cd "$out" && pwd)/quillmend-agent-$version-x64.msi
rm -f "$msi"
(cd "$root" && wixl -a x64 -o "$msi" "$wxs")
# What wixl cannot write goes into the tables directly: the machine environment, and the
# service steps as commands run from a folder of the installation (deferred, as the system).
query() { msibuild "$msi" -q "$1" || { echo "build-msi: the query failed: $1" >&2; exit 1; }; }
# shellcheck disable=SC2016 # the back quotes are SQL's
declare -A COLUMNS=([Environment]='`Environment`, `Name`, `Value`, `Component_`'
  [CustomAction]='`Action`, `Type`, `Source`, `Target`'
  [InstallExecuteSequence]='`Action`, `Condition`, `Sequence`')
# row TABLE VALUE...: one row; numbers go in as numbers, the rest as text (without quotes).
row() {
  local table=$1 values='' value
  shift
  for value in "$@"; do
    if [[ $value =~ ^[0-9]+$ ]]; then values+=", $value"; else values+=", '$value'"; fi
  done
  query "INSERT INTO \`$table\` (${COLUMNS[$table]}) VALUES (${values:2})"
}
query "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)"
# AXIS2C_HOME, and the programs' folder at the end of Path: set on installation, taken back
# on removal.
row Environment AgentHome '=-*AXIS2C_HOME' '[INSTALLDIR]' AgentProgram
row Environment AgentPath '=-*Path' '[~];[INSTALLDIR]bin' AgentProgram

# Custom action types: 34 a program run in a folder of the installation, +1024 deferred,
# +2048 as the system rather than the user, +256 on rollback only, +64 its exit code ignored.
setup='"[System64Folder]cmd.exe" /d /c ""[BINDIR]QMAServiceSetup.bat"'
row CustomAction InstallAgentService $((34 + 1024 + 2048)) BINDIR "$setup install\""
row CustomAction UndoAgentService $((34 + 1024 + 2048 + 256 + 64)) BINDIR "$setup remove\""
row CustomAction RemoveAgentService $((34 + 1024 + 2048 + 64)) BINDIR "$setup remove\""
# PURGE=1 on removal: the installation folder with all the agent wrote there (state, logs,
# packages), its state folder and its registry settings.
row CustomAction PurgeAgentState $((34 + 1024 + 2048 + 64)) ManufacturerFolder \
  "\"[System64Folder]cmd.exe\" /d /c rd /s /q \"[INSTALLDIR]\" & rd /s /q \"[CommonAppDataFolder]QMAgent\" & \"[System64Folder]reg.exe\" delete \"HKLM\\SOFTWARE\\Norvik\\QMAgent\" /f"
# The service stops before any file goes and is installed and started after the files and
# the environment are in place; a failed start rolls the installation back.
row InstallExecuteSequence RemoveAgentService 'REMOVE="ALL"' 1900
row InstallExecuteSequence RemoveEnvironmentStrings '' 3300
row InstallExecuteSequence PurgeAgentState 'REMOVE="ALL" AND PURGE AND NOT UPGRADINGPRODUCTCODE' 3550
row InstallExecuteSequence WriteEnvironmentStrings '' 5200
row InstallExecuteSequence UndoAgentService 'NOT Installed AND NOT REMOVE="ALL"' 5899
row InstallExecuteSequence InstallAgentService 'NOT Installed AND NOT REMOVE="ALL"' 5900
query "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;PURGE' WHERE \`Property\` = 'SecureCustomProperties'"
echo "$msi"
