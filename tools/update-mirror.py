#!/usr/bin/env python3
"""A local mirror of signature bases for the update tests, signed with a key made for the run.

  update-mirror.py make DIR [--hashes N]
      test key, bases and patches under DIR (see below); each version holds N hash signatures
      (default 600: a base big enough to resume; more, to measure)
  update-mirror.py serve DIR PORTFILE [--cut BYTES]
      serves DIR on 127.0.0.1 (a free port, written to PORTFILE), with byte ranges; --cut ends every
      answer longer than BYTES after that many bytes (a server gone mid-download); under /busy/ every
      answer is 429 "too many requests", retry after an hour. Each request is logged to
      DIR/served.log as "path range bytes-sent".
      Hostile folders, each serving whole/'s files: /endless/ (the body never ends: no length, then
      zeros), /farrange/ (a ranged answer that starts 10 TB in), /huge/ (says the file is 10 TB),
      /slow/ (after the first 512 bytes, one byte every two seconds).

DIR after make: key.txt ("modulus:exponent" in decimal, the test setting), local/daily-N.cvd (the
versions 1-4 as a user would have them), daily-4.ndb (what version 4 holds), and the mirrors
good/ (daily.cvd 4, daily-2..4.cdiff), whole/ (daily.cvd 4, no patches), badsig/ (version 4 and its
patches signed with another key), truncated/ (daily.cvd 4 cut short), unloadable/ (daily.cvd 4, signed,
whose archive is not one), and two that try to roll the bases back: rollback/ (the genuine, signed
version 2 whose header says 999) and replay/ (a header saying 9, and one signed patch that only adds a
line offered as daily-2.cdiff ... daily-9.cdiff).
Each base holds daily.info, its list of itself: the header line, "file:size:sha256" a file, DSIG.
"""
import gzip, hashlib, http.server, io, os, re, socketserver, subprocess, sys, tarfile, threading, time

ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/"

# The signatures of each version of daily.ndb: 1 has A, 2 adds B, 3 adds C and drops A, 4 adds D and
# changes B's name. Each detects a short ASCII text (hex of "tervan-update-test-X").
def sig(name, letter):
    return "%s:0:*:%s" % (name, ("tervan-update-test-" + letter).encode().hex())

VERSIONS = {
    1: [sig("Test.A", "A")],
    2: [sig("Test.A", "A"), sig("Test.B", "B")],
    3: [sig("Test.B", "B"), sig("Test.C", "C")],
    4: [sig("Test.B2", "B"), sig("Test.C", "C"), sig("Test.D", "D")],
}
# Every version also holds hashes of harmless numbers, so that a whole base is worth resuming.
def hashes(count):
    return "".join("%s:%d:Test.Hash.%d\n" % (hashlib.md5(str(i).encode()).hexdigest(), 1000 + i, i) for i in range(count))
HASHES = hashes(600)
PATCHES = {
    2: "OPEN daily.ndb\nADD %s\nCLOSE\n" % sig("Test.B", "B"),
    3: "OPEN daily.ndb\nDEL 1 Test.A:0:\nADD %s\nCLOSE\n" % sig("Test.C", "C"),
    4: "OPEN daily.ndb\nXCHG 1 Test.B: %s\nADD %s\nCLOSE\n" % (sig("Test.B2", "B"), sig("Test.D", "D")),
}


def encode(number):
    text = ""
    while number:
        text += ALPHABET[number & 63]
        number >>= 6
    return text


def make_key(path):
    subprocess.run(["openssl", "genrsa", "-out", path, "2048"], check=True, capture_output=True)
    text = subprocess.run(["openssl", "rsa", "-in", path, "-text", "-noout"], check=True, capture_output=True, text=True).stdout
    def field(name):
        m = re.search(name + r":\s*\n((?:\s+[0-9a-f:]+\n)+)", text)
        return int(re.sub(r"[\s:]", "", m.group(1)), 16)
    n, d = field("modulus"), field("privateExponent")
    e = int(re.search(r"publicExponent: (\d+)", text).group(1))
    return n, e, d


def ndb(version):
    return "".join(line + "\n" for line in VERSIONS[version])


def signature_count(version):
    return len(VERSIONS[version]) + HASHES.count("\n")


def info_lines(version):
    lines = ["ClamAV-VDB:08 Dec 2026 12-00 +0000:%d:%d:90:X:X:tervan-test:1765195200" % (version, signature_count(version))]
    for name, content in (("daily.ndb", ndb(version)), ("daily.hdb", HASHES)):
        lines.append("%s:%d:%s" % (name, len(content), hashlib.sha256(content.encode()).hexdigest()))
    return lines


def info_text(version):
    return "".join(line + "\n" for line in info_lines(version)) + "DSIG:" + encode(version * 1000003) + "\n"


def patch_script(version):
    """The edit from version-1 to version: the signatures, and the list's header and daily.ndb line."""
    old, new = info_lines(version - 1), info_lines(version)
    return PATCHES[version] + "OPEN daily.info\nXCHG 1 %s %s\nXCHG 2 %s %s\nCLOSE\n" % (
        old[0].split(" ")[0], new[0], old[1], new[1])


def cvd(version, key, cut=None, damaged=False, claimed=None):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, content in (("daily.ndb", ndb(version)), ("daily.hdb", HASHES), ("daily.info", info_text(version))):
            info = tarfile.TarInfo(name)
            info.size, info.mtime = len(content), 1765000000
            tar.addfile(info, io.BytesIO(content.encode()))
    body = gzip.compress(b"not a tar archive" * 64 if damaged else data.getvalue(), mtime=0)
    n, e, d = key
    md5 = hashlib.md5(body).digest()
    header = "ClamAV-VDB:08 Dec 2026 12-00 +0000:%d:%d:90:%s:%s:tervan-test:1765195200" % (
        claimed or version, signature_count(version), md5.hex(), encode(pow(int.from_bytes(md5, "big"), d, n)))
    whole = header.encode().ljust(512, b" ") + body
    return whole[:cut] if cut else whole


def cdiff(version, key_path, script=None):
    body = gzip.compress((script or patch_script(version)).encode(), mtime=0)
    signed = subprocess.run(["openssl", "dgst", "-sha256", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:32",
                             "-sign", key_path], input=body, check=True, capture_output=True).stdout
    return body + b":" + encode(int.from_bytes(signed, "big")).encode()


def make(folder):
    os.makedirs(folder, exist_ok=True)
    key_path, other_path = os.path.join(folder, "key.pem"), os.path.join(folder, "other.pem")
    key, other = make_key(key_path), make_key(other_path)
    with open(os.path.join(folder, "key.txt"), "w") as f:
        f.write("%d:%d" % (key[0], key[1]))
    def put(sub, name, data):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
        with open(os.path.join(folder, sub, name), "wb") as f:
            f.write(data)
    for version in VERSIONS:
        put("local", "daily-%d.cvd" % version, cvd(version, key))
    put(".", "daily-4.ndb", "".join(line + "\n" for line in VERSIONS[4]).encode())
    put("good", "daily.cvd", cvd(4, key))
    put("whole", "daily.cvd", cvd(4, key))
    put("badsig", "daily.cvd", cvd(4, other))
    put("truncated", "daily.cvd", cvd(4, key, cut=6000))
    put("unloadable", "daily.cvd", cvd(4, key, damaged=True))
    for version in PATCHES:
        put("good", "daily-%d.cdiff" % version, cdiff(version, key_path))
        put("badsig", "daily-%d.cdiff" % version, cdiff(version, other_path))
    # An old genuine base under a newer header: the signature holds, the version does not.
    put("rollback", "daily.cvd", cvd(2, key, claimed=999))
    put("replay", "daily.cvd", cvd(4, key, claimed=9))
    add_only = cdiff(2, key_path, script=PATCHES[2])
    for version in range(2, 10):
        put("replay", "daily-%d.cdiff" % version, add_only)


def serve(folder, port_file, cut):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.startswith("/busy/"):  # a mirror that asks to be left alone for an hour
                self.send_response(429)
                self.send_header("Retry-After", "3600")
                self.send_header("Content-Length", "0")
                self.end_headers()
                with log_lock, open(os.path.join(folder, "served.log"), "a") as log:
                    log.write("%s 429 0\n" % self.path)
                return
            hostile = self.path.split("/")[1] if self.path.count("/") >= 2 else ""
            if hostile in ("endless", "farrange", "huge", "slow"):
                return self.hostile(hostile)
            path = os.path.normpath(os.path.join(folder, self.path.lstrip("/")))
            if not path.startswith(os.path.abspath(folder)) or not os.path.isfile(path):
                self.send_error(404)
                return
            with open(path, "rb") as f:
                data = f.read()
            first, last = 0, len(data) - 1
            m = re.match(r"bytes=(\d+)-(\d*)$", self.headers.get("Range", ""))
            if m:
                first = int(m.group(1))
                last = min(int(m.group(2)), len(data) - 1) if m.group(2) else len(data) - 1
                if first >= len(data):
                    self.send_error(416)
                    return
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))
            else:
                self.send_response(200)
            body = data[first:last + 1]
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            sent = body[:cut] if cut and len(body) > cut else body
            self.wfile.write(sent)
            with log_lock, open(os.path.join(folder, "served.log"), "a") as log:
                log.write("%s %d-%d %d\n" % (self.path, first, last, len(sent)))
            if len(sent) < len(body):
                self.close_connection = True

        def hostile(self, kind):
            name = self.path.split("/")[-1]
            path = os.path.join(folder, "whole", name)
            if not os.path.isfile(path):
                self.send_error(404)
                return
            data = open(path, "rb").read()
            m = re.match(r"bytes=(\d+)-(\d*)$", self.headers.get("Range", ""))
            first = int(m.group(1)) if m else 0
            last = int(m.group(2)) if m and m.group(2) else len(data) - 1
            with log_lock, open(os.path.join(folder, "served.log"), "a") as log:
                log.write("%s %d-%d %s\n" % (self.path, first, last, kind))
            try:
                if kind == "huge" or (kind == "farrange" and first > 0):
                    start = 10 << 40 if kind == "farrange" else first
                    total = (10 << 40) + len(data) if kind == "farrange" else 10 << 40
                    piece = data[first:last + 1] if kind == "huge" else data[:4096]
                    self.send_response(206)
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (start, start + len(piece) - 1, total))
                    self.send_header("Content-Length", str(len(piece)))
                    self.end_headers()
                    self.wfile.write(piece)
                elif m and last < 512:  # the header, asked for first: as it is
                    self.send_response(206)
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))
                    self.send_header("Content-Length", str(last - first + 1))
                    self.end_headers()
                    self.wfile.write(data[first:last + 1])
                elif kind == "endless":
                    self.send_response(200)
                    self.send_header("Connection", "close")
                    self.end_headers()
                    self.wfile.write(data)
                    zeros = bytes(1 << 20)
                    while True:
                        self.wfile.write(zeros)
                elif kind == "slow":
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data[:512])
                    for i in range(512, len(data)):
                        self.wfile.write(data[i:i + 1])
                        self.wfile.flush()
                        time.sleep(2)
                else:
                    self.send_error(404)
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), Handler)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "make":
        if len(sys.argv) >= 5 and sys.argv[3] == "--hashes":
            HASHES = hashes(int(sys.argv[4]))
        make(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "serve":
        cut = int(sys.argv[5]) if len(sys.argv) >= 6 and sys.argv[4] == "--cut" else None
        serve(os.path.abspath(sys.argv[2]), sys.argv[3], cut)
    else:
        sys.exit(__doc__)
