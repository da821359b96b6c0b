#!/bin/sh
# Builds the Debian package, installs it on this machine with dpkg -i, checks
# what it put where, that the programs start from the installed directory,
# that a reinstall keeps an edited config.ini, and removes it again.
#
#   packaging/test_package.sh [build-dir]
#
# Needs root (dpkg -i) and must not find the package installed already: it
# would otherwise replace a real installation. The service is not started
# (systemd need not run here); its unit files are checked with
# systemd-analyze verify where that works.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}
dir=/opt/solver_unit
units=/lib/systemd/system
pkg=solver-unit
passes=0
failures=0

check() { # description, command...
    what=$1; shift
    if "$@" >/dev/null 2>&1; then
        echo "ok   - $what"; passes=$((passes + 1))
    else
        echo "FAIL - $what"; failures=$((failures + 1))
    fi
}

[ "$(id -u)" = 0 ] || { echo "test_package.sh: needs root for dpkg -i" >&2; exit 2; }
if dpkg -s "$pkg" >/dev/null 2>&1; then
    echo "test_package.sh: $pkg is installed already; not touching it" >&2
    exit 2
fi
[ -f "$root/config.ini.sample" ] || { echo "test_package.sh: $root/config.ini.sample is missing" >&2; exit 2; }

staged=$(mktemp -d)
cleanup() {
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
    # The programs' own files (daily logs) are not dpkg's to remove.
    rm -rf "$dir" "$staged"
}
trap cleanup EXIT

# Only the two programs are built: the package needs nothing else.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVER_TOOLS=OFF -DSOLVER_BENCH=OFF \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j2 --target solver_unit solver_unit_hr >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/${pkg}_*.deb | head -n 1)
echo "package: $deb"

# cmake --install into a staging root: one directory, and a second install
# leaves an edited config.ini alone.
DESTDIR=$staged cmake --install "$build" >/dev/null
for f in solver_unit solver_unit_hr config.ini; do
    check "cmake --install puts $f into $dir" test -f "$staged$dir/$f"
done
echo "; edited" >>"$staged$dir/config.ini"
DESTDIR=$staged cmake --install "$build" >/dev/null
check "cmake --install keeps an existing config.ini" grep -q "; edited" "$staged$dir/config.ini"

contents=$(dpkg-deb --contents "$deb")
for f in "$dir/solver_unit" "$dir/solver_unit_hr" "$dir/config.ini" "$units/solver_unit.service" "$units/solver_unit_hr.service" /usr/lib/sysctl.d/60-solver-unit.conf; do
    check "package holds $f" sh -c "echo \"\$1\" | grep -q \" \\.$f\$\"" - "$contents"
done
check "config.ini is a conffile" sh -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./conffiles | grep -qx '$dir/config.ini'"
check "depends on Qt Core and Network" sh -c "dpkg-deb -f '$deb' Depends | grep -q libqt5core5a && dpkg-deb -f '$deb' Depends | grep -q libqt5network5"

dpkg -i "$deb" >/dev/null
check "installed" dpkg -s "$pkg"
for f in solver_unit solver_unit_hr; do
    check "$dir/$f is executable" test -x "$dir/$f"
done
check "config.ini comes from config.ini.sample" cmp "$root/config.ini.sample" "$dir/config.ini"
check "unit's working directory is $dir" grep -qx "WorkingDirectory=$dir" "$units/solver_unit.service"
check "unit restarts on failure" grep -qx "Restart=on-failure" "$units/solver_unit.service"
check "unit stops with SIGTERM" grep -qx "KillSignal=SIGTERM" "$units/solver_unit.service"
if command -v systemd-analyze >/dev/null 2>&1; then
    for u in solver_unit solver_unit_hr; do
        check "systemd-analyze verify $u.service" systemd-analyze verify "$units/$u.service"
    done
fi

# Both programs start from the installed directory, as the unit starts them,
# and stop on SIGTERM.
for f in solver_unit solver_unit_hr; do
    log=$(mktemp)
    (cd "$dir" && exec "./$f") 2>"$log" &
    pid=$!
    sleep 2
    kill -TERM "$pid" 2>/dev/null || true
    status=0
    wait "$pid" || status=$?
    check "$f starts in $dir" grep -q "STARTUP SUCESS!" "$log"
    check "$f ends on SIGTERM with status 0" test "$status" = 0
    rm -f "$log"
done

# An edited config.ini survives a reinstall (upgrade path) and a removal.
echo "; edited by the site" >>"$dir/config.ini"
dpkg -i "$deb" >/dev/null
check "reinstall keeps the edited config.ini" grep -q "edited by the site" "$dir/config.ini"
dpkg -r "$pkg" >/dev/null
check "remove takes the programs" test ! -e "$dir/solver_unit"
check "remove keeps config.ini" grep -q "edited by the site" "$dir/config.ini"
dpkg --purge "$pkg" >/dev/null
check "purge takes config.ini" test ! -e "$dir/config.ini"

echo "$passes passed, $failures failed"
[ "$failures" = 0 ]
