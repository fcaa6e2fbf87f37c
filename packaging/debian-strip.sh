#!/bin/sh
# The packages' strip, as Debian's dh_strip does it: the .comment and .note sections, which
# only name the compiler, go as well. scripts/package.sh hands it to CMake as CMAKE_STRIP.
exec strip --remove-section=.comment --remove-section=.note "$@"
