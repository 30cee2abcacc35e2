#!/usr/bin/env bash
# Builds the Debian package and the Windows installer into build/packages/.
# Usage: scripts/package.sh [LINUX_BUILD_DIR [WIN_BUILD_DIR]]
# A folder not given is configured and built here as a Release build without
# tests or benchmarks (build/package-linux, build/package-win).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
name=corvane-lattice-tracker
out=$root/build/packages
version=$(sed -nE 's/.*kTrackerVersion\[\] = "([^"]+)".*/\1/p' "$root/src/app/version.h")
[ -n "$version" ] || { echo "package.sh: no kTrackerVersion in src/app/version.h" >&2; exit 1; }
deb=$out/${name}_${version}_amd64.deb
setup=$out/$name-$version-setup.exe
# Nothing from an earlier run is left to pass for this one's.
rm -f "$deb" "$setup"
for tool in cmake ninja strip fakeroot dpkg-deb dpkg-shlibdeps makensis; do
  command -v "$tool" >/dev/null || { echo "package.sh: no $tool (scripts/install_deps.sh installs it)" >&2; exit 1; }
done

build() {
  local dir=$1
  shift
  mkdir -p "$(dirname "$dir")"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLATTICE_TESTS=OFF -DLATTICE_BENCH=OFF \
    -DLIBUTP_DOWNLOAD_DIR="$root/build/_downloads" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; return 1; }
  ninja -C "$dir" "$name" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log" >&2; return 1; }
}
linux_dir=${1:-}
win_dir=${2:-}
if [ -z "$linux_dir" ]; then
  linux_dir=$root/build/package-linux
  build "$linux_dir"
fi
if [ -z "$win_dir" ]; then
  win_dir=$root/build/package-win
  build "$win_dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
fi
linux_bin=$linux_dir/$name
win_exe=$win_dir/$name.exe
# A stale build folder would ship another version under this one's name.
"$linux_bin" --version | grep -qF "$name $version " ||
  { echo "package.sh: $linux_bin is not version $version" >&2; exit 1; }
grep -qaF "$version" "$win_exe" || { echo "package.sh: $win_exe is not version $version" >&2; exit 1; }

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

# --- Debian package, staged as debhelper would stage it.
stage=$work/debian/$name
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/lib/systemd/system" "$stage/etc/default" \
  "$stage/usr/share/doc/$name/examples"
install -m 0755 -s "$linux_bin" "$stage/usr/bin/$name"
install -m 0644 "$root/README.md" "$stage/usr/share/doc/$name/README.md"
install -m 0644 "$root/packaging/prometheus/lattice-alerts.yml" "$stage/usr/share/doc/$name/examples/lattice-alerts.yml"

# The unit is the one -sr writes, so that it never drifts from the program;
# only ExecStart changes, to the installed path and the options of the
# default file. fakeroot passes -sr's root check for a build without root,
# and a PATH without systemctl keeps -sr from touching this machine's systemd.
mkdir "$work/units"
fakeroot -- env PATH=/nonexistent LATTICE_UNIT_DIR="$work/units" "$stage/usr/bin/$name" -sr
unit=$work/units/$name.service
grep -qxF "ExecStart=\"$stage/usr/bin/$name\" -s" "$unit" ||
  { echo "package.sh: -sr wrote an unexpected ExecStart:" >&2; grep ExecStart "$unit" >&2; exit 1; }
sed "s|^ExecStart=.*|EnvironmentFile=-/etc/default/$name\nExecStart=/usr/bin/$name -s \$LATTICE_OPTS|" \
  "$unit" >"$stage/lib/systemd/system/$name.service"

# The options are listed from the program's own usage text.
{
  echo "# Options of the $name service, read at each start:"
  echo "# ExecStart=/usr/bin/$name -s \$LATTICE_OPTS"
  echo "#"
  "$linux_bin" --help | sed -n '/^  -p /,$p' | grep -vE '^  (-s|-sr|-sd|-h,|--version) ' | sed 's/^/# /'
  echo
  echo 'LATTICE_OPTS="-p 3000"'
} >"$stage/etc/default/$name"
echo "/etc/default/$name" >"$stage/DEBIAN/conffiles"
install -m 0755 "$root/packaging/debian/postinst" "$root/packaging/debian/prerm" "$root/packaging/debian/postrm" \
  "$stage/DEBIAN/"

printf 'Source: %s\n\nPackage: %s\nArchitecture: amd64\n' "$name" "$name" >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "debian/$name/usr/bin/$name" 2>"$work/shlibdeps.log") ||
  { cat "$work/shlibdeps.log" >&2; exit 1; }
depends=${depends#shlibs:Depends=}
cat >"$stage/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: amd64
Maintainer: Corvane Lattice maintainers <lattice@corvane.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Section: net
Priority: optional
Description: Corvane Lattice peer-discovery tracker
 Devices connect over TCP or uTP on one port, announce themselves under a
 share and learn the other peers of that share. A systemd unit comes
 installed but disabled; its options are in /etc/default/$name.
EOF
(cd "$stage" && find usr lib etc -type f -printf '%p\0' | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb"

# --- Windows installer.
makensis -V2 -WX -NOCD -DVERSION="$version" -DEXE="$win_exe" -DREADME="$root/README.md" -DALERTS="$root/packaging/prometheus/lattice-alerts.yml" -DOUTFILE="$setup" \
  "$root/packaging/windows/installer.nsi" >"$work/makensis.log" 2>&1 || { cat "$work/makensis.log" >&2; exit 1; }
echo "built $setup"
