# The start shared by the benchmarks that run clamscan beside the reference engine; sourced once root
# and build are set. Sets up the machine, installs clamscan (and its test files when asked), builds the
# named targets and starts a test sandbox, $sandbox, that stops when the script ends.
#   start_clamscan_bench SANDBOX_NAME [--testfiles] TARGET...
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
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target "$@" >/dev/null

    sandbox="$build/$name"
    "$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
    trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
}
