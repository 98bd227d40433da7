#!/bin/sh
# Measures what one call of tolvex costs, beside nc -u -W1 doing the same round trip, on both
# release builds, in a private network namespace with the stand-in service answering.
set -eu
cd "$(dirname "$0")/.."
. tools/deps.sh
need cmake make g++ g++-multilib netcat-openbsd valgrind time python3 util-linux
for preset in x64 x86; do
	cmake --preset "$preset" >/dev/null
	cmake --build --preset "$preset" --target tolvex tolvex-standin >/dev/null
done
exec python3 tests/isolated.py python3 bench/measure.py \
	build/x64/unixutils/src/tolvex build/x86/unixutils/src/tolvex build/x64/standin/tolvex-standin
