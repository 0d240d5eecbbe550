#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and checks them: the setup
# program and the MSI install, upgrade and uninstall under Wine in a fresh
# prefix; a signature made by package.sh's signing step verifies, and a
# tampered or foreign one does not; the .deb holds what the install rules
# install, passes lintian, its unit passes systemd-analyze, and its veltra
# runs the demo from a scratch root.
# Every check runs; the failures are listed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

# Minutes since the last mark, for CI's log.
mark=$SECONDS
took() {
    awk -v s=$((SECONDS - mark)) -v w="$1" 'BEGIN{printf "test-packages.sh: %s %.1f min\n", w, s/60}'
    mark=$SECONDS
}

bash scripts/package.sh
took "packages built"
version=$(sed -n 's/^project(veltra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup=$PWD/dist/VELTRA-$version-setup.exe
msi=$PWD/dist/VELTRA-$version-x64.msi
deb=$PWD/dist/veltra_${version}_amd64.deb

work=$(mktemp -d "${TMPDIR:-/tmp}/veltra-packages.XXXXXX")
export WINEDEBUG=-all WINEPREFIX=$work/wine
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

failures=()
fail() {
    echo "test-packages.sh: FAIL: $*" >&2
    failures+=("$*")
}

# ---------------------------------------------------------------- Windows
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineboot -i >/dev/null 2>&1 || true
wineserver -w || true
drive=$WINEPREFIX/drive_c
inst="$drive/Program Files/VELTRA"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/VELTRA"
# Wine's msiexec puts a per-machine MSI's shortcuts in the user's Start menu
# all the same.
msi_menu="$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/VELTRA"
data="$drive/ProgramData/VELTRA"
payload=(veltra.exe ecrsim.exe delpad.exe ip.txt Data.txt Send.txt x64/VELTRA.dll x86/VELTRA.dll
         include/veltra.h lib/x64/libVELTRA.dll.a lib/x86/libVELTRA.dll.a
         licenses/libxlsxwriter.txt licenses/README.txt)

# Runs a Windows program and waits for every program it started (NSIS's
# uninstaller copies itself and returns at once); the registry is on disk
# afterwards.
run_windows() {
    local rc=0
    "$wine64" "$@" </dev/null >"$work/wine.out" 2>&1 || rc=$?
    settle
    return $rc
}
# Waits for the prefix's programs to end. A service registered to start with
# Windows (the MSI's) is started by Wine's service manager each time the
# prefix starts, and runs until it is stopped: it is stopped through the
# service manager, as an administrator would.
settle() {
    timeout 30 wineserver -w && return 0
    timeout 120 "$wine64" "$inst/veltra.exe" service stop </dev/null >>"$work/wine.out" 2>&1 || true
    timeout 120 wineserver -w && return 0
    wineserver -k 2>/dev/null || true
    wineserver -w || true
}

# The values of one HKLM key, from the prefix's registry file (key names
# compared without regard to case, as Windows does).
reg_values() {
    awk -v key="[$(sed 's/\\/\\\\\\\\/g' <<<"$1" | tr '[:upper:]' '[:lower:]')]" '
        /^\[/ { on = (index(tolower($0), key " ") == 1 || tolower($0) == key); next }
        on && NF' "$WINEPREFIX/system.reg"
}
# The Uninstall keys whose DisplayName is VELTRA.
uninstall_entries() {
    awk '/^\[/ { name = ""; if (tolower($0) ~ /^\[software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\/) {
                     name = $1; sub(/^.*\\\\/, "", name); sub(/\]$/, "", name) } next }
         name != "" && $0 == "\"DisplayName\"=\"VELTRA\"" { print name }' "$WINEPREFIX/system.reg"
}
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall'
service_key='System\CurrentControlSet\Services\VELTRA'

check_payload() {
    local what=$1 menu=$2 f
    for f in "${payload[@]}"; do
        [ -f "$inst/$f" ] || fail "$what: not installed: $f"
    done
    [ -f "$menu/DELPAD.lnk" ] || fail "$what: no DELPAD in the Start menu"
    ls "$menu"/*.url >/dev/null 2>&1 || fail "$what: no link to the service's page in the Start menu"
    grep -qs 'URL=http://127.0.0.1:8090/' "$menu"/*.url ||
        fail "$what: the Start menu's page link does not lead to http://127.0.0.1:8090/"
    if run_windows "$inst/veltra.exe" --version; then
        grep -q "$version" "$work/wine.out" ||
            fail "$what: veltra.exe --version does not say $version: $(cat "$work/wine.out")"
    else
        fail "$what: the installed veltra.exe --version failed: $(cat "$work/wine.out")"
    fi
}
# Every file listed in $work/installed is gone, the folders too, and the
# file in ProgramData stays.
check_removed() {
    local what=$1 menu=$2 f
    while read -r f; do
        [ ! -e "$f" ] || fail "$what: left behind: ${f#"$drive/"}"
    done <"$work/installed"
    [ ! -e "$inst" ] || fail "$what: the installation folder is still there"
    [ ! -e "$menu" ] || fail "$what: the Start menu folder is still there"
    cmp -s "$data/serve.conf" "$work/serve.conf" ||
        fail "$what: ProgramData\\VELTRA\\serve.conf did not survive"
}

# The setup program: install, the upgrade over it, the uninstaller.
if run_windows "$setup" /S; then
    check_payload "setup.exe /S" "$menu"
    [ -f "$inst/uninstall.exe" ] || fail "setup.exe /S: no uninstall.exe"
    [ "$(uninstall_entries)" = VELTRA ] || fail "setup.exe /S: no Uninstall key VELTRA"
    values=$(reg_values "$uninstall_key\\VELTRA")
    for v in DisplayName DisplayVersion Publisher UninstallString QuietUninstallString; do
        grep -q "^\"$v\"=" <<<"$values" || fail "setup.exe /S: the Uninstall key has no $v"
    done
    grep -qF "\"DisplayVersion\"=\"$version\"" <<<"$values" ||
        fail "setup.exe /S: DisplayVersion is not $version"
    grep -qF '"QuietUninstallString"="\"C:\\Program Files\\VELTRA\\uninstall.exe\" /S"' <<<"$values" ||
        fail "setup.exe /S: QuietUninstallString is not the uninstaller with /S"
else
    fail "setup.exe /S failed: $(cat "$work/wine.out")"
fi

# The upgrade keeps ProgramData and the shop's DELPAD address, and replaces
# the programs (a damaged ecrsim.exe is whole again afterwards).
# The shop's configuration: a register nobody answers for (TEST-NET) and
# a free port, for the service below.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$data"
printf 'listen 127.0.0.1:%s\r\nregister till1=192.0.2.7\r\n' "$port" >"$work/serve.conf"
cp "$work/serve.conf" "$data/serve.conf"
printf '"192.0.2.7"\r\n' >"$inst/ip.txt"
echo damaged >"$inst/ecrsim.exe"
if run_windows "$setup" /S; then
    cmp -s "$inst/ecrsim.exe" build/mingw-x64/sim/ecrsim.exe ||
        fail "upgrade: ecrsim.exe was not replaced"
    grep -q 192.0.2.7 "$inst/ip.txt" || fail "upgrade: DELPAD's ip.txt was overwritten"
    cmp -s "$data/serve.conf" "$work/serve.conf" ||
        fail "upgrade: ProgramData\\VELTRA\\serve.conf changed"
else
    fail "upgrade: setup.exe /S failed: $(cat "$work/wine.out")"
fi

# The installed veltra as the Windows service: install registers it with its
# command line (the program's path quoted); the service control manager
# starts it, it answers on the configuration's port, and stops. Wine's
# service manager sees a service created in its session only once it has
# started again, hence the wineserver -k. A running service keeps Wine's
# server up: these steps do not wait for it.
windows_service() {
    local rc=0
    timeout 120 "$wine64" "$inst/veltra.exe" service "$@" </dev/null >"$work/wine.out" 2>&1 || rc=$?
    return $rc
}
healthy() {
    python3 - "$port" <<'PY'
import sys, time, urllib.request
for _ in range(60):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/healthz", timeout=2) as r:
            if r.status == 200:
                sys.exit(0)
    except OSError:
        pass
    time.sleep(0.5)
sys.exit(1)
PY
}
if run_windows "$inst/veltra.exe" service install; then
    image=$(reg_values "$service_key" | sed -n 's/^"ImagePath"=//p')
    case $image in
        *'\"C:\\Program Files\\VELTRA\\veltra.exe\" serve --service --config \"C:\\ProgramData\\VELTRA\\serve.conf\"'*) ;;
        *) fail "veltra service install: the service's ImagePath is wrong or missing: '$image'" ;;
    esac
    wineserver -k 2>/dev/null || true
    wineserver -w || true
    if windows_service start; then
        healthy || fail "veltra service start: nothing answers /healthz on port $port"
        windows_service status || fail "veltra service status: not running ($?): $(cat "$work/wine.out")"
        windows_service stop || fail "veltra service stop failed: $(cat "$work/wine.out")"
        cp "$work/wine.out" "$work/stop.out"
        # Stopped: what status says at once, or within seconds on a loaded
        # machine, where the service manager's own start at boot may still
        # be settling.
        rc=0
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            rc=0
            windows_service status || rc=$?
            [ $rc != 3 ] || break
            sleep 3
        done
        [ $rc = 3 ] || fail "veltra service status after stop: exit $rc, not 3: $(cat "$work/wine.out")" \
            "(stop said: $(cat "$work/stop.out"))"
    else
        fail "veltra service start failed: $(cat "$work/wine.out")"
    fi
    wineserver -k 2>/dev/null || true
    wineserver -w || true
else
    fail "veltra service install failed: $(cat "$work/wine.out")"
fi
took "setup program, upgrade and the Windows service under Wine"

find "$inst" "$menu" -type f >"$work/installed"
if run_windows "$inst/uninstall.exe" /S; then
    check_removed "uninstall.exe /S" "$menu"
    [ -z "$(uninstall_entries)" ] || fail "uninstall.exe /S: the Uninstall key is still there"
    [ -z "$(reg_values "$service_key")" ] || fail "uninstall.exe /S: the service is still registered"
else
    fail "uninstall.exe /S failed: $(cat "$work/wine.out")"
fi
took "uninstaller under Wine"

# The MSI: install, the service's registration, removal.
msi_win=$(winepath -w "$msi")
if run_windows msiexec /i "$msi_win" /qn; then
    check_payload "msiexec /i" "$msi_menu"
    [ -n "$(uninstall_entries)" ] || fail "msiexec /i: no Uninstall entry named VELTRA"
    image=$(reg_values "$service_key" | sed -n 's/^"ImagePath"=//p')
    case $image in
        *'Program Files\\VELTRA\\veltra.exe'*'serve --service --config'*'VELTRA\\serve.conf'*) ;;
        *) fail "msiexec /i: the service's ImagePath is wrong or missing: '$image'" ;;
    esac
    find "$inst" "$msi_menu" -type f >"$work/installed"
    # Wine's msiexec asks a running service to stop and does not wait for it
    # to end (Windows Installer does), so the removal would find veltra.exe
    # in use; and Wine's service manager starts an automatic service each
    # time the prefix starts. Here the service is made a manual one, and
    # stopped, before msiexec /x.
    run_windows reg add 'HKLM\System\CurrentControlSet\Services\VELTRA' /v Start /t REG_DWORD /d 3 /f ||
        fail "reg add: $(cat "$work/wine.out")"
    if run_windows msiexec /x "$msi_win" /qn; then
        check_removed "msiexec /x" "$msi_menu"
        [ -z "$(uninstall_entries)" ] || fail "msiexec /x: the Uninstall entry is still there"
        [ -z "$(reg_values "$service_key")" ] || fail "msiexec /x: the service is still registered"
    else
        fail "msiexec /x failed: $(cat "$work/wine.out")"
    fi
else
    fail "msiexec /i failed: $(cat "$work/wine.out")"
fi
took "MSI under Wine"

# ---------------------------------------------------------------- Signing
# A signature made by package.sh's signing step verifies against its
# certificate; an unsigned file, a signed file changed afterwards and a
# signature checked against another certificate do not.
make_cert() {
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=$1" \
        -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
}
verifies() { osslsigncode verify -CAfile "$2" -in "$1" >/dev/null 2>&1; }
make_cert veltra-test
make_cert someone-else
cp build/mingw-x64/sim/ecrsim.exe "$work/signed.exe"
if bash packaging/windows/sign.sh "$work/veltra-test.pem" "$work/veltra-test.key" "$work/signed.exe"; then
    verifies "$work/signed.exe" "$work/veltra-test.pem" || fail "signing: the signature does not verify"
    verifies "$work/signed.exe" "$work/someone-else.pem" &&
        fail "signing: the signature verifies against a certificate that did not make it"
    cp "$work/signed.exe" "$work/tampered.exe"
    printf 'X' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
    verifies "$work/tampered.exe" "$work/veltra-test.pem" && fail "signing: a changed file still verifies"
else
    fail "signing: sign.sh failed"
fi
verifies build/mingw-x64/sim/ecrsim.exe "$work/veltra-test.pem" && fail "signing: an unsigned file verifies"
took "signing"

# ---------------------------------------------------------------- Debian
# What the package holds is what the install rules install.
DESTDIR=$work/install cmake --install build/package >/dev/null
(cd "$work/install" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$work/installed.list"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort \
    >"$work/deb.list"
diff -u "$work/installed.list" "$work/deb.list" >"$work/deb.diff" ||
    fail "deb: its files differ from cmake --install's: $(cat "$work/deb.diff")"
for f in usr/bin/veltra usr/bin/ecrsim usr/include/veltra.h lib/systemd/system/veltra.service \
         usr/share/doc/veltra/copyright usr/share/doc/veltra/changelog.gz; do
    grep -qx "$f" "$work/deb.list" || fail "deb: does not hold $f"
done
grep -Eq '^usr/lib/x86_64-linux-gnu/libveltra\.so\.1' "$work/deb.list" || fail "deb: no libveltra.so.1"
grep -q '/pkgconfig/veltra.pc$' "$work/deb.list" || fail "deb: no pkg-config file"
grep -q '/cmake/veltra/veltraConfig.cmake$' "$work/deb.list" || fail "deb: no CMake package"

depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libsqlite3-0 zlib1g; do
    grep -q "$d" <<<"$depends" || fail "deb: Depends lacks $d: '$depends'"
done
for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "deb: no $field"
done
# The unit is installed, never enabled by the package.
grep -q '^etc/systemd/' "$work/deb.list" && fail "deb: enables the unit through etc/systemd"
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
grep -qs -E 'systemctl|deb-systemd-helper' "$work/control"/* && fail "deb: a maintainer script enables the unit"

if ! lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1; then
    fail "deb: lintian: $(cat "$work/lintian.out")"
fi

rootfs=$work/root
dpkg -x "$deb" "$rootfs"
# The unit is verified inside the scratch root, so that its ExecStart is the
# package's veltra; the machine's own units give it the targets it names.
# Warnings (a setting systemd ignores) count as failures too.
cp -rn /lib/systemd/system/. "$rootfs/lib/systemd/system/"
if ! systemd-analyze verify --root="$rootfs" "$rootfs/lib/systemd/system/veltra.service" \
        >"$work/unit.out" 2>&1 || [ -s "$work/unit.out" ]; then
    fail "deb: systemd-analyze verify: $(cat "$work/unit.out")"
fi
grep -qx 'ExecStart=/usr/bin/veltra serve --config /etc/veltra/serve.conf --state-dir /var/lib/veltra' \
    "$rootfs/lib/systemd/system/veltra.service" || fail "deb: the unit does not run /usr/bin/veltra"

# The installed veltra from the scratch root: its demo starts its own
# register and tours the library; a failed step makes it exit 1.
if LD_LIBRARY_PATH="$rootfs/usr/lib/x86_64-linux-gnu" "$rootfs/usr/bin/veltra" demo "$work/demo" \
        >"$work/demo.out" 2>&1; then
    for f in plu.csv reparti-after.csv backup.dat; do
        [ -s "$work/demo/$f" ] || fail "deb: veltra demo made no $f"
    done
else
    fail "deb: the installed veltra demo failed: $(tail -5 "$work/demo.out")"
fi
took "Debian package"

if [ ${#failures[@]} -gt 0 ]; then
    echo "test-packages.sh: ${#failures[@]} check(s) failed" >&2
    exit 1
fi
echo "test-packages.sh: setup program, MSI, signing and Debian package are fine"
