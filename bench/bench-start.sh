# The start shared by the benchmarks that run the reference engine; sourced once root and build are set.
#   start_bench SANDBOX_NAME TARGET...
#       sets up the machine, builds the named targets and starts a test sandbox, $sandbox, that stops
#       when the script ends
#   start_clamscan_bench SANDBOX_NAME [--testfiles] TARGET...
#       the same, with clamscan installed first (and its test files when asked)
#   other_engine REVISION
#       the reference engine of another revision, built once from its files alone (no worktree left
#       behind); sets $other to its folder ($other/build/bin/Bases/ScanMain.DLL)
#   engine_bench_data MEGABYTES
#       the throughput files and signature sets, made once and kept in the build folder (the sandbox
#       sees it as B:); sets $work and $win to that folder
start_bench() {
    local name=$1
    shift
    bash "$root/tools/setup.sh" >/dev/null
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target "$@" >/dev/null

    sandbox="$build/$name"
    "$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
    trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
}

start_clamscan_bench() {
    local name=$1 testfiles=0
    shift
    if [ "${1:-}" = --testfiles ]; then
        testfiles=1
        shift
    fi
    bash "$root/tools/setup.sh" >/dev/null
    if ! command -v clamscan >/dev/null || { [ "$testfiles" = 1 ] && [ ! -d /usr/share/clamav-testfiles ]; }; then
        local packages=clamav
        [ "$testfiles" = 0 ] || packages="clamav clamav-testfiles"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $packages >/dev/null
    fi
    start_bench "$name" "$@"
}

engine_bench_data() {
    work="$build/engine-bench-data"
    win='B:\engine-bench-data'
    if [ ! -f "$work/made-$1" ]; then
        rm -rf "$work"
        python3 "$root/bench/make-engine-bench.py" "$work" "$1"
        touch "$work/made-$1"
    fi
}

other_engine() {
    other="$build/engine-ab-$1"
    if [ ! -f "$other/build/bin/Bases/ScanMain.DLL" ]; then
        rm -rf "$other"
        mkdir -p "$other/src"
        git -C "$root" archive "$1" | tar -x -C "$other/src"
        cmake -S "$other/src" -B "$other/build" >/dev/null
        cmake --build "$other/build" -j "$(nproc)" --target refengine >/dev/null
    fi
}
