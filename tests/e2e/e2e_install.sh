#!/usr/bin/env bash
# End-to-end: cmake --install into a user's own prefix (no root needed, nothing written outside
# it, every file in the install manifest), then the installed program started the way its
# desktop entry starts it shows the default sample and ends with status 0 on File, Exit.
# Usage: e2e_install.sh <build dir> <source dir>
source "$(dirname "$0")/e2e_lib.sh"
BUILD=$1
SRC=$2

e2e_init install
PREFIX="$E2E_WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >"$E2E_ART/install.log" 2>&1 ||
  fail "cmake --install failed: $(tail -n 5 "$E2E_ART/install.log")"
if grep -v "Install configuration" "$E2E_ART/install.log" | grep -Ev "(Installing|Up-to-date): $PREFIX/" | grep -q .; then
  fail "the install wrote outside its prefix: $(grep -Ev "$PREFIX" "$E2E_ART/install.log")"
fi
for f in bin/ostrel bin/ovfind lib/libvexacore.so include/libvexa.h lib/pkgconfig/libvexacore.pc \
  share/ostrel/70-ostrel-probe.rules share/icons/hicolor/48x48/apps/ostrel.png; do
  [[ -e $PREFIX/$f ]] || fail "$f is not installed"
done
# Every file the install wrote is in the manifest that an uninstall goes by.
manifest="$BUILD/install_manifest.txt"
[[ -f $manifest ]] || fail "no install_manifest.txt in $BUILD"
cp "$manifest" "$E2E_ART/"
unlisted=$(comm -23 <(find "$PREFIX" \( -type f -o -type l \) | sort) <(sort "$manifest"))
[[ -z $unlisted ]] || fail "installed but not in install_manifest.txt: $unlisted"
grep -qx "$PREFIX/share/applications/ostrel.desktop" "$manifest" || fail "the desktop entry is not in the manifest"
# The pkg-config file gives the project's one version (the one the About box shows).
version=$(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --modversion libvexacore)
[[ $version == 1.0.8 ]] || fail "pkg-config gives version $version"
# The pkg-config file points at the prefix it lies in.
incdir=$(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --cflags-only-I libvexacore | sed 's/^ *-I//; s/ *$//')
libdir=$(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --libs-only-L libvexacore | sed 's/^ *-L//; s/ *$//')
[[ $(realpath "$incdir") == "$(realpath "$PREFIX/include")" && $(realpath "$libdir") == "$(realpath "$PREFIX/lib")" ]] ||
  fail "pkg-config gives -I$incdir -L$libdir"

entry="$PREFIX/share/applications/ostrel.desktop"
[[ -f $entry ]] || fail "no desktop entry"
cp "$entry" "$E2E_ART/"
key() { sed -n "s/^$1=//p" "$entry"; }
exec_cmd=$(key Exec)
workdir=$(key Path)
icon=$(key Icon)
[[ $(head -n1 "$entry") == "[Desktop Entry]" && $(key Type) == Application ]] || fail "not a desktop entry"
[[ $exec_cmd == "$PREFIX/bin/ostrel" ]] || fail "Exec=$exec_cmd"
[[ $workdir == "$PREFIX/share/ostrel" ]] || fail "Path=$workdir"
[[ -f $icon ]] || fail "Icon=$icon is missing"
for f in default.kvd ostrel_help.html scripts/init.lua; do
  [[ -f $workdir/$f ]] || fail "$f is not in the desktop entry's working directory"
done

start_app "$workdir" "$exec_cmd"
win=$(wait_window "$APP_TITLE")
png=$(wait_tree installed "$win" "$SRC/tests/data/captures/cp2110_serial_over_hid_ut612.rows.txt")
note "the installed program shows the default sample: $png"
menu_exit "$win"
wait_exit
