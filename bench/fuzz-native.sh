#!/usr/bin/env bash
# Coverage-guided fuzzing of the reference engine's sources, built natively with clang's libFuzzer and
# the address and undefined-behaviour sanitizers (the few Windows calls come from
# bench/fuzz-native/platform). Each target runs for the given time on its own corpus, kept in the
# build folder between runs; a crash, a leak or a wrong result stops it and leaves the input as
# crash-*, leak-* or timeout-* beside the corpus. Also builds scan-native, the engine without Wine:
#   build/fuzz-native/scan-native BASES_FOLDER PATH...   (replays an input, profiles a scan)
#   bench/fuzz-native.sh [SECONDS] [TARGET...]     targets: FuzzBases FuzzScan FuzzChunks (default: all, 60 s each)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
out="$build/fuzz-native"
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(FuzzBases FuzzScan FuzzChunks)

missing=()
for p in clang libclang-rt-14-dev zlib1g-dev libssl-dev; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$out/obj" "$out/obj-plain"
sources=("$root"/refengine/{Cvd,Database,Pe,Hash,HexPattern,LogicalSignature,Matcher,Scanner,SignatureStore,Source,Zip}.cpp
         "$root/bench/fuzz-native/Platform.cpp")
common=(-std=c++17 -g -msse2 -I "$root/bench/fuzz-native/platform" -I "$root")
sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
pids=()
for f in "${sources[@]}"; do
    clang++ "${common[@]}" -O1 "${sanitize[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$out/obj/$(basename "$f" .cpp).o" &
    pids+=($!)
    clang++ "${common[@]}" -O2 -c "$f" -o "$out/obj-plain/$(basename "$f" .cpp).o" &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
clang++ "${common[@]}" -O2 "$root/bench/fuzz-native/ScanNative.cpp" "$out"/obj-plain/*.o -lz -lcrypto -o "$out/scan-native"

status=0
for target in "${targets[@]}"; do
    clang++ "${common[@]}" -O1 "${sanitize[@]}" -fsanitize=fuzzer "$root/bench/fuzz-native/$target.cpp" "$out"/obj/*.o \
        -lz -lcrypto -o "$out/$target"
    corpus="$out/corpus-$target"
    if [ ! -d "$corpus" ]; then
        # Seeds: a PE file, ZIP archives and base lines of the test files, where the machine has them.
        mkdir -p "$corpus"
        for seed in /usr/share/clamav-testfiles/clam.exe /usr/share/clamav-testfiles/clam.zip; do
            [ -f "$seed" ] && cp "$seed" "$corpus/"
        done
        printf '\001Sig;Engine:51-255,Target:0;0&1;414243::i;44*45(46|47)\n' >"$corpus/ldb-line"
        printf '\000Sig:0:*:4142??43{2-4}44*(45|4647)!(48|49)\n' >"$corpus/ndb-line"
    fi
    echo "== $target, $seconds s"
    if ! (cd "$out" && "./$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$out/$target-" 2>"$out/$target.log"); then
        status=1
        echo "$target failed; the input is in $out/$target-*" >&2
    fi
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^(==[0-9]+==ERROR|SUMMARY)' "$out/$target.log" || true
done
exit $status
