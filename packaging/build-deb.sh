#!/usr/bin/env bash
# Builds the Debian package of the agent from a finished build: everything that
# `cmake --install` puts into an installation root, placed under /opt/quillmend-agent,
# with the maintainer scripts, the documents and dependencies computed from the binaries.
# usage: build-deb.sh BUILD_DIR OUT_DIR [VERSION]   (VERSION: that of service/QMAgent.xml)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR [VERSION]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=$2
version=${3:-$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$here/../service/QMAgent.xml" | head -n 1)}
package=quillmend-agent
prefix=/opt/quillmend-agent
arch=$(dpkg --print-architecture)
maintainer=$(sed -n 's/^Maintainer: //p' "$here/deb/control.in")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/root
umask 022

cmake --install "$build" --prefix "$root$prefix" --strip >/dev/null

# Administrators find the two tools on the usual search path.
install -d "$root/usr/sbin"
for tool in qmactl qmareg; do
  [ -e "$root$prefix/bin/$tool" ] && ln -s "$prefix/bin/$tool" "$root/usr/sbin/$tool"
done

doc=$root/usr/share/doc/$package
install -d "$doc" "$root/usr/share/lintian/overrides"
install -m 0644 "$here/deb/copyright" "$doc/copyright"
install -m 0644 "$here/deb/lintian-overrides" "$root/usr/share/lintian/overrides/$package"
install -d "$root/usr/share/man/man8"
for page in "$here"/deb/man/*.8; do
  gzip -9n <"$page" >"$root/usr/share/man/man8/$(basename "$page").gz"
  chmod 0644 "$root/usr/share/man/man8/$(basename "$page").gz"
done
# The entry's date is the last commit's, so the same sources give the same package.
stamp=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)
{
  echo "$package ($version) stable; urgency=medium"
  echo
  echo "  * Quillmend Agent $version."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$stamp")"
} | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"

# Dependencies of every program and library, from the libraries they link.
install -d "$stage/src/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" \
  >"$stage/src/debian/control"
mapfile -t elves < <(find "$root$prefix" -type f -exec sh -c \
  'head -c 4 "$1" | grep -q "ELF" && echo "$1"' sh {} \;)
install -d -m 0755 "$root/DEBIAN"
depends=$(cd "$stage/src" && dpkg-shlibdeps -O -l"$root$prefix/bin" "${elves[@]}" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "build-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z |
  xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/md5sums"
for script in postinst prerm postrm; do
  install -m 0755 "$here/deb/$script" "$root/DEBIAN/$script"
done
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@SIZE@/$size/" "$here/deb/control.in" >"$root/DEBIAN/control"

mkdir -p "$out"
deb="$out/${package}_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
