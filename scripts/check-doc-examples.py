#!/usr/bin/env python3
"""Fails when a command shown in the documentation no longer prints what the text says.

Usage: check-doc-examples.py BIN_DIR [DOC.md ...]   (default: README.md and docs/*.md)

Two forms are read from the Markdown code blocks, in order:
  a transcript:  "$ CMD" and the lines after it, up to the next "$ " or the block's end,
                 are what CMD prints;
  a comment:     "CMD   # prints A" and "# and B" on the lines after it.
Only commands that work on local files alone are run: qf580-sim --make-sample and
qf580-flash --check, as BIN_DIR's programs, with stdin closed. Nothing is ever listened on or
connected to. Paths under /tmp/ are moved into a folder of this run's own, one folder per
document, so the examples of one document build on each other as a reader's would.
"""

import pathlib
import re
import shlex
import subprocess
import sys
import tempfile

RUNNABLE = {"qf580-sim": "--make-sample", "qf580-flash": "--check"}
FENCE = re.compile(r"^\s*```")
PRINTS = re.compile(r"^(?P<cmd>\S.*?)\s+# prints (?P<first>\S.*)$")
AND = re.compile(r"^\s*# and (?P<more>\S.*)$")


def blocks(text):
    """Each code block as (line number, line) pairs; a block inside a list item is indented
    as a whole, and its lines lose that indent."""
    block = None
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            if block is None:
                indent = len(line) - len(line.lstrip())
                block = []
            else:
                yield block
                block = None
        elif block is not None:
            block.append((number, line[indent:] if line[:indent].isspace() else line))


def examples(text):
    """(line number, command, expected lines) of every example in `text`."""
    found = []
    for block in blocks(text):
        i = 0
        while i < len(block):
            number, line = block[i]
            j = i + 1
            if line.startswith("$ "):
                while j < len(block) and not block[j][1].startswith("$ "):
                    j += 1
                found.append((number, line[2:], [text for _, text in block[i + 1 : j]]))
            elif m := PRINTS.match(line):
                expected = [m.group("first")]
                while j < len(block) and (more := AND.match(block[j][1])):
                    expected.append(more.group("more"))
                    j += 1
                found.append((number, m.group("cmd"), expected))
            i = j
    return found


def runnable(words):
    if not words:
        return None
    program = pathlib.PurePath(words[0]).name
    option = RUNNABLE.get(program)
    return program if option in words[1:] else None


def check(doc, bin_dir):
    """The faults of one document's examples, and how many were run."""
    faults = []
    ran = 0
    with tempfile.TemporaryDirectory(prefix="qf580-doc-") as tmp:
        moved = tmp + "/"
        for number, command, expected in examples(doc.read_text(encoding="utf-8")):
            words = shlex.split(command)
            program = runnable(words)
            if program is None:
                continue
            args = [str(bin_dir / program)] + [w.replace("/tmp/", moved) for w in words[1:]]
            result = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True,
                                    text=True, timeout=60, check=False)
            printed = result.stdout.replace(moved, "/tmp/").splitlines()
            ran += 1
            if printed != expected:
                faults.append(f"{doc}:{number}: `{command}` prints\n  "
                              + "\n  ".join(printed or ["(nothing)"])
                              + "\nbut the text says\n  " + "\n  ".join(expected)
                              + (f"\n(exit code {result.returncode}: {result.stderr.strip()})"
                                 if result.returncode else ""))
    return faults, ran


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    bin_dir = pathlib.Path(argv[1]).resolve()
    root = pathlib.Path(__file__).resolve().parent.parent
    docs = [pathlib.Path(d) for d in argv[2:]] or [root / "README.md",
                                                   *sorted((root / "docs").glob("*.md"))]
    faults = []
    ran = 0
    for doc in docs:
        f, n = check(doc, bin_dir)
        faults += f
        ran += n
    for fault in faults:
        print(fault, file=sys.stderr)
    if ran == 0:
        print("no example of --make-sample or --check found: nothing was checked",
              file=sys.stderr)
        return 1
    print(f"{ran} documented commands checked, {len(faults)} print otherwise")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
