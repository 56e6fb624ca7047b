#!/usr/bin/env python3
"""Throughput of octafold against tools people compare it with.

Builds the corpora once (cached in --dir), then runs octafold and the peer
of each mode alternately, --runs times each, output to /dev/null, and prints
median wall times, their ratio (octafold/peer, lower is better) and
octafold's peak RSS. Not a test: timings depend on the machine and its load.

    python3 bench/bench.py --octafold build/release/codec/octafold
"""
import argparse
import glob
import os
import statistics
import subprocess
import sys
import time

MIB = 1 << 20

PERL_QP = ["perl", "-MMIME::QuotedPrint", "-0777", "-ne", "print encode_qp($_)"]
# The interpreter itself, not a launcher script in front of it, so that the
# peer is not charged for the launcher's start-up.
PY_B2A = [sys.executable, "-c",
          "import sys,binascii; sys.stdout.buffer.write(binascii.b2a_qp(sys.stdin.buffer.read()))"]
PY_A2B = [sys.executable, "-c",
          "import sys,binascii; sys.stdout.buffer.write(binascii.a2b_qp(sys.stdin.buffer.read()))"]


def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 4 * MIB)
            f.write(os.urandom(n))
            left -= n


def write_headers(path, size):
    """C headers from /usr/include, concatenated repeatedly up to `size`."""
    headers = sorted(glob.glob("/usr/include/*.h"))
    text = b"".join(open(h, "rb").read() for h in headers)
    with open(path, "wb") as f:
        left = size
        while left:
            piece = text[:left]
            f.write(piece)
            left -= len(piece)


def write_output(path, argv, stdin_path=None):
    with open(path, "wb") as out:
        stdin = open(stdin_path, "rb") if stdin_path else None
        subprocess.run(argv, stdin=stdin, stdout=out, check=True)
        if stdin:
            stdin.close()


def corpora(d, octafold):
    os.makedirs(d, exist_ok=True)
    p = lambda name: os.path.join(d, name)
    steps = [
        ("random256", lambda t: write_random(t, 256 * MIB)),
        ("random256.b64", lambda t: write_output(t, ["base64", "-w", "72", p("random256")])),
        ("text64", lambda t: write_headers(t, 64 * MIB)),
        ("text64.crlf.b64", lambda t: write_output(t, [octafold, "-p", p("text64")])),
        ("random64", lambda t: write_random(t, 64 * MIB)),
        ("text64.qp", lambda t: write_output(t, PERL_QP + [p("text64")])),
    ]
    for name, make in steps:
        if not os.path.exists(p(name)):
            print(f"building {name} ...", file=sys.stderr)
            make(p(name) + ".tmp")
            os.replace(p(name) + ".tmp", p(name))
    return p


def run_once(argv, stdin_path=None):
    """Wall time in seconds of one run."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    start = time.perf_counter()
    status = subprocess.run(argv, stdin=stdin, stdout=subprocess.DEVNULL).returncode
    wall = time.perf_counter() - start
    if stdin_path:
        stdin.close()
    if status != 0:
        sys.exit(f"{argv[0]} failed with status {status}")
    return wall


def peak_rss_kib(argv):
    """Peak RSS of one run, from /usr/bin/time: a child of this script would
    report the script's own RSS, which it inherits at fork."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, check=True).stderr
    return int(out.decode().strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--octafold", default="build/release/codec/octafold")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dir", default="/tmp/octafold-bench")
    ap.add_argument("--only", help="run only the modes whose name contains this text")
    args = ap.parse_args()
    of = os.path.abspath(args.octafold)
    p = corpora(args.dir, of)

    # name, octafold argv, input, peer name, peer argv, peer stdin, target ratio
    modes = [
        ("base64 encode, 256 MiB random", [of, p("random256")], "base64 -w 72",
         ["base64", "-w", "72", p("random256")], None, 0.35),
        ("base64 decode, its base64", [of, "-u", p("random256.b64")], "base64 -d",
         ["base64", "-d", p("random256.b64")], None, 0.25),
        ("base64 -p encode, 64 MiB text", [of, "-p", p("text64")], "base64 -w 72",
         ["base64", "-w", "72", p("text64")], None, 0.5),
        ("base64 -p -u decode, CR LF text", [of, "-p", "-u", p("text64.crlf.b64")], "base64 -d",
         ["base64", "-d", p("text64.crlf.b64")], None, 0.5),
        ("QP encode, 64 MiB text", [of, "-q", p("text64")], "Perl encode_qp",
         PERL_QP + [p("text64")], None, 0.7),
        ("QP encode, 64 MiB random", [of, "-q", p("random64")], "Python b2a_qp",
         PY_B2A, p("random64"), 0.3),
        ("QP decode, Perl's QP of text", [of, "-q", "-u", p("text64.qp")], "Python a2b_qp",
         PY_A2B, p("text64.qp"), 0.7),
    ]
    rows = []
    for name, of_argv, peer_name, peer_argv, peer_stdin, target in modes:
        if args.only and args.only not in name:
            continue
        ours, theirs = [], []
        for _ in range(args.runs):
            ours.append(run_once(of_argv))
            theirs.append(run_once(peer_argv, peer_stdin))
        rss = peak_rss_kib(of_argv)
        a, b = statistics.median(ours), statistics.median(theirs)
        rows.append((name, a, peer_name, b, a / b, target, rss / 1024))
        print(f"done: {name}", file=sys.stderr)

    # Memory must not grow with the input: peak RSS of every mode on a slice
    # of its input, from empty to the whole file.
    print("| mode | " + " | ".join(f"RSS KiB, {n}" for n in ("0 B", "1 KiB", "1 MiB", "all")) + " |")
    print("|---|---|---|---|---|")
    for name, of_argv, *_ in modes:
        if args.only and args.only not in name:
            continue
        path = of_argv[-1]
        cells = []
        for size in (0, 1024, MIB, None):
            if size is None:
                cells.append(peak_rss_kib(of_argv))
                continue
            part = os.path.join(args.dir, "slice")
            with open(path, "rb") as f, open(part, "wb") as g:
                g.write(f.read(size))
            cells.append(peak_rss_kib(of_argv[:-1] + [part]))
        print(f"| {name} | " + " | ".join(str(c) for c in cells) + " |")
    print()

    print("| mode | octafold s | peer | peer s | ratio | target | octafold peak RSS MiB | met |")
    print("|---|---|---|---|---|---|---|---|")
    for name, a, peer, b, ratio, target, rss in rows:
        met = "yes" if ratio <= target and rss <= 4 else "NO"
        print(f"| {name} | {a:.3f} | {peer} | {b:.3f} | {ratio:.3f} | <= {target} | {rss:.2f} | {met} |")


if __name__ == "__main__":
    main()
