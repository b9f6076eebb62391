#!/usr/bin/env bash
# Layers only point down: the public headers, the host layer, the library's
# subsystems (nifutils under pktfilt under niflog), then the programs built
# on the public interface. Each folder may include only the project headers
# listed for it; tests and fuzzers may reach anything.
#   tests/layering_check.sh [SOURCE_DIR]
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 1
public='zeriza\.h|zeriza_host\.h'
allowed() {
  case $1 in
  include) echo "zeriza\.h" ;;
  host) echo "$public|host/.*" ;;
  nifutils) echo "$public|nifutils/.*" ;;
  pktfilt) echo "$public|nifutils/.*|pktfilt/.*" ;;
  niflog) echo "$public|nifutils/.*|pktfilt/.*|niflog/.*" ;;
  tools) echo "$public|[a-z_]+\.h" ;;
  framegen) echo "framegen/.*" ;;
  bench) echo "$public|framegen/.*|bench/.*" ;;
  # The Python module: the public headers and the toolkit it shares with
  # the tool (its node table printer and log walk), by bare name.
  python) echo "$public|describe\.h|logfields\.h|logwalk\.h|report\.h" ;;
  esac
}
fail=0
for dir in include host nifutils pktfilt niflog tools framegen bench python; do
  pattern=$(allowed "$dir")
  while IFS= read -r line; do
    header=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<<"$line")
    [ -n "$header" ] || continue
    # A bare name in tools/ is a header beside the file.
    if [ "$dir" = tools ] && ! [[ $header =~ ^($public)$ ]] && [ ! -e "tools/$header" ]; then
      echo "FAIL: ${line%%:*} includes $header, which is not in tools/"; fail=1
    elif ! [[ $header =~ ^($pattern)$ ]]; then
      echo "FAIL: ${line%%:*} includes $header"; fail=1
    fi
  done < <(grep -Hn '#include "' "$dir"/*.h "$dir"/*.cpp "$dir"/*.c 2>/dev/null)
done
[ $fail -eq 0 ] && echo "every include points down"
exit $fail
