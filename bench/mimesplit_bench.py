#!/usr/bin/env python3
"""mimesplit against Python's email package doing the same work.

Builds once (cached in --dir) a 160 MB message: a short text part, a
100 MiB attachment in base64, a 12 MB quoted-printable part and a 6 MB 8bit
text part. Then runs,
alternately and --runs times each, `mimesplit MESSAGE DIR` and a Python
peer that parses the message with message_from_binary_file(...,
policy=compat32), walks it and writes get_payload(decode=True) of every
leaf to a file. Prints median wall times, the ratio Python/mimesplit
(higher is better) and mimesplit's peak RSS. Not a test: timings depend on
the machine and its load.

    python3 bench/mimesplit_bench.py --mimesplit build/release/examples/mimesplit
"""
import argparse
import base64
import binascii
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20

PEER = r"""
import email, os, sys
from email import policy
with open(sys.argv[1], "rb") as f:
    msg = email.message_from_binary_file(f, policy=policy.compat32)
os.makedirs(sys.argv[2], exist_ok=True)
n = 0
for part in msg.walk():
    if part.is_multipart():
        continue
    n += 1
    with open(os.path.join(sys.argv[2], "part-%03d" % n), "wb") as out:
        out.write(part.get_payload(decode=True) or b"")
"""


def build_message(path):
    boundary = b"=_bench_boundary_7f3a"
    headers = sorted(os.path.join("/usr/include", h) for h in os.listdir("/usr/include")
                     if h.endswith(".h"))
    text = b"".join(open(h, "rb").read() for h in headers if os.path.isfile(h))
    with open(path, "wb") as f:
        f.write(b"From: bench@example.org\nMIME-Version: 1.0\n"
                b"Content-Type: multipart/mixed; boundary=\"" + boundary + b"\"\n\n"
                b"preamble\n--" + boundary + b"\nContent-Type: text/plain\n\nhello\n")
        f.write(b"--" + boundary + b"\nContent-Type: application/octet-stream\n"
                b"Content-Disposition: attachment; filename=\"big.bin\"\n"
                b"Content-Transfer-Encoding: base64\n\n")
        left = 100 * MIB
        while left:
            chunk = os.urandom(min(left, 57 * 4096))  # whole 76-character lines
            left -= len(chunk)
            f.write(base64.encodebytes(chunk))
        f.write(b"--" + boundary + b"\nContent-Type: text/plain; charset=us-ascii\n"
                b"Content-Transfer-Encoding: quoted-printable\n\n")
        qp = binascii.b2a_qp(text)
        written = 0
        while written < 12_000_000:
            f.write(qp)
            written += len(qp)
        # Copied by mimesplit itself: its own line scanning, at 6 MB.
        f.write(b"\n--" + boundary + b"\nContent-Type: text/plain; charset=utf-8\n"
                b"Content-Transfer-Encoding: 8bit\n\n")
        written = 0
        while written < 6_000_000:
            f.write(text)
            written += len(text)
        f.write(b"\n--" + boundary + b"--\n")


def run_once(argv):
    out = tempfile.mkdtemp(prefix="mimesplit-bench-")
    try:
        start = time.perf_counter()
        subprocess.run(argv + [os.path.join(out, "parts")], stdout=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start
    finally:
        shutil.rmtree(out)


def peak_rss_kib(argv):
    out = tempfile.mkdtemp(prefix="mimesplit-bench-")
    try:
        err = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv + [os.path.join(out, "p")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True).stderr
        return int(err.decode().strip().splitlines()[-1])
    finally:
        shutil.rmtree(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mimesplit", default="build/release/examples/mimesplit")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dir", default="/tmp/octafold-bench")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    message = os.path.join(args.dir, "mimesplit-160mb-v2.eml")
    if not os.path.exists(message):
        print("building %s ..." % message, file=sys.stderr)
        build_message(message + ".tmp")
        os.replace(message + ".tmp", message)
    ours_argv = [os.path.abspath(args.mimesplit), message]
    peer_argv = [sys.executable, "-c", PEER, message]
    ours, theirs = [], []
    for _ in range(args.runs):
        ours.append(run_once(ours_argv))
        theirs.append(run_once(peer_argv))
    a, b = statistics.median(ours), statistics.median(theirs)
    rss = peak_rss_kib(ours_argv)
    size = os.path.getsize(message) / 1e6
    print("| mode | mimesplit s | Python email s | Python/mimesplit | target | "
          "mimesplit peak RSS MiB | met |")
    print("|---|---|---|---|---|---|---|")
    met = "yes" if b / a >= 15 and rss / 1024 < 4 else "NO"
    print("| split %.0f MB message (100 MiB base64, 12 MB QP, 6 MB 8bit) | %.3f | %.3f | %.1f "
          "| >= 15 | %.2f | %s |" % (size, a, b, b / a, rss / 1024, met))
    print("runs: mimesplit %s; Python %s" % (" ".join("%.3f" % t for t in ours),
                                              " ".join("%.3f" % t for t in theirs)))


if __name__ == "__main__":
    main()
