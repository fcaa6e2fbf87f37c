#!/usr/bin/env bash
# Checks of the files that the packages carry beside the programs; ctest calls one check per
# test (see CMakeLists.txt). A missing tool skips its check with 77.
set -uo pipefail

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
need() {
    command -v "$1" >/dev/null 2>&1 || {
        echo "SKIP: $1 is not installed" >&2
        exit 77
    }
}

# Long options named anywhere in a text, one a line, sorted.
long_options() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }
# A manual page source as plain text: "\-" is a minus sign.
unescape_man() { sed -e 's/\\-/-/g' "$1"; }
# "code|text" for each line of the exit code table at the end of --help.
help_exit_codes() { sed -n '/^Exit codes:/,$p' | sed -n 's/^ *\([0-9][0-9]*\)  \(.*\)$/\1|\2/p'; }
# "code|text" for each row of the manual page's exit status table.
man_exit_codes() { unescape_man "$1" | sed -n '/^\.SH "EXIT STATUS"/,/^\.TE/p' | grep -E '^[0-9]+\|'; }

# Words that the completion offers for the command line given as arguments; the last
# argument is the word being completed.
complete_words() {
    local script=$1
    shift
    bash -c '
        source "$1"
        shift
        COMP_WORDS=("$@")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _qf580_flash
        if [ ${#COMPREPLY[@]} -gt 0 ]; then printf "%s\n" "${COMPREPLY[@]}"; fi
    ' complete "$script" qf580-flash "$@" | sort
}

same_sets() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        fail "$1: expected"$'\n'"$2"$'\n'"got"$'\n'"$3"
    fi
}

check_version() {  # program, name, version
    local out rc
    out=$("$1" --version)
    rc=$?
    [ "$rc" -eq 0 ] || fail "$2 --version exits $rc"
    [ "$out" = "$2 $3" ] || fail "$2 --version prints '$out', not '$2 $3'"
}

check_help_in_page() {  # what, help options, page
    local missing
    missing=$(comm -23 <(echo "$2") <(unescape_man "$3" | long_options))
    [ -z "$missing" ] || fail "$1: options of --help missing from the manual page:"$'\n'"$missing"
}

case ${1:-} in
    flash)
        program=$2 version=$3 page=$4 completion=$5
        help=$("$program" --help) || fail "qf580-flash --help does not exit 0"
        options=$(echo "$help" | long_options)
        [ -n "$options" ] || fail "no options found in --help"
        check_version "$program" qf580-flash "$version"
        check_help_in_page "qf580-flash" "$options" "$page"
        # The page names no option that the program does not have.
        stale=$(comm -13 <(echo "$options") <(unescape_man "$page" | long_options))
        [ -z "$stale" ] || fail "the manual page names options that --help lacks:"$'\n'"$stale"
        # The exit code table, row for row and letter for letter.
        codes=$(echo "$help" | help_exit_codes | sort)
        [ "$(echo "$codes" | wc -l)" -ge 15 ] || fail "too few exit codes read from --help"
        same_sets "exit codes of the manual page" "$codes" "$(man_exit_codes "$page" | sort)"
        # The completion offers every long option and no other.
        same_sets "options offered by the completion" "$options" \
            "$(complete_words "$completion" --)"
        ;;
    sim)
        program=$2 version=$3 page=$4
        help=$("$program" --help) || fail "qf580-sim --help does not exit 0"
        options=$(echo "$help" | long_options)
        [ -n "$options" ] || fail "no options found in --help"
        check_version "$program" qf580-sim "$version"
        check_help_in_page "qf580-sim" "$options" "$page"
        ;;
    completion)
        script=$2
        dir=$(mktemp -d)
        trap 'rm -rf "$dir"' EXIT
        cd "$dir" || exit 1
        mkdir folder
        touch FW0001.q58 OLD.Q58 "with space.q58" notes.txt librizedud.so
        same_sets "update files and folders" $'FW0001.q58\nOLD.Q58\nfolder\nwith space.q58' \
            "$(complete_words "$script" "")"
        same_sets "files starting with F" "FW0001.q58" "$(complete_words "$script" F)"
        same_sets "a folder" "folder" "$(complete_words "$script" fo)"
        same_sets "answers" $'ask\ncancel\nok' "$(complete_words "$script" --disk-answer "")"
        same_sets "answers after c" "cancel" "$(complete_words "$script" --disk-answer c)"
        same_sets "answers after =" $'ask\ncancel\nok' \
            "$(complete_words "$script" --disk-answer =)"
        same_sets "answers after =o" "ok" "$(complete_words "$script" --disk-answer = o)"
        same_sets "answers in one word" "ok" "$(complete_words "$script" --disk-answer=o)"
        same_sets "driver libraries" $'folder\nlibrizedud.so' \
            "$(complete_words "$script" --usb --usb-driver "")"
        same_sets "an address" "" "$(complete_words "$script" --address "")"
        same_sets "a port" "" "$(complete_words "$script" --address 127.0.0.1 --port "")"
        same_sets "options after a file" $'--usb\n--usb-driver' \
            "$(complete_words "$script" FW0001.q58 --us)"
        ;;
    manpages)
        need man
        dir=$2
        pages=("$dir"/*.1)
        [ -e "${pages[0]}" ] || fail "no manual pages in $dir"
        for page in "${pages[@]}"; do
            # Both in a UTF-8 locale and in the plain C locale of a minimal system.
            for locale in C.UTF-8 C; do
                out=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
                [ -z "$out" ] || fail "$(basename "$page") in $locale:"$'\n'"$out"
            done
            rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
            # Not through a pipe: with pipefail, grep -q leaving at the first match could cut
            # echo off with SIGPIPE, and a page that has its NAME would be failed.
            for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
                grep -q "^$section" <<<"$rendered" ||
                    fail "$(basename "$page") has no $section section"
            done
            grep -q '@[A-Z_]*@' "$page" && fail "$(basename "$page") has an unfilled @VARIABLE@"
        done
        ;;
    changelog)
        version=$2 changelog=$3
        # The packages' version is the changelog's top entry's; a native package's is the
        # project's as it is, with no Debian revision.
        top=$(sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)) .*$/\1/p' "$changelog")
        [ -n "$top" ] || fail "no version in the first line of $changelog"
        [ "$top" = "$version" ] ||
            fail "debian/changelog's version $top is not project(VERSION) $version"
        ;;
    desktop)
        need desktop-file-validate
        need appstreamcli
        desktop=$2 metainfo=$3
        out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
        [ -z "$out" ] || fail "desktop-file-validate: $out"
        # --no-net: nothing is fetched, the screenshot's address is only checked for its form.
        out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) ||
            fail "appstreamcli validate:"$'\n'"$out"
        grep -q '@[A-Z_]*@' "$metainfo" && fail "the metainfo has an unfilled @VARIABLE@"
        # The software centre and the menu show the same name, and the metainfo launches
        # this desktop entry.
        name=$(sed -n 's/^Name=//p' "$desktop")
        grep -qF "<name>$name</name>" "$metainfo" || fail "the metainfo's name is not '$name'"
        grep -qF "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" \
            "$metainfo" || fail "the metainfo does not launch $(basename "$desktop")"
        ;;
    *)
        echo "usage: $0 flash|sim|completion|manpages|changelog|desktop ARGS..." >&2
        exit 2
        ;;
esac
finish
