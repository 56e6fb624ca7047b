#!/usr/bin/env python3
"""mimesplit against Python's email package, part by part.

Usage: mimesplit_python.py MIMESPLIT [--corpus DIR] [-v]

Runs `mimesplit -n` over the messages of Python's own test_email corpus (as
they are and in CR LF) and over messages built here with the email package (nested multiparts,
forwarded messages, CR LF line ends, binary attachments, RFC 2231 and
RFC 2047 names, digests, header blocks without the empty line), and
compares every leaf part with message_from_bytes(..., policy=compat32),
walk() and get_payload(decode=True): content type, transfer encoding,
decoded bytes, and the file name where Python's is one mimesplit keeps as
it is. Every allowed difference is a rule in RULES with its reason; any
other difference fails.

Exit status 0 when everything matches or differs only as allowed, 1 on any
other difference, 77 (skipped) when the corpus is not installed.
"""
import argparse
import email
import email.charset
import email.errors
import email.header
import email.policy
import os
import random
import re
import subprocess
import sys
import tempfile
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.image import MIMEImage
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

SKIP = 77
COMPAT32 = email.policy.compat32
ANY = object()  # decoded bytes that are not compared

RULES = {
    # Differences in how the message is taken apart.
    "delivery-status": "Python makes each header block of a message/delivery-status "
                       "(RFC 3464) a part; mimesplit writes its body as one part",
    "other-message": "Python parses the body of every message/* type as a message; "
                     "mimesplit descends only into message/rfc822 and message/global "
                     "(message/partial holds a fragment, message/external-body a reference, "
                     "RFC 2046 sections 5.2.2 and 5.2.3) and writes the others as one part",
    "encoded-message": "RFC 2046 section 5.2.1 allows only 7bit, 8bit and binary for "
                       "message/rfc822; Python parses an encoded one as it stands, "
                       "mimesplit decodes it and writes it as one part",
    "defective-multipart": "a multipart without a boundary parameter, without a boundary "
                           "line or without its closing line: Python keeps what it can and "
                           "notes a defect, mimesplit refuses the message with status 1 after "
                           "writing the parts before it (an empty multipart, closed before "
                           "any part, it lists as nothing)",
    "prefix-boundary": "an inner boundary that begins with an enclosing one (RFC 2046 "
                       "section 5.1.1 forbids it): the codec's boundary test is a prefix "
                       "match (its documented rule), Python's needs the whole line, so "
                       "they part the message differently",
    # Differences in the bytes of one part.
    "base64-legacy": "the codec's documented base64 rules: a byte outside the alphabet "
                     "counts as 0xFF, the first '=' ends the data, a group cut short is "
                     "dropped; Python skips such bytes and pads short groups",
    "qp-legacy": "the codec's documented quoted-printable rule: a malformed escape "
                 "('=' not followed by two hex digits or a line end) still yields a byte; "
                 "Python keeps it as text",
    "boundary-trailing-text": "Python takes everything after 'boundary=' up to the next ';' "
                              "as the value, so text after the quoted string spoils it and "
                              "no boundary line is found; in RFC 2045 the value ends with "
                              "the quoted string",
    "uuencode": "Python decodes x-uuencode; the library has no uuencode decoder, so "
                "mimesplit copies the part as it is",
    "lone-cr": "Python also ends lines at a CR alone; RFC 2045 and the codec know only "
               "LF and CR LF",
    "type-trailing-text": "Python takes everything up to the first ';' as the type, "
                          "comments, blanks and folded text included; in RFC 2045 "
                          "section 5.1 the subtype ends with its token",
    "misplaced-envelope": "a 'From ' line last in a header block: Python moves it into the "
                          "body, mimesplit passes over it like any other envelope line in "
                          "a header block",
    "encoding-comment": "Python decodes only when Content-Transfer-Encoding is exactly the "
                        "name; mimesplit reads the token (RFC 2045 section 6.1 allows "
                        "comments and blanks around it)",
}

B64_ALPHABET = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")


class Leaf:
    def __init__(self, ctype, encoding, data, name=None, raw=None):
        self.ctype, self.encoding, self.data, self.name, self.raw = ctype, encoding, data, name, raw

    def __repr__(self):
        data = "ANY" if self.data is ANY else self.data[:40]
        size = "" if self.data is ANY else " (%d bytes)" % len(self.data)
        return "%s %s %r%s name=%r" % (self.ctype, self.encoding, data, size, self.name)


def raw_payload(part):
    payload = part.get_payload()
    if isinstance(payload, str):
        try:
            return payload.encode("ascii", "surrogateescape")
        except UnicodeError:  # Python decoded the text itself
            return payload.encode("utf-8", "surrogateescape")
    return b""


def python_name(part):
    """The part's file name as a mail reader shows it, or None."""
    name = part.get_filename()
    if name is None:
        return None
    if "=?" in name:
        try:
            name = str(email.header.make_header(email.header.decode_header(name)))
        except Exception:  # noqa: BLE001 - a name Python cannot decode is not compared
            return None
    return name


def kept_as_is(name):
    """Whether mimesplit -n must use this name unchanged (first use)."""
    return (name is not None and name.strip(".") != "" and "/" not in name and "\\" not in name
            and not any(ord(c) < 32 or ord(c) == 127 for c in name)
            and len(name.encode("utf-8", "surrogateescape")) <= 255 and "\ufffd" not in name)


def python_leaves(msg, used):
    """Python's leaves in walk() order; `used` collects the rules that shaped them."""
    leaves = []
    skip = set()

    def collapse(part, rule):
        used.add(rule)
        for sub in part.walk():
            if sub is not part:
                skip.add(id(sub))
        cte = str(part.get("content-transfer-encoding", "")).strip().lower() or "7bit"
        leaves.append(Leaf(part.get_content_type(), cte, ANY))

    for part in msg.walk():
        if id(part) in skip:
            continue
        ctype = part.get_content_type()
        cte_field = str(part.get("content-transfer-encoding", ""))
        cte = cte_field.strip().lower() or "7bit"
        if ctype == "message/delivery-status":
            collapse(part, "delivery-status")
            continue
        if part.get_content_maintype() == "message":
            if re.match(r"[^\s(]*", cte).group(0) not in ("7bit", "8bit", "binary"):
                collapse(part, "encoded-message")
                continue
            # The type as mimesplit reads it: Python may keep text after it.
            if re.match(r"[^\s(]*", ctype).group(0) not in ("message/rfc822", "message/global"):
                collapse(part, "other-message")
                continue
        if part.is_multipart():
            continue
        if part.get_content_maintype() == "multipart":
            used.add("defective-multipart")
            leaves.append(Leaf(ctype, cte, ANY, raw="defective"))
            continue
        data = part.get_payload(decode=True)
        leaves.append(Leaf(ctype, cte, data if data is not None else b"", python_name(part),
                           raw_payload(part)))
    return leaves


def boundaries_nest_by_prefix(msg, outer=()):
    inner = outer
    if msg.get_content_maintype() == "multipart":
        b = msg.get_boundary()
        if b is not None:
            if any(b.startswith(o) for o in outer):
                return True
            inner = outer + (b,)
    if not msg.is_multipart():
        return False
    return any(boundaries_nest_by_prefix(p, inner) for p in msg.get_payload())


RENAMED = re.compile(r' \(renamed from "(.*)": ([a-z, ]+)\)$')


def run_mimesplit(binary, path, out_dir):
    r = subprocess.run([binary, "-n", path, out_dir], capture_output=True)
    leaves = []
    for line in r.stdout.decode("utf-8", "surrogateescape").splitlines():
        index, ctype, encoding, size, rest = line.split(" ", 4)
        m = RENAMED.search(rest)
        name = rest[:m.start()] if m else rest
        with open(os.path.join(out_dir, name), "rb") as f:
            data = f.read()
        assert len(data) == int(size), line
        leaves.append(Leaf(ctype, encoding, data, name))
    return r.returncode, r.stderr.decode("utf-8", "replace"), leaves


def leaf_explained(py, ms, used):
    """Whether this pair of leaves agrees, or differs only as rules allow
    (added to `used`): type, encoding and bytes each on their own."""
    if py.ctype != ms.ctype:
        if not re.match(re.escape(ms.ctype) + r"[\s(]", py.ctype):
            return False
        used.add("type-trailing-text")
    if py.encoding != ms.encoding:
        if re.match(r"[^\s(]*", py.encoding).group(0) != ms.encoding:
            return False
        used.add("encoding-comment")
    if py.data is ANY or py.data == ms.data:
        return True
    rule = data_rule(py, ms)
    if rule:
        used.add(rule)
    return rule is not None


def data_rule(py, ms):
    """The rule that allows the decoded bytes to differ, None when none does."""
    raw = py.raw or b""
    if py.data.startswith(b"From ") and py.data.split(b"\n", 1)[-1] == ms.data:
        return "misplaced-envelope"
    if ms.encoding in ("x-uuencode", "uuencode", "x-uue", "uue") and ms.data == raw:
        return "uuencode"
    if re.search(rb"\r(?!\n)", raw) and py.data.replace(b"\r", b"") == ms.data.replace(b"\r", b""):
        return "lone-cr"
    if ms.encoding == "base64":
        letters = bytes(c for c in raw if not chr(c).isspace())
        stripped = letters.rstrip(b"=")
        if (any(c not in B64_ALPHABET for c in stripped) or len(letters) % 4 != 0
                or b"=" in stripped):
            return "base64-legacy"
    if ms.encoding == "quoted-printable" and re.search(rb"=(?![0-9A-Fa-f]{2}|\r?\n|$)", raw):
        return "qp-legacy"
    return None


def compare(label, data, binary, tally, verbose):
    """Compares one message; returns a list of unexplained differences."""
    msg = email.message_from_bytes(data, policy=COMPAT32)
    used = set()
    py = python_leaves(msg, used)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "message")
        with open(path, "wb") as f:
            f.write(data)
        status, err, ms = run_mimesplit(binary, path, os.path.join(d, "parts"))
    problems = []
    if status not in (0, 1) or ("mimesplit:" in err and status == 0):
        problems.append("status %d: %s" % (status, err.strip()))
    spoilt = [p for p in msg.walk() if p.get_content_maintype() == "multipart"
              and '"' in (p.get_boundary() or "")]
    if spoilt:
        used.discard("defective-multipart")
        used.add("boundary-trailing-text")
        py = ms = []  # parted differently: only the status is held
    elif re.search(rb"\r(?!\n)", data) and len(ms) != len(py):
        used.add("lone-cr")  # Python's lines, and so its boundary lines, differ
        py = ms = []
    elif boundaries_nest_by_prefix(msg):
        used.discard("defective-multipart")
        used.add("prefix-boundary")
        py = ms = []  # parted differently by design: only the status is held
    if status == 1:
        no_close = any(isinstance(d, email.errors.CloseBoundaryNotFoundDefect)
                       for part in msg.walk() for d in part.defects)
        defective = next((i for i, p in enumerate(py) if p.raw == "defective"), None)
        if "ends without its closing line" in err and no_close:
            used.add("defective-multipart")
        elif defective is not None and "ends without its closing line" not in err:
            py = py[:defective]  # mimesplit stops at the defective multipart
        else:
            problems.append("refused: " + err.strip())
    py = [p for p in py if p.raw != "defective"]
    if len(py) != len(ms):
        problems.append("%d parts, Python has %d:\n      mimesplit %r\n      python    %r"
                        % (len(ms), len(py), ms, py))
    else:
        taken = set()
        for i, (a, b) in enumerate(zip(py, ms)):
            agrees = leaf_explained(a, b, used)
            # A name is kept as it came unless it is unsafe or already taken.
            if kept_as_is(a.name) and a.name not in taken and a.name != b.name:
                agrees = False
            taken.add(b.name)
            if not agrees:
                problems.append("part %d:\n      mimesplit %r\n      python    %r" % (i + 1, b, a))
    for rule in used:
        tally.setdefault(rule, []).append(label)
    if verbose or problems:
        print("%s %s: %d parts%s" % ("FAIL" if problems else "ok  ", label, len(ms),
                                     " (allowed: %s)" % ", ".join(sorted(used)) if used else ""))
        for p in problems:
            print("    " + p)
    return problems


# --- Messages built with the email package ---

def jpeg(rng, size):
    return b"\xff\xd8\xff\xe0" + bytes(rng.getrandbits(8) for _ in range(size)) + b"\xff\xd9"


def built_messages(rng):
    """(label, bytes) pairs."""
    out = []
    text = ("Gr\u00fc\u00dfe, caf\u00e9 \u2013 a line long enough to need a soft line break "
            "in quoted-printable, trailing blank \n- a dash line\n--not a boundary\n" * 3)

    def nested():
        alt = MIMEMultipart("alternative")
        alt.attach(MIMEText(text, "plain", "utf-8"))
        html = MIMEText("<p>" + text + "</p>", "html", "utf-8")
        alt.attach(html)
        top = MIMEMultipart("mixed")
        top["Subject"] = "nested"
        top.attach(alt)
        for n in (0, 1, 2, 3, 57, 1000):
            att = MIMEApplication(bytes(rng.getrandbits(8) for _ in range(n)))
            att.add_header("Content-Disposition", "attachment", filename="blob%d.bin" % n)
            top.attach(att)
        return top

    utf8_qp = email.charset.Charset("utf-8")
    utf8_qp.body_encoding = email.charset.QP
    top = nested()
    top.attach(MIMEText(text, "plain", utf8_qp))
    top.attach(MIMEText("body\n-- \nsignature line\n-", "plain", utf8_qp))
    out.append(("built: nested multiparts, LF", top.as_bytes()))
    out.append(("built: nested multiparts, CR LF",
                top.as_bytes(policy=COMPAT32.clone(linesep="\r\n"))))

    # A JPEG three forwards deep.
    inner = MIMEMultipart()
    inner["Subject"] = "photo"
    inner.attach(MIMEText("see the photo", "plain"))
    image = MIMEImage(jpeg(rng, 5000), "jpeg")
    image.add_header("Content-Disposition", "attachment", filename="photo.jpg")
    inner.attach(image)
    msg = inner
    for depth in range(3):
        fwd = MIMEMultipart()
        fwd["Subject"] = "Fwd: " * (depth + 1) + "photo"
        fwd.attach(MIMEText("forwarding, level %d" % (depth + 1), "plain"))
        fwd.attach(MIMEMessage(msg))
        msg = fwd
    out.append(("built: JPEG three forwards deep", msg.as_bytes()))
    out.append(("built: JPEG three forwards deep, CR LF",
                msg.as_bytes(policy=COMPAT32.clone(linesep="\r\n"))))
    out.append(("built: a forwarded message alone", MIMEMessage(inner).as_bytes()))

    # RFC 2231: long boundary and names in sections, with charsets; RFC 2047 names.
    m = EmailMessage()
    m["Subject"] = "names"
    m.set_content("body text\n")
    m.add_attachment(b"pdf bytes", maintype="application", subtype="pdf",
                     filename="na\u00efve r\u00e9sum\u00e9 with a very long name that goes on "
                              "and on and on and on and on and on.pdf")
    m.add_attachment(jpeg(rng, 300), maintype="image", subtype="jpeg", filename="\u65e5\u672c.jpg")
    m.add_attachment(b"plain", maintype="text", subtype="plain", filename="report 2024.txt")
    m.set_boundary("=_" + "q" * 66)
    out.append(("built: RFC 2231 boundary and names (default policy)", m.as_bytes()))
    legacy = MIMEMultipart()
    for name, how in (("caf\u00e9.txt", "2047-q"), ("\u00fcber.txt", "2047-b"),
                      ("latin-\u00e9.txt", "2231-latin1"), ("quoted \"name\".txt", "quoted")):
        part = MIMEText("x", "plain")
        if how == "2047-q":
            part.add_header("Content-Disposition", "attachment",
                            filename="=?utf-8?q?caf=C3=A9.txt?=")
        elif how == "2047-b":
            part.add_header("Content-Disposition", "attachment",
                            filename=email.header.Header(name, "utf-8").encode())
        elif how == "2231-latin1":
            part.add_header("Content-Disposition", "attachment",
                            filename=("iso-8859-1", "fr", name))
        else:
            part.add_header("Content-Disposition", "attachment", filename=name)
        legacy.attach(part)
    ct = MIMEApplication(b"by type name")
    ct.set_param("name", "from-content-type.bin")
    legacy.attach(ct)
    out.append(("built: RFC 2047 and RFC 2231 names (compat32)", legacy.as_bytes()))

    # Hand-written: what the email package does not write itself.
    out.append(("hand: multipart/digest parts default to message/rfc822",
                b"Content-Type: multipart/digest; boundary=d\n\n--d\n\n"
                b"From: a@example.org\nSubject: one\n\nfirst digest entry\n--d\n\n"
                b"Subject: two\nContent-Type: text/html\n\n<p>second</p>\n"
                b"--d\nContent-Type: text/plain\n\nnot a message\n--d--\n"))
    out.append(("hand: header block without its empty line",
                b"Content-Type: multipart/mixed; boundary=h\nSubject: x\n\n--h\n"
                b"Content-Type: text/plain\nThis line starts the body.\nsecond: line\n--h\n"
                b"Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n"
                b"QUJDREVG\nR0hJ\n--h\nContent-Transfer-Encoding: quoted-printable\n"
                b"caf=C3=A9 line\n--h\nContent-Type: text/plain\nFrom here on: body\n \n"
                b"Content-Type: text/html\n\n--h--\n"))
    out.append(("hand: message/global with an 8bit body, CR LF",
                b"Content-Type: multipart/mixed; boundary=g\r\n\r\n--g\r\n"
                b"Content-Type: message/global\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                b"Subject: \xc3\xa9t\xc3\xa9\r\nContent-Type: text/plain; charset=utf-8\r\n"
                b"Content-Transfer-Encoding: 8bit\r\n\r\n\xc3\xa9t\xc3\xa9\r\n--g--\r\n"))
    out.append(("hand: a 'From ' line last in a header block, a comment after the type",
                b"Content-Type: text/plain (plain text)\nFrom nobody\n\nbody\n"))
    out.append(("hand: a malformed QP escape; text after a quoted boundary",
                b"Content-Type: multipart/mixed; boundary=\"q\"\n junk\n\n--q\n"
                b"Content-Transfer-Encoding: quoted-printable\n\na=ut 1\n--q--\n"))
    out.append(("hand: CR alone ends a line for Python",
                b"Content-Type: multipart/mixed; boundary=r\n\n--r\n\na\r--r\nb\n--r--\n"))
    out.append(("hand: a malformed QP escape",
                b"Content-Transfer-Encoding: quoted-printable\n\nx=3Dy url?a=ut\n"))
    out.append(("hand: base64 without its final padding, then more parts",
                b"Content-Type: multipart/mixed; boundary=p\n\n--p\n"
                b"Content-Transfer-Encoding: base64\n\nQUJDRA\n--p\n\nsecond part\n--p--\n"))
    out.append(("hand: RFC 2231 boundary sections, comments, continuations",
                b"Content-Type: multipart/mixed (comment);\n boundary*1=\"two\";\n"
                b" boundary*0*=us-ascii'en'one%2D; charset=x\n\n--one-two\n"
                b"Content-Type: text/plain; name*=utf-8''a%20b.txt\n\nx\n--one-two--\n"))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("mimesplit")
    ap.add_argument("--corpus")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    corpus = args.corpus
    if corpus is None:
        try:
            import test.test_email
            corpus = os.path.join(os.path.dirname(test.test_email.__file__), "data")
        except ImportError:
            corpus = None
    if corpus is None or not os.path.isdir(corpus):
        print("SKIPPED: Python's test_email corpus is not installed (module test.test_email)")
        return SKIP

    messages = []
    for name in sorted(os.listdir(corpus)):
        if name.startswith("msg_"):
            with open(os.path.join(corpus, name), "rb") as f:
                data = f.read()
            messages.append(("test_email/" + name, data))
            # The same message as a mail program stores it, in CR LF.
            if b"\r" not in data:
                messages.append(("test_email/" + name + " in CR LF", data.replace(b"\n", b"\r\n")))
    messages += built_messages(random.Random(11))
    tally = {}
    failed = 0
    for label, data in messages:
        failed += bool(compare(label, data, args.mimesplit, tally, args.verbose))
    print("%d messages, %d with unexplained differences" % (len(messages), failed))
    for rule in sorted(tally):
        print("  allowed %s (%d): %s\n      %s" % (rule, len(tally[rule]),
                                               ", ".join(tally[rule]), RULES[rule]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
