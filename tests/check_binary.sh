#!/bin/sh
# check_binary.sh PROGRAM PATTERN: the program is an ELF executable whose
# `file` description matches PATTERN (a basic regular expression), and it
# needs no shared library but the C++ standard library, its runtime support
# (libgcc_s, libm) and libc; a statically linked program needs none.
program=$1
pattern=$2
description=$(file -b "$program") || exit 1
echo "$description"
echo "$description" | grep -q -- "$pattern" || { echo "not $pattern"; exit 1; }
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "needs:" $needed
for library in $needed; do
  case $library in
    libstdc++.so.*|libgcc_s.so.*|libm.so.*|libc.so.*) ;;
    *) echo "unexpected library $library"; exit 1 ;;
  esac
done
