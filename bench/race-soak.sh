#!/usr/bin/env bash
# Races another program against curing scans, removals and restores: bench_racewriter appends to,
# rewrites, saves over (as editors save) and deletes a few infected files at random moments while
# tervscan cures them, removes them (an engine whose signature has no cure, with --remove: the path the
# window's deletions take too) and restores entries over them, round after round (the other program's
# changes and tervscan's runs are logged with their times on the sandbox's drive D:, race.log and
# race-runs.log). Afterwards every token the other program wrote, and did not itself see go again,
# must be in a file or in a quarantine container. Prints the rounds, the other program's changes
# refused (a file was held) and the tokens lost (goal 0).
# Not part of the test suite.
#   bench/race-soak.sh [ROUNDS]      (default 1000: curing scans, removals and restores, a third each)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
rounds=${1:-1000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan refengine bench_racewriter >/dev/null

sandbox="$build/race-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT

python3 - "$root" "$build" "$sandbox" "$rounds" <<'PY'
import os, random, re, shutil, subprocess, sys, time

root, build, sandbox, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
drive = os.path.join(sandbox, "drive_d")
folder = os.path.join(drive, "race")
quarantine = os.path.join(drive, "TER.QUAR")
wine_run = os.path.join(root, "tools", "wine-run.sh")
tervscan = os.path.join(build, "bin", "tervscan.exe")
racer = os.path.join(build, "bin", "bench_racewriter.exe")
log = os.path.join(folder, "..", "race.log")
files, burst = 6, 40  # files raced over; seconds of one run of the other program
random.seed(int(os.environ.get("SOAK_SEED", "1")))

shutil.rmtree(folder, ignore_errors=True)
shutil.rmtree(quarantine, ignore_errors=True)
os.makedirs(folder)
# The engine of removals: the same body as a signature without a cure.
removing = os.path.join(drive, "race-engine")
shutil.rmtree(removing, ignore_errors=True)
os.makedirs(removing)
shutil.copy(os.path.join(build, "bin", "Bases", "ScanMain.DLL"), removing)
with open(os.path.join(removing, "race.ndb"), "w") as f:
    f.write("Race.Uncurable:0:*:%s\n" % b"TERVAN-APPENDED-TEST-BODY".hex())
if os.path.exists(log):
    os.remove(log)
for i in range(files):
    with open(os.path.join(folder, "f%d.exe" % i), "wb") as f:
        f.write(b"h" * 1000 + b"TERVAN-APPENDED-TEST-BODY\n")

trace = open(os.path.join(drive, "race-runs.log"), "w")  # each run of tervscan: its times, arguments and lines

def tervscan_run(*args):
    started = int(time.time() * 1000)
    result = subprocess.run([wine_run, sandbox, tervscan, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    trace.write("@%d-%d %s\n%s" % (started, int(time.time() * 1000), " ".join(args), result.stdout.decode("utf-8", "replace").replace("\r", "")))
    trace.flush()
    return result

def start_racer(seed):
    return subprocess.Popen([wine_run, sandbox, racer, "D:\\race", str(files), str(burst), "D:\\race.log", str(seed)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

seed, process = 1, start_racer(1)
scans = removals = restores = 0
while scans + removals + restores < rounds:
    if process.poll() is not None:
        seed += 1
        process = start_racer(seed)
    kind = random.random()
    if kind < 1 / 3:
        tervscan_run("--all-files", "--engine", "B:\\bin\\Bases", "D:\\race")
        scans += 1
    elif kind < 2 / 3:
        tervscan_run("--all-files", "--remove", "--engine", "D:\\race-engine", "D:\\race")
        removals += 1
    else:
        listing = tervscan_run("--quarantine", "list").stdout.decode("utf-8", "replace").splitlines()
        entries = [line.split("\t")[0] for line in listing if line.count("\t") >= 5]
        if not entries:
            continue
        tervscan_run("--quarantine", "restore", random.choice(entries))
        restores += 1
    sys.stdout.write("\rrounds: %d (curing scans %d, removals %d, restores %d)" % (scans + removals + restores, scans, removals, restores))
    sys.stdout.flush()
process.wait()  # its burst ends by itself: a kill could come between a change and its line in the log
print()

written, seen, refused = set(), set(), 0
for line in open(log, encoding="ascii", errors="replace"):
    parts = line.split()
    if parts and parts[0] == "X":
        refused += 1
    elif len(parts) >= 2:
        (written if parts[0] == "W" else seen).update(p for p in parts[2:] if not p.startswith("@"))

# Everything that holds bytes of the user's: the files, and the containers' contents (unscrambled).
present = set()
token = re.compile(rb"\{TK:(\d{8})\}")
for name in os.listdir(folder):
    present.update(m.decode() for m in token.findall(open(os.path.join(folder, name), "rb").read()))
for name in os.listdir(quarantine) if os.path.isdir(quarantine) else []:
    if name.lower().endswith(".tqr"):
        data = open(os.path.join(quarantine, name), "rb").read()
        content = bytes(b ^ 0xB7 for b in data[148 + 4144:])
        present.update(m.decode() for m in token.findall(content))
lost = sorted(written - seen - present)
print("rounds: %d (curing scans %d, removals %d, restores %d)" % (scans + removals + restores, scans, removals, restores))
print("other program's changes refused (a file held, or gone): %d" % refused)
print("tokens written: %d, lost: %d %s" % (len(written), len(lost), " ".join(lost[:10])))
sys.exit(1 if lost else 0)
PY
