#!/usr/bin/env python3
"""Writes a few quarantine containers for pictures of the "Restore point" browser:
demo-quarantine.py DRIVE_FOLDER (the Unix folder behind a sandbox drive, e.g. build/shot-sandbox/drive_d)."""
import os
import struct
import sys
import time
import uuid

ENTRIES = [  # (original path, threat, days ago, hour, origin code)
    (r"D:\Users\Public\Downloads\setup.exe", "Trojan.Agent.Test", 1, 9, 100),
    (r"D:\Users\Public\Downloads\invoice.doc", "Macro.Downloader.Test", 1, 14, 100),
    (r"D:\Tools\archiver.dll", "Worm.Mailer.Test", 4, 11, 100),
    (r"D:\Games\patch.exe", "Backdoor.Remote.Test", 4, 16, 100),
    (r"D:\Shared\report.pdf", "Exploit.Pdf.Test", 6, 10, 7),
]


def text(value, units):
    data = value.encode("utf-16-le")[: (units - 1) * 2]
    return data + b"\0" * (units * 2 - len(data))


def container(path, threat, when, origin):
    body = b"MZ demo content of " + path.encode()
    header = b"TAVQUAR" + bytes([1]) + text(threat, 64) + struct.pack("<qi", when, origin)
    filetime = (when + 11644473600) * 10000000
    record = b"QUAROBJ" + bytes([0x05]) + struct.pack("<IQ", 1, len(body)) + text("?" + path[1:], 2048)
    record += struct.pack("<IQQQ", 0x20, filetime, filetime, filetime)
    return header + record + bytes(b ^ 0xB7 for b in body)


def main():
    folder = os.path.join(sys.argv[1], "TER.QUAR")
    os.makedirs(folder, exist_ok=True)
    today = int(time.time()) // 86400 * 86400
    for path, threat, days, hour, origin in ENTRIES:
        when = today - days * 86400 + hour * 3600
        with open(os.path.join(folder, str(uuid.uuid4()) + ".tqr"), "wb") as f:
            f.write(container(path, threat, when, origin))


if __name__ == "__main__":
    main()
