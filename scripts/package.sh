#!/usr/bin/env bash
# Builds VELTRA's three packages into dist/: the Windows setup program
# (NSIS), the MSI (wixl) and the Debian package (CPack). It builds what they
# hold: both mingw presets' library and programs, and a Linux Release build
# installed under /usr. With --sign-cert and --sign-key the Windows programs
# and DLLs are signed before packaging, and the setup program, its
# uninstaller and the MSI after.
# Usage: bash scripts/package.sh [--sign-cert CERT.pem --sign-key KEY.pem]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sign_cert="" sign_key=""
while [ $# -gt 0 ]; do
    case $1 in
        --sign-cert) sign_cert=$(realpath "$2"); shift 2 ;;
        --sign-key) sign_key=$(realpath "$2"); shift 2 ;;
        *) echo "usage: package.sh [--sign-cert CERT.pem --sign-key KEY.pem]" >&2; exit 2 ;;
    esac
done
if [[ ( -n $sign_cert && -z $sign_key ) || ( -z $sign_cert && -n $sign_key ) ]]; then
    echo "package.sh: --sign-cert and --sign-key go together" >&2
    exit 2
fi

bash scripts/setup.sh windows package

version=$(sed -n 's/^project(veltra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/veltra-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

sign() {
    [ -z "$sign_cert" ] || bash packaging/windows/sign.sh "$sign_cert" "$sign_key" "$@"
}

# --- The Windows builds: the 64-bit programs and DLL, the 32-bit DLL.
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 --target veltra veltra_tool ecrsim delpad
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target veltra

x64=build/mingw-x64 x86=build/mingw-i686
programs=("$x64/tools/veltra/veltra.exe" "$x64/sim/ecrsim.exe" "$x64/keypad/win32/delpad.exe")

# The programs are linked statically: they may import Windows' own DLLs and
# nothing that would have to be shipped beside them.
system_dlls='^(kernel32|user32|gdi32|comdlg32|comctl32|advapi32|shell32|ole32|oleaut32|ws2_32|mswsock|iphlpapi|bcrypt|crypt32|winhttp|secur32|userenv|shlwapi|winmm|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
for exe in "${programs[@]}" "$x64/lib/VELTRA.dll" "$x86/lib/VELTRA.dll"; do
    [ -f "$exe" ] || { echo "package.sh: not built: $exe" >&2; exit 1; }
    objdump=x86_64-w64-mingw32-objdump
    [[ $exe != "$x86"/* ]] || objdump=i686-w64-mingw32-objdump
    while read -r dll; do
        if ! grep -Eqi "$system_dlls" <<<"$dll"; then
            echo "package.sh: $exe imports $dll, which is not part of Windows" >&2
            exit 1
        fi
    done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

# --- The staged files, as both Windows packages install them.
stage=$work/stage
mkdir -p "$stage/x64" "$stage/x86" "$stage/include" "$stage/lib/x64" "$stage/lib/x86"
cp "${programs[@]}" "$stage/"
cp packaging/windows/delpad/ip.txt packaging/windows/delpad/Data.txt \
   packaging/windows/delpad/Send.txt "$stage/"
cp "$x64/lib/VELTRA.dll" "$stage/x64/"
cp "$x86/lib/VELTRA.dll" "$stage/x86/"
cp "$x64/lib/libVELTRA.dll.a" "$stage/lib/x64/"
cp "$x86/lib/libVELTRA.dll.a" "$stage/lib/x86/"
cp lib/veltra.h "$stage/include/"
# The notices veltra.exe owes for what is built into it: libxlsxwriter's
# licence (BSD), which carries those of the minizip (zlib licence) and
# tmpfileplus (MPL 2.0) it bundles, and where their source is.
mkdir -p "$stage/licenses"
cp build/deps/xlsxwriter/License.txt "$stage/licenses/libxlsxwriter.txt"
printf '%s\r\n' "veltra.exe includes libxlsxwriter 1.1.4 with its bundled minizip and" \
    "tmpfileplus, built from Debian's source package libxlsxwriter 1.1.4-2:" \
    "https://sources.debian.org/src/libxlsxwriter/1.1.4-2/ (tmpfileplus is in" \
    "third_party/tmpfileplus). Their licences are in libxlsxwriter.txt." \
    >"$stage/licenses/README.txt"
sign "$stage"/*.exe "$stage"/x64/VELTRA.dll "$stage"/x86/VELTRA.dll

mkdir -p "$work/links"
printf '[InternetShortcut]\r\nURL=http://127.0.0.1:8090/\r\n' > "$work/links/VELTRA service page.url"

# --- The setup program. Its two file lists come from the staged tree: the
# uninstaller deletes each file the installer wrote, then each folder,
# deepest first, only when it is empty. DELPAD's settings files are written
# only when absent, so that an upgrade keeps the shop's own.
files=$(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
dirs=$(cd "$stage" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort -r)
{
    current="none"
    while read -r f; do
        d=$(dirname "$f")
        [ "$d" = . ] && d="" || d="\\${d//\//\\}"
        if [ "$d" != "$current" ]; then
            echo "SetOutPath \"\$INSTDIR$d\""
            current=$d
        fi
        case $f in
            ip.txt | Data.txt | Send.txt) echo "SetOverwrite off" ;;
        esac
        echo "File \"$stage/$f\""
        case $f in
            ip.txt | Data.txt | Send.txt) echo "SetOverwrite on" ;;
        esac
    done <<<"$files"
} > "$work/install-files.nsh"
{
    while read -r f; do echo "Delete \"\$INSTDIR\\${f//\//\\}\""; done <<<"$files"
    while read -r d; do echo "RMDir \"\$INSTDIR\\${d//\//\\}\""; done <<<"$dirs"
} > "$work/uninstall-files.nsh"

setup=$work/VELTRA-$version-setup.exe
nsis_sign=()
[ -z "$sign_cert" ] ||
    nsis_sign=("-DSIGN_COMMAND=bash \"$root/packaging/windows/sign.sh\" \"$sign_cert\" \"$sign_key\"")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DLISTS="$work" -DOUTFILE="$setup" \
    "${nsis_sign[@]}" packaging/windows/veltra.nsi
sign "$setup"

# --- The MSI: veltra.exe, which carries the service, is in veltra.wxs; the
# rest of the staged files are listed by wixl-heat, as 64-bit components.
# wixl finds sources by relative paths only.
(cd "$work" && find stage -type f ! -path stage/veltra.exe | LC_ALL=C sort |
    wixl-heat --directory-ref INSTALLDIR --component-group Payload --var var.Stage -p stage/ |
    sed 's/<Component \(.*\) Guid="\*">/<Component \1 Guid="*" Win64="yes">/') >"$work/payload.wxs"
msi=$work/VELTRA-$version-x64.msi
(cd "$work" && wixl -a x64 -D Version="$version" -D Stage=stage -D Links=links \
    -o "$msi" "$root/packaging/windows/veltra.wxs" payload.wxs)
sign "$msi"

# --- The Debian package, from a Release build installed under /usr. The
# compile flags are check-install.sh's, so the compiler cache serves both;
# the link adds Debian's hardening (read-only relocations, bound at once).
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRA_WERROR=ON \
      -DVELTRA_BUILD_TESTS=OFF -DVELTRA_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
      -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
cmake --build build/package
(cd build/package && fakeroot cpack -G DEB -B "$work/cpack" >/dev/null)
deb=$work/cpack/veltra_${version}_amd64.deb
[ -f "$deb" ] || { echo "package.sh: CPack made no $deb" >&2; exit 1; }

# Only whole packages reach dist/.
mkdir -p dist
mv -f "$setup" "$msi" "$deb" dist/
echo "package.sh: dist/VELTRA-$version-setup.exe, dist/VELTRA-$version-x64.msi," \
     "dist/veltra_${version}_amd64.deb$([ -z "$sign_cert" ] || echo ', signed')"
