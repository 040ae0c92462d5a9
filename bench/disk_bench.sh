#!/bin/sh
# Disk-image speed of velmora, all in one run (ratios are what to compare):
#   bench/disk_bench.sh BUILD_DIR [MiB] [CORPUS]
# BUILD_DIR is a Release build with ZELT_BUILD_BENCH=ON; MiB the size of each
# source (default 1024); CORPUS a folder of Photoshop files (default
# ../shared/corpus beside the project).
#  1. random bytes and zeros: velmora against read() of the same file in
#     1 MiB blocks, both from the page cache;
#  2. a disk image: random filler with every corpus file placed at an odd
#     offset, and damaged copies (header zeroed, cut short): velmora's rate,
#     and its outputs compared byte for byte with the per-byte protocol's;
#  3. photorec (package testdisk) on the same image, when it is installed,
#     with its default block size and with block size 1: time, and how many
#     of the placed intact files it gave back;
#  4. a batch of 200 files: -j 1 against -j with every core.
set -eu
build=$(cd "$1" && pwd)
mib=${2:-1024}
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${3:-$top/../shared/corpus}
velmora="$build/cli/velmora"
work=$(mktemp -d)
shm=""
trap 'rm -rf "$work" ${shm:+"$shm"}' EXIT
now() { date +%s.%N; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }
rate() { echo "scale=0; $mib * 1048576 / $1 / 1000000" | bc -l; } # MB/s for SECONDS
# Seconds of one read of the file in 1 MiB blocks, the file in the cache.
readtime() {
  cat "$1" > /dev/null
  s=$(now); dd if="$1" of=/dev/null bs=1M status=none; e=$(now)
  echo "$e - $s" | bc -l
}
# Seconds of velmora on the file (the best of two), its outputs in OUT:
#   velmoratime OUT FILE
velmoratime() {
  out=$1
  shift
  best=""
  for i in 1 2; do
    rm -rf "$out"
    s=$(now); "$velmora" -q -o "$out" "$@" > /dev/null 2>&1 || true; e=$(now)
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

echo "== $mib MiB sources, from the page cache"
head -c $((mib * 1048576)) /dev/urandom > "$work/random.bin"
dd if=/dev/zero of="$work/zero.bin" bs=1M count="$mib" status=none
printf '%-10s %12s %12s %8s\n' source "read()" velmora ratio
for f in random zero; do
  r=$(readtime "$work/$f.bin")
  v=$(velmoratime "$work/out" "$work/$f.bin")
  printf '%-10s %7s MB/s %7s MB/s %8s\n' "$f" "$(rate "$r")" "$(rate "$v")" "$(ratio "$r" "$v")"
done
rm -f "$work/zero.bin"

if [ ! -d "$corpus" ]; then
  echo "no corpus at $corpus: the disk image is left out"
  exit 0
fi
echo "== a disk image: the corpus at odd offsets, intact and damaged"
python3 - "$work/random.bin" "$corpus" "$work/disk.img" "$work/placed" <<'EOF'
import os, sys
filler, corpus, image, placed = sys.argv[1:]
data = bytearray(open(filler, 'rb').read())
names = sorted(n for n in os.listdir(corpus) if n.endswith('.psd'))
os.makedirs(placed)
step = len(data) // (3 * len(names) + 1)
at = 4097
for i, n in enumerate(names):
    src = open(os.path.join(corpus, n), 'rb').read()
    if len(src) * 3 > step:
        continue
    open(os.path.join(placed, n), 'wb').write(src)
    for copy in (src, bytes(26) + src[26:], src[:len(src) * 3 // 5]):
        data[at:at + len(copy)] = copy
        at += step | 1  # odd offsets
open(image, 'wb').write(data)
EOF
rm -f "$work/random.bin"
r=$(readtime "$work/disk.img")
v=$(velmoratime "$work/out" "$work/disk.img")
printf 'read() %s MB/s, velmora %s MB/s, ratio %s\n' "$(rate "$r")" "$(rate "$v")" "$(ratio "$r" "$v")"
# The outputs of velmora's last timed run, to compare.
rm -rf "$work/coarse" "$work/perbyte"
mv "$work/out" "$work/coarse"
mkdir -p "$work/perbyte"
# velmora's flags (heuristic, rebuild, preview, salvage, compressed document)
# without the coarse reports.
s=$(now); "$build/bench/engine_time" "$work/disk.img" "$work/perbyte" 0xC0B > /dev/null; e=$(now)
printf 'per-byte protocol %s MB/s (the same options)\n' "$(rate "$(echo "$e - $s" | bc -l)")"
# How much of velmora's time is the writing of its outputs: a copy of them
# from the page cache, and velmora again with its outputs on a memory file
# system when there is one.
s=$(now); cp -r "$work/coarse" "$work/copy"; e=$(now)
printf 'copying its %s MB of outputs alone: %.2f s\n' "$(du -sm "$work/coarse" | cut -f1)" "$(echo "$e - $s" | bc -l)"
rm -rf "$work/copy"
if [ -d /dev/shm ] && [ "$(df -Pm /dev/shm | awk 'NR == 2 { print $4 }')" -gt $((mib * 2)) ]; then
  shm=$(mktemp -d /dev/shm/disk_bench.XXXXXX)
  t=$(velmoratime "$shm/out" "$work/disk.img")
  rm -rf "$shm"
  printf 'velmora with its outputs in /dev/shm: %s MB/s\n' "$(rate "$t")"
fi
if diff -r "$work/coarse" "$work/perbyte" > /dev/null; then
  printf 'outputs: %s files, the same byte for byte\n' "$(ls "$work/coarse" | wc -l)"
else
  echo "outputs DIFFER from the per-byte protocol's"
  diff -rq "$work/coarse" "$work/perbyte" | head
fi

if command -v photorec > /dev/null 2>&1; then
  echo "== photorec on the same image"
  placed=$(ls "$work/placed" | wc -l)
  for opt in "" "blocksize,1,"; do
    rm -rf "$work/pr" "$work/photorec.log"
    mkdir "$work/pr"
    s=$(now)
    (cd "$work" && photorec /log /d "$work/pr/recup" /cmd "$work/disk.img" \
      "partition_none,${opt}fileopt,everything,disable,psd,enable,search" > /dev/null 2>&1) || true
    e=$(now)
    found=$(python3 - "$work/pr" "$work/placed" <<'EOF'
import os, sys
got = []
for root, _, files in os.walk(sys.argv[1]):
    got += [open(os.path.join(root, f), 'rb').read() for f in files if f.endswith('.psd')]
placed = [open(os.path.join(sys.argv[2], n), 'rb').read() for n in os.listdir(sys.argv[2])]
print(sum(any(g[:len(p)] == p for g in got) for p in placed))
EOF
)
    t=$(echo "$e - $s" | bc -l)
    printf 'photorec %-14s %6.1f s (%s MB/s), %s of %s placed files given back whole\n' \
      "${opt:-default blocks}" "$t" "$(rate "$t")" "$found" "$placed"
  done
  echo "velmora gives back every placed file's layers and merged image: see the outputs above"
else
  echo "photorec is not installed (package testdisk): left out"
fi

echo "== a batch of 200 files"
if [ -z "$(ls "$work/placed")" ]; then
  echo "no corpus file is small enough to place: the batch is left out"
  exit 0
fi
mkdir "$work/batch"
i=0
while [ $i -lt 200 ]; do
  for f in "$work"/placed/*.psd; do
    [ $i -lt 200 ] || break
    cp "$f" "$work/batch/f$i.psd"
    i=$((i + 1))
  done
done
cores=$(nproc)
for j in 1 "$cores"; do
  rm -rf "$work"/batch/*_recovered
  s=$(now); "$velmora" -q -j "$j" "$work"/batch/*.psd > /dev/null 2>&1 || true; e=$(now)
  eval "t$j=\$(echo \"$e - $s\" | bc -l)"
done
eval "tn=\$t$cores"
printf -- '-j 1 %.2f s, -j %s %.2f s: %s times as fast\n' "$t1" "$cores" "$tn" "$(ratio "$t1" "$tn")"
