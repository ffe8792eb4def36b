# shellcheck shell=bash
# The optimisation flags of every module zig's clang builds for a wheel
# (tools/build_wheels.sh, tools/cross_wheels.sh), beside CMake's Release
# flags (-O3 -DNDEBUG). Each was kept for what bench/instructions.py counts
# on the installed wheel against the local GCC build:
#   -fomit-frame-pointer    zig's clang keeps frame pointers unless told;
#   -Xclang -O3             zig hands clang -O2 for -O3;
#   -mllvm -inline-threshold=1000
#                           clang's default threshold leaves the failure
#                           barrier, the option maps' fills and destructors
#                           and the containers' growth as calls of their own,
#                           where GCC inlines them.
# ELF targets add -fno-plt: calls into the interpreter go through the GOT.
# Link-time optimisation was measured too and bought nothing over these.
# shellcheck disable=SC2034  # read by the scripts that source this file
wheel_optimisation_flags=(-fomit-frame-pointer -Xclang -O3 -mllvm -inline-threshold=1000)
# shellcheck disable=SC2034
wheel_elf_flags=(-fno-plt)
