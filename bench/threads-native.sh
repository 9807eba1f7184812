#!/usr/bin/env bash
# Two scanning contexts of the reference engine on one loaded base at once, built natively with the
# thread sanitizer (the engine and its archive libraries instrumented): a data race between two scans
# stops the run with the sanitizer's report. Scans the archive samples of the tests and Debian's
# clamav-testfiles with the tests' signatures of the test program in them, and the real public base.
#   bench/threads-native.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
realbase=${REALBASE:-$root/../shared/realbase}
out="$build/threads-native"

source "$root/bench/native-build.sh"
build_native "$out" "-fsanitize=thread" "-fsanitize=thread"
# The engine's operator new goes through malloc, which the sanitizer watches: its own new is not needed.
clang++ "${common[@]}" -O1 -fsanitize=thread "$root/bench/fuzz-native/TwoContexts.cpp" "$out"/obj/*.o "${libraries[@]}" \
    "${link[@]}" -Wl,--allow-multiple-definition -o "$out/two-contexts"
[ -d /usr/share/clamav-testfiles ] ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clamav-testfiles >/dev/null

files=("$root"/tests/refengine/data/archives/*.bin /usr/share/clamav-testfiles/*)
# The real base, and signatures of the test program (its MD5, its entry code as a body signature and
# in a logical one), so that the archived and wrapped copies of it are found while both scan.
rm -rf "$out/bases" && mkdir -p "$out/bases"
for f in "$realbase"/*.gz; do gzip -dc "$f" >"$out/bases/$(basename "$f" .gz)"; done
python3 "$root/bench/clam-signatures.py" /usr/share/clamav-testfiles/clam.exe "$out/bases"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$out/two-contexts" "$out/bases" "${files[@]}"
