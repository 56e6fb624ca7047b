#!/usr/bin/env python3
"""Independent quoted-printable coder for the interop tests: Python's binascii.

Usage: qp_interop.py MODE < records > records

A record is a decimal length, LF, and that many bytes; each input record
gives one output record. MODE picks the coder:

  decode         binascii.a2b_qp(record)
  encode-text    binascii.b2a_qp(record)                 LF stays a line end
  encode-binary  binascii.b2a_qp(record, istext=False)   CR and LF escaped too
  encode-tabs    binascii.b2a_qp(record, quotetabs=True) every blank and tab escaped

header stays False throughout: with it "_" stands for a blank (RFC 2047
encoded words), which a message body does not use.
"""
import binascii
import sys

CODERS = {
    "decode": binascii.a2b_qp,
    "encode-text": binascii.b2a_qp,
    "encode-binary": lambda data: binascii.b2a_qp(data, istext=False),
    "encode-tabs": lambda data: binascii.b2a_qp(data, quotetabs=True),
}


def main():
    coder = CODERS[sys.argv[1]]
    data = sys.stdin.buffer.read()
    out = []
    pos = 0
    while pos < len(data):
        lf = data.index(b"\n", pos)
        length = int(data[pos:lf])
        record = data[lf + 1:lf + 1 + length]
        pos = lf + 1 + length
        result = coder(record)
        out.append(b"%d\n" % len(result) + result)
    sys.stdout.buffer.write(b"".join(out))


if __name__ == "__main__":
    main()
