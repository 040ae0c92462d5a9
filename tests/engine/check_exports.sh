#!/bin/sh
# The engine library exports exactly one symbol, RecoverFile.
set -eu
syms=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
if [ "$syms" != "RecoverFile" ]; then
  echo "libzelt exports:"; echo "$syms"
  exit 1
fi
echo "libzelt exports only RecoverFile"
