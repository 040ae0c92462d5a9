#!/bin/sh
# velmora against the engine on the same file, in one run:
#   bench/cli_bench.sh BUILD_DIR [MiB]   (BUILD_DIR built with ZELT_BUILD_BENCH=ON)
# Times RecoverFile alone (engine_time), velmora with its output to a file,
# and velmora on a pseudo-terminal drawing its progress bar; each the best of
# three. Target: velmora at most 1.1 times the engine.
set -eu
build=$1
mib=${2:-256}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A layer section at the start, then noise: a real scan with output files.
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/src.psd"
best() { sort -n | head -n 1; }
seconds() { # command...: elapsed seconds of the command
  start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
engine=$(for i in 1 2 3; do "$build/bench/engine_time" "$work/src.psd" "$work"; done | best)
file=$(for i in 1 2 3; do seconds sh -c "'$build/cli/velmora' -o '$work/out' '$work/src.psd' > '$work/log.txt'"; done | best)
tty=$(for i in 1 2 3; do seconds script -qfec "'$build/cli/velmora' -o '$work/out' '$work/src.psd'" /dev/null; done | best)
printf '%s MiB of noise\n' "$mib"
printf 'engine (RecoverFile)        %6.2f s\n' "$engine"
printf 'velmora, log to a file      %6.2f s   %.3f x engine\n' "$file" "$(echo "$file / $engine" | bc -l)"
printf 'velmora, progress bar (pty) %6.2f s   %.3f x engine\n' "$tty" "$(echo "$tty / $engine" | bc -l)"
