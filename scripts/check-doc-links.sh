#!/usr/bin/env bash
# Fails on a link of the README, CONTRIBUTING or docs/ that leads nowhere: a file or picture
# that is not in the tree, or a #section that the target has no heading for. The reference
# lives in several files that different people edit, so a moved heading is easy to miss.
set -euo pipefail
cd "$(dirname "$0")/.."

# GitHub's anchor of a heading: lower case, punctuation dropped, blanks become '-'.
anchors() {
    grep -E '^#{1,6} ' "$1" | sed -E 's/^#+ +//' | tr '[:upper:]' '[:lower:]' |
        sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'
}

broken=0
for doc in README.md CONTRIBUTING.md docs/*.md; do
    dir=$(dirname "$doc")
    # Code blocks hold example output, not links.
    while IFS= read -r link; do
        case $link in http://* | https://* | mailto:*) continue ;; esac
        file=${link%%#*}
        target=$doc
        [[ -n $file ]] && target=$dir/$file
        if [[ ! -e $target ]]; then
            echo "$doc: $link: no such file" >&2
            broken=1
            continue
        fi
        # Not through a pipe: with pipefail, grep -q leaving at the first match could cut the
        # listing off with SIGPIPE and fail a heading that is there.
        if [[ $link == *#* ]] && ! grep -qxF "${link#*#}" <<<"$(anchors "$target")"; then
            echo "$doc: $link: no such heading" >&2
            broken=1
        fi
    done < <(awk '/^```/ { code = !code; next } !code' "$doc" |
        grep -oE '\]\([^) ]+\)' | sed -E 's/^\]\(//; s/\)$//')
done
exit "$broken"
