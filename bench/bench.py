#!/usr/bin/env python3
"""Throughput of octafold against tools people compare it with.

Builds the corpora once (cached in --dir), then runs octafold and the peer
of each mode alternately, --runs times each, output to /dev/null, and prints
median wall times, their ratio (octafold/peer, lower is better) and
octafold's peak RSS. Not a test: timings depend on the machine and its load.

    python3 bench/bench.py --octafold build/release/codec/octafold

With the driver bench/boundary_bench built (OCTAFOLD_BUILD_BENCH=ON) it first
prints the boundary-path rows: each decoder with a boundary list against the
same decoder without one, on a regular file and through a pipe.
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


def write_part(path, encoded_source, size):
    """A multipart body part: the first `size` bytes of `encoded_source` up to
    a line end, then the closing boundary line "--b--"."""
    with open(encoded_source, "rb") as f:
        data = f.read(size)
    data = data[:data.rindex(b"\n") + 1]
    with open(path, "wb") as f:
        f.write(data + b"--b--\n")


def run_part(argv, path, pipe, buffer=None):
    """Wall time of one boundary_bench run on `path`, read from the file itself
    or through a pipe that cat fills; `buffer` sets the input stream's buffer
    size."""
    env = dict(os.environ)
    env.pop("OCTAFOLD_BENCH_BUFFER", None)
    if buffer:
        env["OCTAFOLD_BENCH_BUFFER"] = str(buffer)
    start = time.perf_counter()
    if pipe:
        feeder = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
        status = subprocess.run(argv, stdin=feeder.stdout, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env).returncode
        feeder.stdout.close()
        feeder.wait()
    else:
        status = subprocess.run(argv + [path], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env).returncode
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{' '.join(argv)} failed with status {status}")
    return wall


def boundary_rows(args, p):
    """The decoders with a boundary list against the same decoders without
    one, on a 96 MiB part that ends in a closing boundary line."""
    drv = os.path.abspath(args.boundary_bench)
    parts = [
        ("random73", lambda t: write_random(t, 73 * MIB)),
        ("random73.b64", lambda t: write_output(t, ["base64", "-w", "72", p("random73")])),
        ("part96.b64", lambda t: write_part(t, p("random73.b64"), 96 * MIB)),
        ("text96", lambda t: write_headers(t, 100 * MIB)),
        ("text96.qp", lambda t: write_output(t, [os.path.abspath(args.octafold), "-q",
                                                 p("text96")])),
        ("part96.qp", lambda t: write_part(t, p("text96.qp"), 96 * MIB)),
    ]
    for name, make in parts:
        if not os.path.exists(p(name)):
            print(f"building {name} ...", file=sys.stderr)
            make(p(name) + ".tmp")
            os.replace(p(name) + ".tmp", p(name))
    rows = []
    for label, mode, part in (("base64", "base64", "part96.b64"), ("QP", "qp", "part96.qp")):
        # A pipe cannot seek back, so with a list it is read through the
        # stream's own buffer (4 KiB by default): the last row gives it 64 KiB.
        for kind, pipe, buffer in (("file", False, None), ("pipe", True, None),
                                   ("pipe, 64 KiB stream buffer", True, 64 * 1024)):
            with_list, without = [], []
            for _ in range(args.runs):
                with_list.append(run_part([drv, mode, "list"], p(part), pipe, buffer))
                without.append(run_part([drv, mode, "nolist"], p(part), pipe, buffer))
            a, b = statistics.median(with_list), statistics.median(without)
            rows.append((label, kind, a, b, a / b))
            print(f"done: boundary path, {label}, {kind}", file=sys.stderr)
    print("| 96 MiB part | stream | with list s | without list s | ratio | target | met |")
    print("|---|---|---|---|---|---|---|")
    for label, kind, a, b, ratio in rows:
        met = "yes" if ratio <= 1.5 else "NO"
        print(f"| {label} | {kind} | {a:.3f} | {b:.3f} | {ratio:.3f} | <= 1.5 | {met} |")
    print()


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
    ap.add_argument("--boundary-bench", default="build/release/bench/boundary_bench",
                    help="driver for the boundary-path rows (OCTAFOLD_BUILD_BENCH=ON)")
    ap.add_argument("--boundary-only", action="store_true",
                    help="run only the boundary-path rows")
    args = ap.parse_args()
    of = os.path.abspath(args.octafold)
    os.makedirs(args.dir, exist_ok=True)
    p = lambda name: os.path.join(args.dir, name)
    if os.path.exists(args.boundary_bench):
        boundary_rows(args, p)
    else:
        print(f"no {args.boundary_bench}: boundary-path rows skipped "
              "(configure with -DOCTAFOLD_BUILD_BENCH=ON)", file=sys.stderr)
    if args.boundary_only:
        return
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
