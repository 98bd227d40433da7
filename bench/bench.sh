#!/bin/sh
# Measures what one call of tolvex costs, beside nc -u -W1 doing the same round trip and beside
# the start of /bin/true, on both release builds, in a private network namespace with the
# stand-in service answering.
set -eu
cd "$(dirname "$(realpath "$0")")/.."
. tools/deps.sh
need cmake make g++ g++-m32 /usr/bin/nc valgrind /usr/bin/time /usr/bin/python3 unshare
# Builds of its own, without the tests, so that the presets' builds are left as they are.
for size in 64 32; do
	cmake -S . -B "build/bench$size" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
		-DCMAKE_CXX_FLAGS="-m$size" -DCMAKE_EXE_LINKER_FLAGS="-m$size" >/dev/null
	cmake --build "build/bench$size" --target tolvex tolvex-standin >/dev/null
done
exec /usr/bin/python3 tests/isolated.py /usr/bin/python3 bench/measure.py \
	build/bench64/unixutils/src/tolvex build/bench32/unixutils/src/tolvex \
	build/bench64/standin/tolvex-standin
