#!/usr/bin/env bash
# Kills curing scans and restores at random moments and checks after each kill that nothing of the
# user's was lost: every original file is either unchanged or has a byte-identical container in the
# quarantine, and after the next start no temporary file of a cure or a restore is left anywhere.
# Prints the number of kills and of losses (must be 0). Not part of the test suite.
#   bench/soak-kills.sh [KILLS]      (default 1000, half during scans and half during restores)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
kills=${1:-1000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan refengine >/dev/null

sandbox="$build/soak-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT

python3 - "$root" "$build" "$sandbox" "$kills" <<'PY'
import hashlib, os, random, shutil, subprocess, sys, time

root, build, sandbox, kills = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
drive = os.path.join(sandbox, "drive_d")
tree = os.path.join(drive, "soak")
quarantine = os.path.join(drive, "TER.QUAR")
wine_run = os.path.join(root, "tools", "wine-run.sh")
tervscan = os.path.join(build, "bin", "tervscan.exe")
body = b"TERVAN-APPENDED-TEST-BODY"
random.seed(int(os.environ.get("SOAK_SEED", "1")))

def run(*args, **kw):
    return subprocess.run([wine_run, sandbox, tervscan, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)

def windows_path(path):
    return "D:\\" + os.path.relpath(path, drive).replace("/", "\\")

def containers():
    """Every complete container: (original path as stored, with D: put back; content bytes)."""
    found = []
    if not os.path.isdir(quarantine):
        return found
    for name in os.listdir(quarantine):
        if not name.lower().endswith(".tqr"):
            continue
        data = open(os.path.join(quarantine, name), "rb").read()
        if len(data) < 148 + 4144 or data[:8] != b"TAVQUAR\x01":
            continue
        record = data[148:148 + 4144]
        size = int.from_bytes(record[12:20], "little")
        path = record[20:20 + 4096].decode("utf-16-le").split("\0")[0]
        if path.startswith("?"):
            path = "D" + path[1:]
        content = bytes(b ^ 0xB7 for b in data[148 + 4144:148 + 4144 + size])
        if len(content) == size:
            found.append((path.lower(), hashlib.sha256(content).hexdigest()))
    return found

def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()

def make_tree(count):
    shutil.rmtree(tree, ignore_errors=True)
    shutil.rmtree(quarantine, ignore_errors=True)
    originals = {}
    for i in range(count):
        path = os.path.join(tree, "d%d" % (i % 3), "f%02d.exe" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        host = random.randbytes(random.choice([100, 5000, 60000, 600000]))
        with open(path, "wb") as f:
            f.write(host + body + random.randbytes(random.randint(0, 3000)))
        originals[windows_path(path).lower()] = (path, digest(path))
    return originals

def leftovers():
    """Temporary files that must not survive the next start."""
    left = []
    for folder, _, names in os.walk(drive):
        for name in names:
            if name.endswith(".!tqr-tmp") or name.endswith(".tvcure") or name.endswith(".!tqr") or name.endswith(".!tqt"):
                left.append(os.path.join(folder, name))
    return left

def kill_at_random(args, longest):
    process = subprocess.Popen([wine_run, sandbox, tervscan, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(random.uniform(0.0, longest))
    killed = process.poll() is None
    process.kill()
    process.wait()
    return killed

losses, scan_kills, restore_kills, lost = 0, 0, 0, []

def check(originals, when):
    """Each original: at its place unchanged, or kept byte for byte in a container."""
    global losses
    kept = set(containers())
    for key, (path, sha) in originals.items():
        if os.path.exists(path) and digest(path) == sha:
            continue
        if (key, sha) in kept:
            continue
        losses += 1
        lost.append("%s: %s" % (when, key))

while scan_kills + restore_kills < kills:
    # A curing scan, killed at a random moment.
    originals = make_tree(8)
    if kill_at_random(["--all-files", "--engine", "B:\\bin\\Bases", "D:\\soak"], 0.4):
        scan_kills += 1
    check(originals, "scan")
    run("--quarantine", "list")  # the next start
    for path in leftovers():
        losses += 1
        lost.append("left behind after a scan: " + path)

    # Cure what is left, then restore entries over the cured files and kill those restores.
    run("--all-files", "--engine", "B:\\bin\\Bases", "D:\\soak")
    for _ in range(3):
        listing = run("--quarantine", "list").stdout.decode("utf-8", "replace").splitlines()
        entries = [line.split("\t") for line in listing if line.count("\t") >= 5]
        if not entries:
            break
        entry = random.choice(entries)
        # What must survive: the file now in place, and every container's content.
        before = {}
        for folder, _, names in os.walk(tree):
            for name in names:
                full = os.path.join(folder, name)
                before[windows_path(full).lower()] = (full, digest(full))
        stored = {}
        for path, sha in containers():
            stored.setdefault(path, set()).add(sha)
        if kill_at_random(["--quarantine", "restore", entry[0]], 0.3):
            restore_kills += 1
        kept = set(containers())
        for key, (path, sha) in before.items():
            here = os.path.exists(path) and digest(path) == sha
            if not here and (key, sha) not in kept:
                losses += 1
                lost.append("restore: replaced file lost: " + key)
        for key, shas in stored.items():
            for sha in shas:
                path = before.get(key, (None,))[0] or os.path.join(drive, key[3:].replace("\\", "/"))
                if (key, sha) not in kept and not (os.path.exists(path) and digest(path) == sha):
                    losses += 1
                    lost.append("restore: quarantined copy lost: " + key)
        run("--quarantine", "list")
        for path in leftovers():
            losses += 1
            lost.append("left behind after a restore: " + path)
    sys.stdout.write("\rkills: %d (scans %d, restores %d), losses: %d " % (scan_kills + restore_kills, scan_kills, restore_kills, losses))
    sys.stdout.flush()

print()
for line in lost[:20]:
    print("  " + line)
print("kills: %d (during scans %d, during restores %d)" % (scan_kills + restore_kills, scan_kills, restore_kills))
print("losses: %d" % losses)
sys.exit(1 if losses else 0)
PY
