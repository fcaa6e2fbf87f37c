#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built (in OUT_DIR, default out/): lintian
# --pedantic on the .changes, which must show no error and no warning; the packages' contents
# and relations; and the installed-package checks of debian/tests, which autopkgtest runs too.
# Those run on the packages unpacked into a temporary folder, so nothing is installed; with
# --autopkgtest, Debian's own test runner installs the packages on this machine and runs
# them there (meant for a throwaway machine such as CI's: it needs root and leaves them
# installed).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${OUT_DIR:-out}
mode=${1:-unpacked}

shopt -s nullglob
changes=("$out"/qf580-flashtool_*.changes)
mains=("$out"/qf580-flashtool_*.deb)
sims=("$out"/qf580-flashtool-sim_*.deb)
debugs=("$out"/qf580-flashtool-dbgsym_*.deb "$out"/qf580-flashtool-sim-dbgsym_*.deb)
if [ ${#changes[@]} -ne 1 ] || [ ${#mains[@]} -ne 1 ] || [ ${#sims[@]} -ne 1 ]; then
    echo "expected one .changes, one qf580-flashtool and one qf580-flashtool-sim package in $out" >&2
    exit 1
fi
main=${mains[0]}
sim=${sims[0]}

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

echo "-- lintian --pedantic"
lint_rc=0
lint=$(lintian --pedantic --display-info --fail-on error,warning "${changes[0]}" 2>&1) || lint_rc=$?
grep -v '^running with root privileges' <<<"$lint" || true
[ "$lint_rc" -eq 0 ] || fail "lintian reports errors or warnings"

echo "-- contents and relations"
[ ${#debugs[@]} -eq 2 ] || fail "expected both -dbgsym packages in $out"
main_files=$(dpkg-deb -c "$main" | awk '{print $6}')
sim_files=$(dpkg-deb -c "$sim" | awk '{print $6}')
for f in ./usr/bin/qf580-flashtool ./usr/bin/qf580-flash \
    ./usr/share/applications/qf580-flashtool.desktop \
    ./usr/share/icons/hicolor/32x32/apps/qf580-flashtool.png \
    ./usr/share/icons/hicolor/scalable/apps/qf580-flashtool.svg \
    ./usr/share/man/man1/qf580-flashtool.1.gz ./usr/share/man/man1/qf580-flash.1.gz \
    ./usr/share/bash-completion/completions/qf580-flash \
    ./usr/share/doc/qf580-flashtool/copyright ./usr/share/doc/qf580-flashtool/changelog.gz \
    ./usr/share/qf580-flashtool/schema/qf580-flash-events.schema.json \
    ./usr/share/qf580-flashtool/schema/qf580-flash-record.schema.json; do
    grep -qxF "$f" <<<"$main_files" || fail "$(basename "$main") lacks $f"
done
grep -q '^\./usr/share/metainfo/.*\.metainfo\.xml$' <<<"$main_files" ||
    fail "$(basename "$main") lacks its metainfo"
for f in ./usr/bin/qf580-sim ./usr/lib/qf580-flashtool-sim/standin/librizedud.so \
    ./usr/share/man/man1/qf580-sim.1.gz \
    ./usr/share/doc/qf580-flashtool-sim/copyright ./usr/share/doc/qf580-flashtool-sim/changelog.gz; do
    grep -qxF "$f" <<<"$sim_files" || fail "$(basename "$sim") lacks $f"
done
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

echo "-- installed-package checks ($mode)"
case $mode in
    unpacked)
        root=$(mktemp -d)
        trap 'rm -rf "$root"' EXIT
        dpkg-deb -x "$main" "$root"
        dpkg-deb -x "$sim" "$root"
        QF_PACKAGE_ROOT=$root debian/tests/installed-package || fail "installed-package checks"
        ;;
    --autopkgtest)
        # The tree scripts/package.sh built the packages in: autopkgtest takes a built tree
        # as it is, where it would copy an unbuilt one whole, build trees and all.
        tree=${BUILD_DIR:-build/deb}/qf580-flashtool
        [ -f "$tree/debian/files" ] || fail "no built tree in $tree: run scripts/package.sh"
        autopkgtest "$main" "$sim" "$tree" -- null || fail "autopkgtest"
        ;;
    *)
        echo "usage: $0 [--autopkgtest]" >&2
        exit 2
        ;;
esac

if [ "$failed" -ne 0 ]; then
    echo "package checks failed" >&2
    exit 1
fi
echo "package checks passed: $(basename "$main") $(basename "$sim")"
