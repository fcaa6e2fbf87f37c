#!/usr/bin/env bash
# scripts/check-doc-examples.py against documents of our own: a stale example fails with its
# line and what the program prints, a true one passes, and one it cannot tell never passes.
# Usage: doc_examples_checker.sh CHECKER BIN_DIR
set -uo pipefail
checker=$1 bin=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# A transcript after a comment, both indented as in a list item, as the docs have them.
cat >"$tmp/true.md" <<'DOC'
- Make one:

  ```sh
  qf580-sim --make-sample /tmp/s --disks 2 --name A0.q58   # prints /tmp/s/A1.q58
                                                           # and /tmp/s/A2.q58
  ```
  ```
  $ qf580-flash --check /tmp/s/A9.q58
DOC
# The check's own lines, whatever they are today, under that transcript.
"$bin/qf580-sim" --make-sample "$tmp/s" --disks 2 --name A0.q58 >/dev/null
"$bin/qf580-flash" --check "$tmp/s/A9.q58" </dev/null | sed "s|$tmp/|/tmp/|; s/^/  /" >>"$tmp/true.md"
echo '  ```' >>"$tmp/true.md"
out=$(python3 "$checker" "$bin" "$tmp/true.md" 2>&1) || fail "a true document fails: $out"
grep -q '^2 documented commands checked, 0 print otherwise$' <<<"$out" || fail "$out"

sed 's|# and /tmp/s/A2.q58|# and /tmp/s/A3.q58|' "$tmp/true.md" >"$tmp/stale.md"
out=$(python3 "$checker" "$bin" "$tmp/stale.md" 2>&1) && fail "a stale example passes"
grep -q "stale.md:4: .* prints" <<<"$out" || fail "the stale line is not named: $out"
grep -q '^  /tmp/s/A2.q58$' <<<"$out" || fail "what it prints is not shown: $out"

printf '```\nqf580-sim --port 8023 --once &\n```\n' >"$tmp/none.md"
python3 "$checker" "$bin" "$tmp/none.md" >/dev/null 2>&1 && fail "nothing checked passes"

[ "$failures" -eq 0 ] || exit 1
echo "all checks passed"
