#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh built (in OUT_DIR, default out/) as a
# user's machine meets them: lintian; the package contents; the desktop entry and the
# metainfo validated where they are installed; and, unpacked into a temporary folder, both
# programs started, a transfer run against the packaged simulator on loopback, and the
# manual pages rendered. Everything that runs a program runs inside the private network.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${OUT_DIR:-out}

shopt -s nullglob
mains=("$out"/qf580-flashtool_*.deb)
sims=("$out"/qf580-flashtool-sim_*.deb)
if [ ${#mains[@]} -ne 1 ] || [ ${#sims[@]} -ne 1 ]; then
    echo "expected one qf580-flashtool and one qf580-flashtool-sim package in $out" >&2
    exit 1
fi
main=${mains[0]}
sim=${sims[0]}
version=$(dpkg-deb -f "$main" Version)

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

echo "-- lintian"
lint_rc=0
lint=$(lintian --fail-on error --display-info "$main" "$sim" 2>&1) || lint_rc=$?
grep -v '^running with root privileges' <<<"$lint" || true
[ "$lint_rc" -eq 0 ] || fail "lintian reports errors"

echo "-- contents and relations"
main_files=$(dpkg-deb -c "$main" | awk '{print $6}')
sim_files=$(dpkg-deb -c "$sim" | awk '{print $6}')
for f in ./usr/bin/qf580-flashtool ./usr/bin/qf580-flash \
    ./usr/share/applications/qf580-flashtool.desktop \
    ./usr/share/icons/hicolor/32x32/apps/qf580-flashtool.png \
    ./usr/share/icons/hicolor/scalable/apps/qf580-flashtool.svg \
    ./usr/share/man/man1/qf580-flashtool.1.gz ./usr/share/man/man1/qf580-flash.1.gz \
    ./usr/share/bash-completion/completions/qf580-flash \
    ./usr/share/doc/qf580-flashtool/copyright ./usr/share/doc/qf580-flashtool/changelog.gz; do
    grep -qxF "$f" <<<"$main_files" || fail "$(basename "$main") lacks $f"
done
grep -q '^\./usr/share/metainfo/.*\.metainfo\.xml$' <<<"$main_files" ||
    fail "$(basename "$main") lacks its metainfo"
if grep -E 'qf580-sim|rizedud' <<<"$main_files"; then
    fail "the simulator or a USB driver is in $(basename "$main")"
fi
# The stand-in driver only where no loader looks, and no library at all on the loader's path.
if grep -E 'rizedud' <<<"$sim_files" | grep -v '^\./usr/lib/qf580-flashtool-sim/standin/'; then
    fail "a stand-in driver outside /usr/lib/qf580-flashtool-sim/standin"
fi
if grep -E '^\./(usr/)?(local/)?lib(32|64)?/([^/]*-linux-gnu[^/]*/)?[^/]*\.so' \
    <<<"$main_files"$'\n'"$sim_files"; then
    fail "a library where the system's loader finds it"
fi
depends=$(dpkg-deb -f "$main" Depends)
recommends=$(dpkg-deb -f "$main" Recommends)
echo "Depends: $depends"
echo "Recommends: $recommends"
for p in libqt6widgets6 libqt6core6 libc6 qt6-translations-l10n; do
    grep -qE "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p"
done
grep -q fonts-noto-cjk <<<"$depends, $recommends" || fail "no CJK font among the relations"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$main" "$root"
dpkg-deb -x "$sim" "$root"

echo "-- desktop entry and metainfo, as installed"
desktop-file-validate "$root/usr/share/applications/qf580-flashtool.desktop" ||
    fail "desktop-file-validate"
# --no-net: nothing is fetched; the screenshot's address is checked for its form only.
scripts/in-private-net.sh appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml ||
    fail "appstreamcli validate"

echo "-- the programs, from the unpacked packages"
bin=$root/usr/bin
"$bin/qf580-flash" --help >/dev/null || fail "qf580-flash --help"
[ "$("$bin/qf580-flash" --version)" = "qf580-flash $version" ] ||
    fail "qf580-flash --version does not print the package's version $version"
[ "$("$bin/qf580-sim" --version)" = "qf580-sim $version" ] ||
    fail "qf580-sim --version does not print the package's version $version"

set +e
QT_QPA_PLATFORM=offscreen scripts/in-private-net.sh timeout -s TERM 4 "$bin/qf580-flashtool"
rc=$?
set -e
# 124: the window was still up when the time ran out.
[ "$rc" -eq 124 ] || fail "qf580-flashtool ended by itself with code $rc"

# A two-disk transfer over TCP/IP and one over the stand-in USB driver, all from the package.
scripts/in-private-net.sh bash -c '
    set -euo pipefail
    bin=$1 standin=$2 work=$3
    disk1=$("$bin/qf580-sim" --make-sample "$work/fw" --rom SUB --disks 2 --records 50 | head -n 1)
    export QF580_SIM_SOCKET=$work/sim.sock
    "$bin/qf580-sim" --port 8023 --usb --usb-socket "$QF580_SIM_SOCKET" >"$work/sim.log" 2>&1 &
    simpid=$!
    trap "kill $simpid 2>/dev/null || true" EXIT
    for _ in $(seq 50); do
        grep -qs "listening on" "$work/sim.log" && [ -S "$QF580_SIM_SOCKET" ] && break
        sleep 0.1
    done
    "$bin/qf580-flash" --address 127.0.0.1 --port 8023 --disk-answer ok "$disk1" | tail -n 1
    "$bin/qf580-flash" --usb --usb-driver "$standin" --disk-answer ok "$disk1" | tail -n 1
' sh "$bin" "$root/usr/lib/qf580-flashtool-sim/standin/librizedud.so" "$root" ||
    fail "a transfer with the packaged programs"

echo "-- manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page")
    [ -n "$rendered" ] || fail "$(basename "$page") renders empty"
    sed -n 3,4p <<<"$rendered"
done

if [ "$failed" -ne 0 ]; then
    echo "package checks failed" >&2
    exit 1
fi
echo "package checks passed: $(basename "$main") $(basename "$sim")"
