#!/usr/bin/env bash
# Do the engine's tests notice a format or a limit disappearing? From a copy of this tree, builds the
# engine's tests once per mutant (each format of the registry left out in turn, each archive limit
# switched off in turn), runs them, and prints per mutant whether some test failed (caught) or none did
# (missed), with the first tests that failed. Fails when a mutant is missed.
#   bench/mutants.sh [PATTERN]    only the mutants whose name matches PATTERN (grep -E)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
pattern=${1:-.}
work="$build/mutants"
src="$work/src"
out="$work/build"

bash "$root/tools/setup.sh" >/dev/null
# The tree as it stands (changes not yet committed included), without build folders.
rm -rf "$src" && mkdir -p "$src"
(cd "$root" && git ls-files -co --exclude-standard | while read -r f; do [ -e "$f" ] && echo "$f"; done |
    tar -cf - -T -) | tar -xf - -C "$src"
cmake -S "$src" -B "$out" >/dev/null

# Builds and runs the engine's tests; 0 when they pass, 1 when one fails, 2 when the build fails.
build_and_test() {
    cmake --build "$out" -j "$(nproc)" --target refengine_tests >"$work/build.log" 2>&1 || return 2
    ctest --test-dir "$out" -R '^(harness\.|refengine_tests\.)' >"$work/test.log" 2>&1 && return 0
    return 1
}

echo "mutants: the unchanged tree first"
if ! build_and_test; then
    echo "mutants: the engine's tests fail without any mutant (see $work/test.log and $work/build.log)" >&2
    exit 2
fi

# Each mutant: a name, a file under refengine/ and a sed expression that makes the mutant.
mutants=()
registry=refengine/containers/Registry.cpp
while read -r id reader; do
    [ "$reader" = ZipDocument ] && continue
    mutants+=("format $id|$registry|s/add(FormatId::id, Make##reader##Format(FormatId::id));/if (FormatId::id != FormatId::$id) add(FormatId::id, Make##reader##Format(FormatId::id));/")
done < <(sed -n 's/^TERVAN_FORMAT(\([A-Za-z0-9]*\), \([A-Za-z0-9]*\),.*/\1 \2/p' "$src/refengine/FormatList.h")
sink=refengine/containers/Archive.cpp
mutants+=(
    "limit members of one archive|$sink|s/if (members_ >= limits_.maxMembers) {/if (false) {/"
    "limit members of one object|$sink|s/if (totals_.members >= limits_.maxTotalMembers) {/if (false) {/"
    "limit bytes of one member|$sink|s/memberLimit_ = limits_.maxMemberSize;/memberLimit_ = UINT64_MAX;/"
    "limit growth ratio|$sink|s/limits_\.maxRatio/UINT32_MAX/g"
    "limit bytes unpacked for one object|$sink|s/if (totals_.unpacked > limits_.maxTotalUnpacked) {/if (false) {/"
    "limit dictionaries|$sink|s/if (dictionary > limits_.maxDictionary .*{/if (false) {/"
    "limit archives in archives|refengine/core/Scanner.cpp|s/if (depth == limits_.maxDepth) {/if (false) {/"
    "limit instructions of one object|refengine/unpackers/PackedProgram.cpp|s/std::min(Limits::ProgramInstructions, sink.Limits().maxInstructions - totals.instructions)/Limits::ProgramInstructions/"
    "limit one allocation|refengine/object/AllocationCap.cpp|s/return size > RefEngine::MaxAllocation \\&\\&/return false \\&\\&/"
)

caught=0
missed=0
printf '%-42s %s\n' mutant result
for mutant in "${mutants[@]}"; do
    IFS='|' read -r name file expression <<<"$mutant"
    echo "$name" | grep -Eq -- "$pattern" || continue
    cp "$src/$file" "$work/original"
    sed -i "$expression" "$src/$file"
    if cmp -s "$src/$file" "$work/original"; then
        printf '%-42s %s\n' "$name" "NOT MADE (the expression matches nothing in $file)"
        missed=$((missed + 1))
        continue
    fi
    status=0
    build_and_test || status=$?
    cp "$work/original" "$src/$file"
    case $status in
    0)
        printf '%-42s %s\n' "$name" "MISSED"
        missed=$((missed + 1))
        ;;
    1)
        failed=$(grep -E '^\s+[0-9]+ - refengine_tests\.' "$work/test.log" | sed 's/.* - refengine_tests\.//; s/ (.*//' | head -n 3 | paste -sd, -)
        printf '%-42s %s\n' "$name" "caught by $failed"
        caught=$((caught + 1))
        ;;
    *)
        printf '%-42s %s\n' "$name" "NOT BUILT (see $work/build.log)"
        missed=$((missed + 1))
        ;;
    esac
done
# Leave the copy built as it is, so that the next run starts from it.
build_and_test >/dev/null 2>&1 || true
echo "mutants: $caught caught, $missed missed or not made"
[ "$missed" = 0 ]
