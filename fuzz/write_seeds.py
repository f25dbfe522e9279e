#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

Inputs that the fuzzer found and that once failed are kept beside them under
names starting with "found-"; this script leaves those alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

H = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"
TE = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
REPLIES = {
    "ok": H + b"OK",
    "ok-lf": H + b"OK\nsecond\n",
    "ok-crlf": H + b"OK\r\n",
    "empty-body": H,
    "refused": H + b"Falscher Key\n",
    "status-404": b"HTTP/1.1 404 Not Found\r\n\r\n<html>\n<body>404</body>",
    "lf-headers": b"HTTP/1.1 200 OK\nContent-Length: 2\n\nOK",
    "no-status": b"\r\n\r\nOK",
    "stray-cr": b"HTTP/1.1 200\r\r\n\r\nOK",
    "nul-line": H + b"O\0K",
    "chunked": TE + b"2\r\nOK\r\n0\r\n\r\n",
    "chunked-split": TE + b"1\r\nO\r\n1\r\nK\r\n0\r\n\r\n",
    "chunked-case": b"HTTP/1.1 200\r\ntransfer-ENCODING:  CHUNKED \r\n\r\n2\r\nOK\r\n0\r\n\r\n",
    "chunked-last": b"HTTP/1.1 200\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
    "chunked-two-fields": b"HTTP/1.1 200\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nOK\n\r\n0\r\n\r\n",
    "chunked-not-last": b"HTTP/1.1 200\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
    "chunk-ext": TE + b"A;x=1\r\nOK\nmore..\r\n0\r\n\r\n",
    "chunk-bare-lf": TE + b"2\nOK\n0\n",
    "chunk-2-64": TE + b"10000000000000000\r\nOK\r\n",
    "chunk-bad": TE + b"zz\r\nOK\r\n0\r\n\r\n",
    "chunk-cut": TE + b"5\r\nOK",
    "length": b"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nOK",
    "length-short": b"HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nOKAY",
    "length-zero": b"HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n",
    "length-conflict": b"HTTP/1.1 200\r\nContent-Length: 1\r\nContent-Length: 4\r\n\r\nOK\n",
    "length-and-chunked": b"HTTP/1.1 200\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
    "long-coding": b"HTTP/1.1 200\r\nTransfer-Encoding: " + b"x" * 40 + b", chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
}

CHUNKS = {
    "two": b"1\r\nO\r\n1\r\nK\r\n0\r\n\r\n",
    "ext": b"3;name=value\r\nabc\r\n0\r\n",
    "bare-lf": b"2\nOK\n0\n",
    "upper-hex": b"A\r\n0123456789\r\n0\r\n",
    "zeros": b"0000000000000000002\r\nOK\r\n0\r\n",
    "huge": b"ffffffffffffffff\r\n",
    "almost-huge": b"fffffffffffffff\r\nabc",
    "bad-lf": b"2\r\nOK\rX",
    "no-digits": b"\r\n",
}

URL = {
    "plain": b"\x00Hallo Welt",
    "marks": b"\x00a-b_c.d~e*f x&y=z+1%",
    "latin1": b"\x00Gr\xfc\xdfe",
    "controls": b"\x00\r\n\t\x7f\x80\xff",
    "cut": b"\x05abc def",
    "nul": b"\x00a\x00b",
    "negative": b"\x03abc",
}


def request(flags, firma, port, values):
    return bytes([flags]) + struct.pack(">iH", firma, port) + b"\0".join(values)


REQUESTS = {
    "plain": request(0, 2, 8080, [b"12345", b"tst", b"geheim", b"Hallo Welt", b"0171", b"", b"10.0.0.1", b"anna", b"pc1"]),
    "proxy-test-time": request(7, -5, 65535, [b"1", b"u", b"k", b"m", b"r", b"201212241800", b"", b"", b""]),
    "forge": request(12, 0, 0, [b"1 HTTP/1.1\nX: y\n\n", b"a\r\nb", b"&=", b"\n", b"0&test=1", b"t\rx", b"1.2.3.4\n", b"\x7f", b"h o"]),
    "empty": request(16, -2147483648, 1, []),
}


def write(target, items):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in items.items():
        with open(os.path.join(d, "seed-" + name), "wb") as f:
            f.write(data)


write("reply", {k: bytes([v % 5 * 40 + 1, i, 7 * i]) + r
                for i, (k, r) in enumerate(sorted(REPLIES.items())) for v in [i]})
write("chunk", {k: bytes([i, 3 * i]) + c for i, (k, c) in enumerate(sorted(CHUNKS.items()))})
write("urlencode", URL)
write("request", REQUESTS)
