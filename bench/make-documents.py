#!/usr/bin/env python3
# A tree of mail, web pages and office documents of the sizes people keep, each one different (a cache
# of clean files helps neither scanner): mail with text, a page as its HTML part and a base64
# attachment; pages with scripts and character references; Word documents both as Office Open XML
# (a ZIP of XML) and as compound files, a third of those with a VBA macro module. Deterministic.
#   make-documents.py FOLDER COUNT
import base64, os, random, struct, subprocess, sys, zipfile

folder, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(1729)
words = ("the invoice order shipment account report meeting schedule review budget customer contract "
         "payment delivery project update request service quality office market team plan").split()


def text(n):
    out, size = [], 0
    while size < n:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(6, 14))).capitalize() + "."
        out.append(line)
        size += len(line) + 1
    return "\n".join(out)


def page(n):
    parts = ["<!DOCTYPE html>\n<html><head><title>%s</title>" % rng.choice(words),
             "<script>var total = %d; function show(x) { document.getElementById('t').innerHTML = x + '&amp;'; }</script>"
             % rng.randint(1, 10 ** 6), "</head><body>"]
    size = 0
    while size < n:
        para = "<p class=\"%s\">%s &mdash; &#169; <a href=\"https://example.com/%s\">%s</a></p>\n" % (
            rng.choice(words), text(rng.randint(200, 800)), rng.choice(words), rng.choice(words))
        parts.append(para)
        size += len(para)
    parts.append("</body></html>\n")
    return "".join(parts)


def mail(n):
    boundary = "=_%016x" % rng.getrandbits(64)
    attachment = base64.encodebytes(rng.randbytes(rng.randint(1000, max(n, 2000)))).decode()
    return ("From: %s@example.com\nTo: %s@example.org\nSubject: %s %s\nDate: Mon, 7 Dec 2026 10:%02d:00 +0000\n"
            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n--%s\n"
            "Content-Type: text/plain; charset=utf-8\n\n%s\n--%s\nContent-Type: text/html; charset=utf-8\n"
            "Content-Transfer-Encoding: quoted-printable\n\n%s\n--%s\nContent-Type: application/octet-stream; "
            "name=\"data.bin\"\nContent-Transfer-Encoding: base64\n\n%s--%s--\n") % (
        rng.choice(words), rng.choice(words), rng.choice(words), rng.choice(words), rng.randint(0, 59), boundary,
        boundary, text(rng.randint(500, 4000)), boundary, page(rng.randint(1000, 6000)).replace("=", "=3D"),
        boundary, attachment, boundary)


def docx(path, n):
    body = "".join("<w:p><w:r><w:t>%s</w:t></w:r></w:p>" % line for line in text(n).split("\n"))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/"
                   "package/2006/content-types\"><Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>")
        z.writestr("_rels/.rels", "<?xml version=\"1.0\"?><Relationships/>")
        z.writestr("word/document.xml", "<?xml version=\"1.0\"?><w:document><w:body>%s</w:body></w:document>" % body)


def vba_module(source):
    # The VBA compressed container, literal tokens only (flag byte 0, eight bytes), which fits in one
    # chunk for sources of up to 3,600 bytes.
    assert len(source) <= 3600
    out = bytearray(b"\x01")
    for start in range(0, len(source), 4096):
        chunk, body = source[start:start + 4096], bytearray()
        for at in range(0, len(chunk), 8):
            body += b"\x00" + chunk[at:at + 8]
        out += struct.pack("<H", (len(body) - 1) | 0xB000) + body
    return bytes(range(1, 120)) + bytes(out)


def doc(path, n, work):
    streams = [("WordDocument", text(n).encode())]
    if rng.random() < 1 / 3:
        lines = "\r\n".join("    x = x & \"%s\"" % rng.choice(words) for _ in range(rng.randint(20, 100)))
        streams.append(("Module1", vba_module(('Attribute VB_Name = "Module1"\r\nSub Report()\r\n%s\r\nEnd Sub\r\n'
                                                % lines).encode())))
    args = ["msibuild", path]
    for name, data in streams:
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
        args += ["-a", name, os.path.join(work, name)]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


work = os.path.join(folder, ".work")
os.makedirs(work, exist_ok=True)
for i in range(count):
    sub = os.path.join(folder, "%02d" % (i % 50))
    os.makedirs(sub, exist_ok=True)
    kind = i % 6
    n = int(rng.lognormvariate(9, 1)) + 500  # a few KB typically, a few hundred KB at times
    if kind in (0, 1):
        open(os.path.join(sub, "m%05d.eml" % i), "w").write(mail(min(n, 200000)))
    elif kind in (2, 3):
        open(os.path.join(sub, "p%05d.html" % i), "w").write(page(n))
    elif kind == 4:
        docx(os.path.join(sub, "d%05d.docx" % i), n)
    else:
        doc(os.path.join(sub, "d%05d.doc" % i), n, work)
for name in os.listdir(work):
    os.remove(os.path.join(work, name))
os.rmdir(work)
