#!/bin/sh
# Reads the dynamic section of every program and library of a build tree (or
# an installed prefix): no search path may hold an empty entry (the current
# directory) or a relative one; each is absolute or starts at $ORIGIN.
#   check_search_paths.sh DIR
set -eu
dir=$1
checked=0
bad=0
for f in $(find "$dir" -type f \( -perm -u+x -o -name '*.so*' \) ! -name '*.sh' ! -path '*/CMakeFiles/*'); do
  head -c 4 "$f" 2>/dev/null | grep -q 'ELF' || continue
  checked=$((checked + 1))
  paths=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
  [ -n "$paths" ] || continue
  # Every entry, the empty ones included (a leading, trailing or doubled ":").
  rest="$paths:"
  while [ -n "$rest" ]; do
    entry=${rest%%:*}
    rest=${rest#*:}
    case "$entry" in
      /*|'$ORIGIN'|'$ORIGIN/'*) ;;
      *) echo "FAIL: $f: search path [$paths] holds the entry '$entry'"; bad=1; break ;;
    esac
  done
done
[ "$checked" -gt 0 ] || { echo "FAIL: no programs found in $dir"; exit 1; }
[ "$bad" -eq 0 ] || exit 1
echo "$checked programs and libraries: every search path absolute or from \$ORIGIN"
