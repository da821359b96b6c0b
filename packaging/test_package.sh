#!/usr/bin/env bash
# Builds the Debian package, lints it, installs it on this machine with
# dpkg -i and checks what it put where, the system user, the sandbox score of
# the units, a configuration request written through to /etc/solver-unit and
# kept over an upgrade, the receive-buffer setting raised and never lowered,
# a link planted at config.ini never followed by the maintainer scripts, an
# upgrade with config.ini deleted, and that purge removes it again.
#
#   packaging/test_package.sh [build-dir]     (default build/package)
#
# A build directory that exists already (tools/test.sh passes build/release)
# is used as it is configured; a new one is configured for the package.
#
# Needs root and must not find the package installed already: it would
# otherwise replace a real installation. systemd need not run (CI machines
# and containers); the programs are started as the service would start them,
# as the solver-unit user in their working directory. Everything it changes
# is undone at the end: the package purged, the system user removed if this
# test made it, net.core.rmem_max set back.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/package}
pkg=solver-unit
lib=/usr/lib/solver-unit
conf=/etc/solver-unit
state=/var/lib/solver-unit
units=/lib/systemd/system
rmem=/proc/sys/net/core/rmem_max
rmem_wanted=16777216
passes=0
failures=0

check() { # description, command...
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        echo "ok   - $what"
        passes=$((passes + 1))
    else
        echo "FAIL - $what"
        failures=$((failures + 1))
    fi
}
need() { # tool, package
    command -v "$1" >/dev/null && return 0
    echo "test_package.sh: $1 is missing (apt-get install $2, or tools/install_deps.sh)" >&2
    exit 2
}

[ "$(id -u)" = 0 ] || { echo "test_package.sh: needs root for dpkg -i" >&2; exit 2; }
if dpkg -s "$pkg" >/dev/null 2>&1; then
    echo "test_package.sh: $pkg is installed already; not touching it" >&2
    exit 2
fi
need lintian lintian
need dpkg-shlibdeps dpkg-dev
need systemd-analyze systemd
need setpriv util-linux
need dpkg-reconfigure debconf

staged=$(mktemp -d)
user_existed=no
getent passwd solver-unit >/dev/null && user_existed=yes
rmem_before=$(cat "$rmem")
program_pid=
cleanup() {
    [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
    if [ "$user_existed" = no ] && getent passwd solver-unit >/dev/null; then
        userdel solver-unit >/dev/null 2>&1 || true
        groupdel solver-unit >/dev/null 2>&1 || true
    fi
    echo "$rmem_before" >"$rmem" 2>/dev/null || true
    rm -rf "$staged"
}
trap cleanup EXIT

# ---- build and lint
launcher=$(command -v ccache || true)
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOLVER_BENCH=OFF \
          ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
fi
cmake --build "$build" -j2 --target solver_unit solver_unit_hr solver_sim solver_sim_hr solver_monitor \
      solver_plan solver_replay solver_package_docs >/dev/null
rm -f "$build"/${pkg}_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/${pkg}_*.deb)
echo "package: $deb"

lint=$(lintian --pedantic "$deb" 2>&1 | grep -v "running with root privileges" || true)
[ -n "$lint" ] && echo "$lint"
errors=$(grep -c '^E:' <<<"$lint" || true)
warnings=$(grep -c '^W:' <<<"$lint" || true)
echo "lintian: $errors errors, $warnings warnings"
check "lintian finds no error" test "$errors" = 0
check "lintian warnings all mended or overridden" test "$warnings" = 0

# ---- cmake --install into a staging root: the package's layout, and a
# second install leaves an edited config.ini alone.
DESTDIR=$staged cmake --install "$build" >/dev/null
for f in $lib/solver_unit $lib/solver_unit_hr /usr/bin/solver_sim /usr/bin/solver_monitor /usr/bin/solver_plan \
         /usr/bin/solver_replay $conf/config.ini; do
    check "cmake --install puts $f" test -f "$staged$f"
done
for f in $lib/config.ini $state/config.ini; do
    check "cmake --install links $f to $conf/config.ini" test "$(readlink "$staged$f")" = $conf/config.ini
done
check "cmake --install uses no /opt" test ! -e "$staged/opt"
echo "; edited" >>"$staged$conf/config.ini"
DESTDIR=$staged cmake --install "$build" >/dev/null
check "cmake --install keeps an existing config.ini" grep -q "; edited" "$staged$conf/config.ini"

contents=$(dpkg-deb --contents "$deb")
for f in $lib/solver_unit $lib/solver_unit_hr $conf/config.ini $units/solver_unit.service \
         $units/solver_unit_hr.service /usr/lib/sysctl.d/00-solver-unit.conf /usr/bin/solver_sim \
         /usr/share/man/man8/solver_unit.8.gz /usr/share/man/man1/solver_monitor.1.gz \
         /usr/share/man/man1/solver_plan.1.gz /usr/share/man/man1/solver_sim.1.gz \
         /usr/bin/solver_replay /usr/share/man/man1/solver_replay.1.gz \
         /usr/share/doc/$pkg/copyright /usr/share/doc/$pkg/changelog.gz; do
    check "package holds $f" grep -q " \.$f\( \|$\)" <<<"$contents"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in /usr/share/$pkg/solver_unit_rules.yml /usr/lib/$multiarch/wireshark/plugins/solver_unit.lua; do
    check "package holds $f" grep -q " \.$f\( \|$\)" <<<"$contents"
done
check "package holds nothing in /opt" sh -c "! echo \"\$1\" | grep -q ' \./opt/'" - "$contents"
check "config.ini is a conffile" sh -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./conffiles | grep -qx '$conf/config.ini'"
dpkg-deb --fsys-tarfile "$deb" | tar -xO .$lib/solver_unit >"$staged/unit"
check "binaries are stripped" sh -c "file '$staged/unit' | grep -q ', stripped'"
check "maintainer is not root@localhost" sh -c "! dpkg-deb -f '$deb' Maintainer | grep -q localhost"

# ---- install, where the host's receive-buffer cap is larger than ours
rmem_writable=no
if echo $((2 * rmem_wanted)) >"$rmem" 2>/dev/null; then
    rmem_writable=yes
fi
dpkg -i "$deb" >/dev/null
check "installed" dpkg -s "$pkg"
if [ "$rmem_writable" = yes ]; then
    check "install keeps a larger net.core.rmem_max" test "$(cat $rmem)" = $((2 * rmem_wanted))
fi
for f in solver_unit solver_unit_hr; do
    check "$lib/$f is executable" test -x "$lib/$f"
done
command -v tshark >/dev/null &&
    check "tshark loads the installed dissector" sh -c "tshark -G protocols 2>/dev/null | cut -f3 | grep -qx solver_unit"
command -v promtool >/dev/null &&
    check "promtool accepts the installed alert rules" promtool check rules /usr/share/$pkg/solver_unit_rules.yml
for f in $lib/config.ini $state/config.ini; do
    check "$f leads to $conf/config.ini" test "$(readlink -f $f)" = $conf/config.ini
done
check "config.ini comes from config.ini.sample" cmp "$root/config.ini.sample" $conf/config.ini
check "system user solver-unit exists" getent passwd solver-unit
uid=$(id -u solver-unit 2>/dev/null || echo 0)
check "solver-unit is a system user, not root" test "$uid" -gt 0 -a "$uid" -lt 1000
check "solver-unit cannot log in" sh -c "getent passwd solver-unit | grep -q 'nologin\|/bin/false'"
check "config.ini belongs to solver-unit, mode 640" test "$(stat -c %U:%a $conf/config.ini)" = solver-unit:640
check "$state belongs to solver-unit" test "$(stat -c %U $state)" = solver-unit
for u in solver_unit solver_unit_hr; do
    check "$u.service runs as solver-unit" grep -qx "User=solver-unit" $units/$u.service
    check "$u.service is valid" systemd-analyze verify --man=no $units/$u.service
    score=$(systemd-analyze security --offline=true --no-pager $units/$u.service 2>/dev/null |
            sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    echo "     systemd-analyze security $u.service: ${score:-none}"
    check "$u.service exposure at most 2.0" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'
done

# ---- both programs start as the service starts them, and the configuration
# request's change reaches /etc/solver-unit through the link.
request_port=$((20000 + RANDOM % 30000))
sed -i -e "s/^local_udp_listen_anchor_port=.*/local_udp_listen_anchor_port=0/" \
       -e "s/^local_udp_listen_parameters_configuration_port=.*/local_udp_listen_parameters_configuration_port=$request_port/" \
       $conf/config.ini
log=$staged/program.log
for f in solver_unit_hr solver_unit; do
    (cd $state && exec setpriv --reuid=solver-unit --regid=solver-unit --init-groups "$lib/$f") 2>"$log" &
    program_pid=$!
    for _ in $(seq 50); do grep -q "STARTUP SUCESS!" "$log" && break; sleep 0.1; done
    check "$f starts as solver-unit in $state" grep -q "STARTUP SUCESS!" "$log"
    check "$f writes its lost-packet file into $state" test -f "$state/log_lostPacket$(date +%Y%m%d).log"
    if [ $f = solver_unit ]; then
        sleep 0.5 # the request loop starts after the constructors' lines
        printf '%s' '{"REQUEST":"SetPANID","content":[{"PANID":"pkgtest"}]}' >/dev/udp/127.0.0.1/$request_port
        for _ in $(seq 50); do grep -q "PKGTEST" $conf/config.ini && break; sleep 0.1; done
        check "a configuration request writes through to $conf/config.ini" grep -q "PANID=PKGTEST" $conf/config.ini
        check "$lib/config.ini is still a link" test -L $lib/config.ini
        check "$conf/config.ini still belongs to solver-unit, mode 640" \
              test "$(stat -c %U:%a $conf/config.ini)" = solver-unit:640
    fi
    kill -TERM "$program_pid" 2>/dev/null || true
    status=0
    wait "$program_pid" || status=$?
    program_pid=
    check "$f ends on SIGTERM with status 0" test "$status" = 0
done

# ---- an upgrade keeps the site's config.ini, and raises a small rmem_max
upgrade=$staged/upgrade
dpkg-deb -R "$deb" "$upgrade"
sed -i 's/^Version: .*/&+upgrade1/' "$upgrade/DEBIAN/control"
dpkg-deb -b "$upgrade" "$staged/upgrade.deb" >/dev/null
[ "$rmem_writable" = yes ] && echo 212992 >"$rmem"
dpkg -i "$staged/upgrade.deb" >/dev/null
check "upgraded" sh -c "dpkg-query -W -f='\${Version}' $pkg | grep -q upgrade1"
check "upgrade keeps the site's config.ini" grep -q "^local_udp_listen_parameters_configuration_port=$request_port" \
      $conf/config.ini
check "upgrade keeps the request's change" grep -q "PANID=PKGTEST" $conf/config.ini
if [ "$rmem_writable" = yes ]; then
    check "install raises a smaller net.core.rmem_max to 16 MiB" test "$(cat $rmem)" = $rmem_wanted
fi

# ---- the maintainer scripts never follow a link the service user planted:
# config.ini -> a root-owned file, then a reconfigure; the file keeps its
# owner and mode, the link stays a link.
victim=$(mktemp /etc/solver-unit-test-victim.XXXXXX)
chmod 0600 "$victim"
victim_before=$(stat -c %U:%G:%a "$victim")
mv $conf/config.ini "$staged/site.ini"
setpriv --reuid=solver-unit --regid=solver-unit --init-groups ln -s "$victim" $conf/config.ini
reconfigure_log=$staged/reconfigure.log
check "reconfigure with a planted link succeeds" sh -c "dpkg-reconfigure -fnoninteractive $pkg 2>'$reconfigure_log'"
check "the link's target keeps owner and mode ($victim_before)" test "$(stat -c %U:%G:%a "$victim")" = "$victim_before"
check "the planted link is left a link" test -L $conf/config.ini
check "postinst names the link it did not follow" grep -q "is a symbolic link: not followed" "$reconfigure_log"
rm -f $conf/config.ini "$victim"

# ---- an upgrade with the conffile deleted by the administrator succeeds
upgrade2=$staged/upgrade2
dpkg-deb -R "$deb" "$upgrade2"
sed -i 's/^Version: .*/&+upgrade2/' "$upgrade2/DEBIAN/control"
dpkg-deb -b "$upgrade2" "$staged/upgrade2.deb" >/dev/null
check "upgrade with config.ini deleted succeeds" dpkg -i "$staged/upgrade2.deb"
cp -p "$staged/site.ini" $conf/config.ini

# ---- remove keeps the configuration, purge takes everything
dpkg -r "$pkg" >/dev/null
check "remove takes the programs" test ! -e $lib/solver_unit
check "remove keeps config.ini" test -f $conf/config.ini
dpkg --purge "$pkg" >/dev/null
check "purge takes config.ini" test ! -e $conf
check "purge takes $state and its lost-packet files" test ! -e $state
check "nothing in /opt/solver_unit" test ! -e /opt/solver_unit

echo "$passes passed, $failures failed"
[ "$failures" = 0 ]
