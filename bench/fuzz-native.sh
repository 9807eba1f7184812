#!/usr/bin/env bash
# Coverage-guided fuzzing of the reference engine's sources and of the archive libraries it uses,
# built natively with clang's libFuzzer and the address and undefined-behaviour sanitizers (the few
# Windows calls come from bench/fuzz-native/platform; 7-Zip and libarchive from the sources
# tools/setup.sh keeps, built here once with the same instrumentation). Each target runs for the given
# time on its own corpus, kept in the build folder between runs; a crash, a leak or a wrong result stops
# it and leaves the input as crash-*, leak-* or timeout-* beside it. Prints, per target, the runs, the
# code edges reached and the peak memory, and the CPU time and runs of all clean runs on the corpus so far
# (its ledger, corpus-TARGET.ledger); each clean run is also added to bench/fuzz-native/record.tsv (date,
# commit, target, CPU seconds, runs, edges), which outlives the build folder. Also builds scan-native,
# the engine without Wine:
#   build/fuzz-native/scan-native BASES_FOLDER PATH...   (replays an input, profiles a scan)
#   bench/fuzz-native.sh [SECONDS] [TARGET...]
# Targets: FuzzBases, FuzzScan, FuzzChunks, FuzzUpdate (the base update's readers), and Archive-NAME for
# each archive format (Archive-7z, Archive-RAR, Archive-compound-file, ...); default: all, 60 s each.
# FUZZ_JOBS=2 runs two at a time. FUZZ_UNTIL=MINUTES: instead of SECONDS, each target runs (as often
# as it takes) until its ledger holds that many CPU-minutes. FUZZ_OWED=1 with FUZZ_UNTIL and no target
# named: only the targets whose clean runs in record.tsv add up to less than that.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
out="$build/fuzz-native"
seconds=${1:-60}
[ $# -gt 0 ] && shift
jobs=${FUZZ_JOBS:-1}
until_minutes=${FUZZ_UNTIL:-}

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
# 7-Zip reads unaligned words on purpose (x86 allows it), and its C decoders add a zero length to a
# null buffer pointer before any byte is touched: neither is a fault to stop at.
library_sanitize="-fsanitize=address,undefined -fno-sanitize=alignment,pointer-overflow -fno-sanitize-recover=undefined"
source "$root/bench/native-build.sh"
build_native "$out" "$sanitize -fsanitize=fuzzer-no-link" "$library_sanitize -fsanitize=fuzzer-no-link"
clang++ "${common[@]}" -O1 $sanitize "$root/bench/fuzz-native/ScanNative.cpp" "$out"/obj/*.o "${libraries[@]}" "${link[@]}" -o "$out/scan-native"

# Every target, or the ones named.
formats=$("$out/scan-native" --formats | tr ' ' '-')
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(FuzzBases FuzzScan FuzzChunks FuzzUpdate)
    for format in $formats; do targets+=("Archive-$format"); done
    if [ -n "${FUZZ_OWED:-}" ] && [ -n "$until_minutes" ]; then
        owed=()
        for target in "${targets[@]}"; do
            awk -F'\t' -v t="$target" -v want="$until_minutes" '$3 == t { s += $4 } END { exit !(s < want * 60) }' \
                "$root/bench/fuzz-native/record.tsv" && owed+=("$target")
        done
        targets=("${owed[@]}")
        echo "targets owed ${until_minutes} CPU-minutes: ${targets[*]:-none}"
    fi
fi

run_target() {
    local target=$1 source name corpus
    if [ "${target#Archive-}" != "$target" ]; then
        name=${target#Archive-}
        clang++ "${common[@]}" -O1 $sanitize -fsanitize=fuzzer -DFUZZ_FORMAT="\"${name//-/ }\"" "$root/bench/fuzz-native/FuzzArchive.cpp" \
            "$out"/obj/*.o "${libraries[@]}" "${link[@]}" -o "$out/$target"
    else
        # The update's readers that need no network, registry or processes.
        local extra=()
        [ "$target" = FuzzUpdate ] && { for source in BaseArchive BaseInfo BaseSignature Cdiff CvdHeader; do extra+=("$root/update/$source.cpp"); done; extra+=("$root/base/Digest.cpp"); }
        clang++ "${common[@]}" -O1 $sanitize -fsanitize=fuzzer "$root/bench/fuzz-native/$target.cpp" "${extra[@]}" "$out"/obj/*.o \
            "${libraries[@]}" "${link[@]}" -o "$out/$target"
    fi
    corpus="$out/corpus-$target"
    if [ ! -d "$corpus" ]; then
        # Seeds: the archive samples of the tests, clamav-testfiles where the machine has them, base lines.
        mkdir -p "$corpus"
        cp "$root"/tests/refengine/data/archives/*.bin "$corpus/"
        [ -d /usr/share/clamav-testfiles ] && cp /usr/share/clamav-testfiles/* "$corpus/" 2>/dev/null || true
        # and the streams of its Office documents (PowerPoint's records, an OLE package).
        for document in /usr/share/clamav-testfiles/clam.ppt /usr/share/clamav-testfiles/clam.ole.doc; do
            [ -f "$document" ] && command -v 7zz >/dev/null || continue
            7zz e -y -bd -o"$corpus/$(basename "$document")-streams" "$document" >/dev/null 2>&1 || true
        done
        printf '\001Sig;Engine:51-255,Target:0;0&1;414243::i;44*45(46|47)\n' >"$corpus/ldb-line"
        printf '\000Sig:0:*:4142??43{2-4}44*(45|4647)!(48|49)\n' >"$corpus/ndb-line"
        printf '\001OPEN daily.ndb\nDEL 2 B:0\nXCHG 1 A: Z:0:*:41\nADD X:0:*:41\nCLOSE\nMOVE daily.ndb daily.ldb 1 Z 2 C\nUNLINK daily.hdb\n' \
            >"$corpus/cdiff-script"
        # and whole bases with their lists of files, as the tests' mirror makes them.
        if [ "$target" = FuzzUpdate ]; then
            rm -rf "$out/update-seeds" && python3 "$root/tools/update-mirror.py" make "$out/update-seeds"
            for base in "$out"/update-seeds/local/*.cvd; do
                { printf '\000'; cat "$base"; } >"$corpus/$(basename "$base")"
                { printf '\000'; head -c 512 "$base"; gzip -dc < <(tail -c +513 "$base"); } >"$corpus/$(basename "$base" .cvd).cld"
            done
        fi
    fi
    if [ -z "$until_minutes" ]; then
        fuzz_once "$target" "$seconds"
        return
    fi
    # Again and again, each run for what the ledger still lacks (as wall time: a busy machine gives less
    # CPU than that), until it holds the minutes asked for.
    local owed
    for (( ; ; )); do
        owed=$(awk -v want="$until_minutes" '{ s += $1 } END { o = want * 60 - s; print (o > 0 ? int(o) + 30 : 0) }' \
            "$corpus.ledger" 2>/dev/null || echo $((until_minutes * 60 + 30)))
        [ "$owed" -gt 30 ] || return 0
        fuzz_once "$target" "$owed" || return 1
    done
}

# One run of a built target on its corpus, its CPU time added to the ledger when it ends clean.
fuzz_once() {
    local target=$1 time=$2 corpus="$out/corpus-$1" status=0
    (cd "$out" && /usr/bin/time -f '%U %S' -o "$out/$target.time" "./$target" "$corpus" -max_total_time="$time" -timeout=10 \
        -rss_limit_mb=2048 -max_len=1048576 -print_final_stats=1 -artifact_prefix="$out/$target-" >"$out/$target.log" 2>&1) ||
        status=1
    local cov runs peak cpu
    cov=$(grep -o 'cov: [0-9]*' "$out/$target.log" | tail -1 | cut -d' ' -f2)
    runs=$(awk '/^stat::number_of_executed_units/ { print $2 }' "$out/$target.log")
    peak=$(awk '/^stat::peak_rss_mb/ { print $2 }' "$out/$target.log")
    # The CPU time of every clean run of the target on this corpus, kept with it.
    cpu=$(awk 'END { print $1 + $2 }' "$out/$target.time")
    if [ $status = 0 ]; then
        echo "$cpu ${runs:-0}" >>"$corpus.ledger"
        # The build folder goes with the machine; this record stays with the sources, to be committed.
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%F)" "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo -)" \
            "$target" "$cpu" "${runs:-0}" "${cov:-0}" >>"$root/bench/fuzz-native/record.tsv"
    fi
    local total
    total=$(awk '{ s += $1; r += $2 } END { printf "%.1f CPU-min, %d runs in all", s / 60, r }' "$corpus.ledger" 2>/dev/null)
    printf '%-28s %10s runs %7s edges %6s MB peak  %s  (%s)\n' "$target" "${runs:-?}" "${cov:-?}" "${peak:-?}" \
        "$([ $status = 0 ] && echo ok || echo "FAILED: $(grep -m1 -E 'ERROR|SUMMARY|deadly' "$out/$target.log"); input in $out/$target-*")" \
        "${total:-none clean yet}"
    return $status
}

status=0
running=0
for target in "${targets[@]}"; do
    run_target "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || status=1
        running=$((running - 1))
    fi
done
while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
done
exit $status
