#!/usr/bin/env python3
"""Draws the tool bar pictures and the program icon as pixel art and writes them as XPM;
make_icons.sh turns them into the PNGs that the program compiles in."""

import os
import sys

# One character per pixel; '.' is transparent.
PALETTE = {
    '.': 'None',
    'k': '#000000',  # outline
    'y': '#FFFF00',  # folder front, bolt
    'o': '#C0C000',  # folder back, shaded
    'w': '#FFFFFF',
    'g': '#808080',
    's': '#C0C0C0',
    'b': '#804000',  # door wood
    'd': '#402000',  # door frame shade
    'n': '#000080',  # navy
    'c': '#00FFFF',
    'r': '#FF0000',
    'm': '#800000',
    'G': '#008000',
    'l': '#00FF00',
    'B': '#0000FF',
}

OPEN_FOLDER = [
    "....................",
    "....................",
    "....................",
    "..............kkk...",
    ".............k...k.k",
    "..kkkkk.........kk..",
    ".kwyywyk.......kkk..",
    ".kyoooookkkkkkk.....",
    ".kyokkkkkkkkkkkk....",
    ".kyokyyyyyyyyyyyk...",
    ".kokyyyyyyyyyyyk....",
    ".kokyyyyyyyyyyyk....",
    ".kkyyyyyyyyyyyk.....",
    ".kkyyyyyyyyyyyk.....",
    ".kyyyyyyyyyyyk......",
    ".kkkkkkkkkkkkk......",
    "....................",
    "....................",
    "....................",
    "....................",
]

LIGHTNING = [
    "....................",
    "..........kkkkkk....",
    ".........kyyyyyk....",
    ".........kyyyyk.....",
    "........kyyyyk......",
    "........kyyyk.......",
    ".......kyyyyk.......",
    ".......kyyyykkkkk...",
    "......kyyyyyyyyk....",
    "......kkkkkyyyk.....",
    "..........kyyk......",
    ".........kyyk.......",
    ".........kyk........",
    "........kyyk........",
    "........kyk.........",
    ".......kyk..........",
    ".......kk...........",
    "......kk............",
    "....................",
    "....................",
]

OPEN_DOOR = [
    "....................",
    "....kkkkkkkkkkkk....",
    "....kggggggggggk....",
    "....kgkkbkkkkkgk....",
    "....kgkbbk....gk....",
    "....kgkbbbk...gk....",
    "....kgkbbbbk..gk....",
    "....kgkbbbbbk.gk....",
    "....kgkbbbbbkkgk....",
    "....kgkbbbbbk.gk....",
    "....kgkbbybbk.gk....",
    "....kgkbbybbk.gk....",
    "....kgkbbbbbk.gk....",
    "....kgkbbbbbk.gk....",
    "....kgkbbbbbkkgk....",
    "....kgkbbbbk..gk....",
    "....kgkbbbk...gk....",
    "....kgkbbk....gk....",
    "..kkkkkkkkkkkkkkkk..",
    "....................",
]


def program_icon():
    """32 x 32: a ROM chip with a lightning bolt, in at most 16 colours."""
    img = [['.'] * 32 for _ in range(32)]

    def put(x, y, c):
        if 0 <= x < 32 and 0 <= y < 32:
            img[y][x] = c

    # Pins on both long sides.
    for y in range(5, 28, 3):
        for x in range(2, 6):
            put(x, y, 's')
            put(x, y + 1, 'g')
        for x in range(26, 30):
            put(x, y, 's')
            put(x, y + 1, 'g')
    # Body with outline and a notch.
    for y in range(3, 30):
        for x in range(6, 26):
            edge = y in (3, 29) or x in (6, 25)
            put(x, y, 'k' if edge else 'n')
    for x in range(13, 19):
        put(x, 4, 'k')
    for x in range(14, 18):
        put(x, 5, 'k')
    # The bolt: the flash being rewritten.
    bolt = [
        (18, 8), (17, 9), (16, 10), (15, 11), (14, 12), (13, 13), (12, 14),
        (13, 15), (14, 15), (15, 15), (16, 15), (17, 15),
        (16, 16), (15, 17), (14, 18), (13, 19), (12, 20), (11, 21),
    ]
    for (x, y) in bolt:
        for dx in range(0, 3):
            put(x + dx, y, 'y')
    for (x, y) in bolt:
        if img[y][x - 1] == 'n':
            put(x - 1, y, 'o')
    # A red dot: the device's power lamp.
    for (x, y) in ((21, 25), (22, 25), (21, 26), (22, 26)):
        put(x, y, 'r')
    return [''.join(row) for row in img]


def write_xpm(path, name, rows):
    used = sorted({c for row in rows for c in row})
    with open(path, 'w') as f:
        f.write('/* XPM */\nstatic char *%s[] = {\n' % name)
        f.write('"%d %d %d 1",\n' % (len(rows[0]), len(rows), len(used)))
        for c in used:
            f.write('"%s c %s",\n' % (c, PALETTE[c]))
        f.write(',\n'.join('"%s"' % row for row in rows))
        f.write('\n};\n')


def main(outdir):
    for name, rows, size in (("open", OPEN_FOLDER, 20), ("setup", LIGHTNING, 20),
                             ("exit", OPEN_DOOR, 20), ("program", program_icon(), 32)):
        assert len(rows) == size and all(len(r) == size for r in rows), name
        write_xpm(os.path.join(outdir, name + ".xpm"), name, rows)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else '.')
