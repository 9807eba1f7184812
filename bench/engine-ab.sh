#!/usr/bin/env bash
# The reference engine of another revision beside this tree's: each of the throughput bench's random
# and adversarial files is scanned by the one engine and then the other, ten times (ENGINE_AB_ROUNDS;
# half of them with this tree's engine first, in a second process), so that the two times of a pair
# come from the same moment of these noisy machines. Printed: the best time of each, and the median
# of the pairs' ratios. Separate runs, or two copies of the matcher linked into one program, differ by
# 10-15 % for the same code; two builds of the same code compared here agree within about 2 % when the
# machine is calm. When it is not, the best times wander by 20 % and more, the median of ten pairs by
# about 5 %: repeat a run before believing a difference smaller than that.
#   bench/engine-ab.sh REVISION [SIGNATURES...]      (default: 100000 300000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
revision=$(git -C "$root" rev-parse --short "${1:?a revision to compare with}")
shift
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(100000 300000)

source "$root/bench/bench-start.sh"
start_bench engine-ab-sandbox refengine bench_engine
engine_bench_data 100
other_engine "$revision"

rounds=${ENGINE_AB_ROUNDS:-10}
printf '%-9s %-16s %9s %9s %7s %7s\n' sigs file "$revision" this ratio median
for set in "${sets[@]}"; do
    for side in old new; do
        mkdir -p "$work/ab-$side-$set"
        cp "$work/sigs-$set/bench.ndb" "$work/ab-$side-$set/"
    done
    cp "$other/build/bin/Bases/ScanMain.DLL" "$work/ab-old-$set/"
    cp "$build/bin/Bases/ScanMain.DLL" "$work/ab-new-$set/"
    files=()
    for _ in $(seq $(((rounds + 1) / 2))); do files+=("$win\\random.bin" "$win\\adversarial.bin"); done
    pairs() {
        "$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_engine.exe" --pair "$win\\ab-$1-$set" "$win\\ab-$2-$set" \
            "${files[@]}" 2>/dev/null | tr -d '\r'
    }
    # Half the pairs with each engine first: the second scan of a file can run a few per cent faster.
    { pairs old new; pairs new old | awk '$1 == "pair" { t = $3; $3 = $4; $4 = t } 1'; } | awk -v set="$set" '$1 == "pair" {
            n = split($2, parts, "\\"); f = parts[n]
            if (!(f in a) || $3 < a[f]) a[f] = $3
            if (!(f in b) || $4 < b[f]) b[f] = $4
            # The ratio of each pair, sorted as it comes, for the median.
            k = ++count[f]; r = $4 / $3
            while (k > 1 && ratio[f, k - 1] > r) { ratio[f, k] = ratio[f, k - 1]; k-- }
            ratio[f, k] = r }
        END { for (f in a) {
                c = count[f]; m = c % 2 ? ratio[f, (c + 1) / 2] : (ratio[f, c / 2] + ratio[f, c / 2 + 1]) / 2
                printf "%-9s %-16s %9.3f %9.3f %7.2f %7.2f\n", set, f, a[f], b[f], b[f] / a[f], m } }' | sort -k2
done
echo "the best seconds of each engine on each file, this tree's best over the other revision's, and the"
echo "median of the ratios of the pairs (each pair scanned one after the other: steadier when the machine"
echo "is noisy; ENGINE_AB_ROUNDS pairs a file, default 10)"
