#!/usr/bin/env python3
"""Throughput of octafold against tools people compare it with and against
the floor, `cat` of the same input.

Builds the corpora once (cached in --dir; the random and word corpora come
from fixed seeds), then runs octafold, the peer of each mode and `cat`
alternately, --runs times each, output to /dev/null, and prints median wall
times, the ratios octafold/floor and octafold/peer (lower is better) and
octafold's peak RSS on prefixes of the input and on all of it. Not a test:
timings depend on the machine and its load.

    python3 bench/bench.py --octafold build/release/codec/octafold

With the driver bench/boundary_bench built (OCTAFOLD_BUILD_BENCH=ON) it first
prints the boundary-path rows: each decoder with a boundary list against the
same decoder without one, on a regular file and through a pipe.
"""
import argparse
import glob
import os
import random
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


def write_random(path, size, seed=12):
    """Random bytes from a fixed seed, so that every run sees the same input."""
    rng = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 4 * MIB)
            f.write(rng.randbytes(n))
            left -= n


# Words for the mail-like corpora. European: English, French, German and
# Spanish words, about 15 % of them with accented letters. The other mixes
# Russian, Ukrainian and Greek words with a few ASCII words and numbers.
PLAIN_WORDS = ("the of and to in is that for it as with was on be by this are or from at "
               "which an but not have has had were all their there can more one also will "
               "les des une est dans pour que qui sur pas plus avec der die und das ist mit "
               "den von auf nicht sich los las por con para una como message reply meeting "
               "report attached please thanks regards tomorrow office project budget").split()
ACCENTED_WORDS = ("été déjà où très après français première réunion générale année "
                  "über für größer Straße können Müller schön während Grüße "
                  "año señor está también información más qué García mañana "
                  "garçon façade naïve crème fenêtre Zürich São").split()
CYRILLIC_GREEK_WORDS = ("и в не на что с по это как к из у за от о же для все так его "
                        "сообщение встреча завтра отчёт проект бюджет спасибо здравствуйте "
                        "привіт дякую будь ласка що це з та на від "
                        "και το να της του με που για στο από είναι θα στην οι "
                        "ευχαριστώ συνάντηση αύριο έργο προϋπολογισμός καλημέρα μήνυμα").split()
OTHER_WORDS = "OK 2024 10:30 PDF e-mail ID 42 (1) - ,".split()


def write_words(path, size, pick, seed):
    """Lines of up to about 70 characters of words from pick(rng), with an
    empty line between paragraphs, cut to exactly `size` bytes."""
    rng = random.Random(seed)
    lines = []
    for _ in range(20000):
        words, width = [], 0
        limit = rng.randint(40, 70)
        while width < limit:
            w = pick(rng)
            words.append(w)
            width += len(w) + 1
        lines.append(" ".join(words) + ("\n\n" if rng.random() < 0.1 else "\n"))
    pool = [l.encode() for l in lines]
    with open(path, "wb") as f:
        left = size
        while left:
            piece = b"".join(rng.choices(pool, k=4096))[:left]
            f.write(piece)
            left -= len(piece)


def european_word(rng):
    return rng.choice(ACCENTED_WORDS) if rng.random() < 0.15 else rng.choice(PLAIN_WORDS)


def cyrillic_greek_word(rng):
    return rng.choice(OTHER_WORDS) if rng.random() < 0.05 else rng.choice(CYRILLIC_GREEK_WORDS)


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
        ("random256", lambda t: write_random(t, 256 * MIB, seed=1)),
        ("random256.b64", lambda t: write_output(t, ["base64", "-w", "72", p("random256")])),
        ("text64", lambda t: write_headers(t, 64 * MIB)),
        ("text64.crlf.b64", lambda t: write_output(t, [octafold, "-p", p("text64")])),
        ("random64", lambda t: write_random(t, 64 * MIB, seed=2)),
        ("text64.qp", lambda t: write_output(t, PERL_QP + [p("text64")])),
        ("euro64", lambda t: write_words(t, 64 * MIB, european_word, seed=3)),
        ("euro64.crlf.b64", lambda t: write_output(t, [octafold, "-p", p("euro64")])),
        ("euro64.qp", lambda t: write_output(t, [octafold, "-q", p("euro64")])),
        ("cyrgr64", lambda t: write_words(t, 64 * MIB, cyrillic_greek_word, seed=4)),
        ("cyrgr64.qp", lambda t: write_output(t, [octafold, "-q", p("cyrgr64")])),
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


def warm(path):
    """Reads `path` once, untimed: this machine's memory manager may have
    dropped it from the page cache since the last row, and a row whose first
    runs read the disk measures the disk."""
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)


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
            warm(p(part))
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

    b64 = ("base64 -w 72", lambda f: (["base64", "-w", "72", p(f)], None))
    b64d = ("base64 -d", lambda f: (["base64", "-d", p(f)], None))
    perl = ("Perl encode_qp", lambda f: (PERL_QP + [p(f)], None))
    b2a = ("Python b2a_qp", lambda f: (PY_B2A, p(f)))
    a2b = ("Python a2b_qp", lambda f: (PY_A2B, p(f)))
    # name, octafold options, input, peer, target against the peer, target
    # against the floor (None: no target)
    modes = [
        ("base64 encode, 256 MiB random", [], "random256", b64, 0.35, 1.5),
        ("base64 decode, its base64", ["-u"], "random256.b64", b64d, 0.25, 1.6),
        ("base64 -p encode, 64 MiB text", ["-p"], "text64", b64, 0.5, None),
        ("base64 -p -u decode, CR LF text", ["-p", "-u"], "text64.crlf.b64", b64d, 0.5, None),
        ("base64 -p encode, 64 MiB European text", ["-p"], "euro64", b64, None, 2.0),
        ("base64 -p -u decode, its base64", ["-p", "-u"], "euro64.crlf.b64", b64d, None, 2.0),
        ("QP encode, 64 MiB text", ["-q"], "text64", perl, 0.7, None),
        ("QP encode, 64 MiB European text", ["-q"], "euro64", perl, None, 4),
        ("QP encode, 64 MiB Cyrillic and Greek", ["-q"], "cyrgr64", perl, None, 8),
        ("QP encode, 64 MiB random", ["-q"], "random64", b2a, 0.3, 10),
        ("QP decode, Perl's QP of text", ["-q", "-u"], "text64.qp", a2b, 0.7, None),
        ("QP decode, QP of European text", ["-q", "-u"], "euro64.qp", a2b, None, 3),
        ("QP decode, QP of Cyrillic and Greek", ["-q", "-u"], "cyrgr64.qp", a2b, None, 4),
    ]
    rows = []
    for name, opts, corpus, (peer_name, peer_of), peer_target, floor_target in modes:
        if args.only and args.only not in name:
            continue
        of_argv = [of] + opts + [p(corpus)]
        peer_argv, peer_stdin = peer_of(corpus)
        # The floor: reading the same input from the page cache, nothing else.
        floor_argv = ["cat", p(corpus)]
        ours, theirs, floor = [], [], []
        warm(p(corpus))
        for _ in range(args.runs):
            ours.append(run_once(of_argv))
            theirs.append(run_once(peer_argv, peer_stdin))
            floor.append(run_once(floor_argv))
        rss = [peak_rss_kib(of_argv[:-1] + [part]) for part in slices(args.dir, p(corpus))]
        rss.append(peak_rss_kib(of_argv))
        a, b, c = (statistics.median(x) for x in (ours, theirs, floor))
        rows.append((name, a, c, floor_target, peer_name, b, peer_target, rss))
        print(f"done: {name}", file=sys.stderr)

    print("| mode | octafold s | floor s | / floor | target | peer | peer s | / peer | target "
          "| peak RSS KiB (0 B, 1 KiB, 1 MiB, all) | met |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, a, c, ft, peer, b, pt, rss in rows:
        met = (ft is None or a / c <= ft) and (pt is None or a / b <= pt) and max(rss) < 4096
        fmt = lambda t: "-" if t is None else f"<= {t}"
        print(f"| {name} | {a:.3f} | {c:.3f} | {a / c:.2f} | {fmt(ft)} | {peer} | {b:.3f} "
              f"| {a / b:.3f} | {fmt(pt)} | {', '.join(map(str, rss))} | {'yes' if met else 'NO'} |")


def slices(d, path):
    """Prefixes of the input, from empty to 1 MiB: memory must not grow with
    the input, so peak RSS is measured on each and on the whole file."""
    for size in (0, 1024, MIB):
        part = os.path.join(d, f"slice{size}")
        with open(path, "rb") as f, open(part, "wb") as g:
            g.write(f.read(size))
        yield part


if __name__ == "__main__":
    main()
