#!/usr/bin/env bash
# Kills base updates at random moments (while fetching, patching, trying or renaming the new bases in)
# and checks after each kill that the bases folder holds one complete set: the newest daily base there
# is whole (its digest, or for a patched one its content) and holds exactly its version's signatures;
# then the next update must finish the job. Prints kills and broken sets (must be 0). Not in the suite.
#   bench/update-kills.sh [KILLS]      (default 100)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
kills=${1:-100}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan refengine >/dev/null

sandbox="$build/update-soak-sandbox" work="$build/update-soak"
rm -rf "$work" && mkdir -p "$work"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap 'UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" stop "$build" "$sandbox"; "$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" start "$build" "$sandbox"
ln -s served/mirror "$work/mirror"
ln -s served/port "$work/port"

python3 - "$root" "$build" "$sandbox" "$work" "$kills" "$(cat "$work/port")" <<'PY'
import gzip, hashlib, io, os, random, shutil, subprocess, sys, tarfile, time

root, build, sandbox, work, kills, port = sys.argv[1:7]
kills = int(kills)
sys.path.insert(0, os.path.join(root, "tools"))
mirror_tool = __import__("update-mirror")
wine_run = os.path.join(root, "tools", "wine-run.sh")
tervscan = os.path.join(build, "bin", "tervscan.exe")
bases = os.path.join(work, "bases")
random.seed(int(os.environ.get("SOAK_SEED", "1")))

def prepare(which):
    shutil.rmtree(bases, ignore_errors=True)
    os.makedirs(bases)
    shutil.copy(os.path.join(build, "bin", "Bases", "ScanMain.DLL"), bases)
    shutil.copy(os.path.join(work, "mirror", "local", "daily-1.cvd"), os.path.join(bases, "daily.cvd"))
    with open(os.path.join(bases, "refengine.ini"), "w") as f:
        f.write("[update]\r\nmirror=http://127.0.0.1:%s/%s/\r\nbases=daily\r\n" % (port, which))

def update(kill_after=None):
    process = subprocess.Popen([wine_run, sandbox, tervscan, "--update", "--engine", "B:\\update-soak\\bases"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if kill_after is None:
        return process.communicate()[0].decode("utf-8", "replace"), False
    time.sleep(kill_after)
    killed = process.poll() is None
    process.kill()
    process.wait()
    return "", killed

def broken():
    """Why the folder's newest daily base is not a complete set of its version; None when it is."""
    found = []
    for name in ("daily.cvd", "daily.cld"):
        path = os.path.join(bases, name)
        if os.path.exists(path):
            data = open(path, "rb").read()
            fields = data[:512].decode("ascii", "replace").split(":")
            if len(fields) < 8 or fields[0] != "ClamAV-VDB":
                return "%s has no header" % name
            found.append((int(fields[2]), name, data, fields))
    if not found:
        return "no daily base at all"
    version, name, data, fields = max(found)
    body = data[512:]
    if hashlib.md5(body).hexdigest() != fields[5].lower():
        return "%s: digest does not match" % name
    try:
        with tarfile.open(fileobj=io.BytesIO(gzip.decompress(body) if body[:2] == b"\x1f\x8b" else body)) as tar:
            ndb = tar.extractfile("daily.ndb").read().decode()
    except Exception as error:
        return "%s: unreadable (%s)" % (name, error)
    if ndb != "".join(line + "\n" for line in mirror_tool.VERSIONS[version]):
        return "%s: not the signatures of version %d" % (name, version)
    return None

# How long an update takes here, to kill within it.
prepare("good")
start = time.time()
update()
longest = (time.time() - start) * 1.1

done, broken_sets, failures = 0, 0, []
while done < kills:
    which = random.choice(["good", "whole"])
    prepare(which)
    _, killed = update(random.uniform(0.0, longest))
    done += killed
    why = broken()
    if why:
        broken_sets += 1
        failures.append("after a kill (%s): %s" % (which, why))
    output, _ = update()
    why = broken()
    if why or ("daily: updated to version 4" not in output and "daily: current (version 4)" not in output):
        broken_sets += 1
        failures.append("the next update (%s): %s" % (which, why or " / ".join(output.strip().splitlines())))
print("kills: %d (runs killed while running), broken sets: %d" % (done, broken_sets))
for line in failures[:20]:
    print("  " + line)
sys.exit(1 if broken_sets else 0)
PY
