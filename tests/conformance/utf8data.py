"""UTF-8 byte sequences (RFC 3629) for the conformance suite's UTF-8 group.

VALID and INVALID are lists of (name, bytes). Most invalid entries are
generated from the rules they break rather than written out. At import the
tables are checked against Python's strict UTF-8 decoder, so a typing
mistake in a table cannot turn into a wrong expectation.

random_text(n) gives exactly n bytes of valid UTF-8 mixing 1- to 4-byte
characters, for echo payloads.
"""

import os

KOSME = "\u03ba\u1f79\u03c3\u03bc\u03b5".encode("utf-8")   # κόσμε, 11 bytes

VALID = [
    ("ASCII text", b"Hello, world!"),
    ("\u03ba\u1f79\u03c3\u03bc\u03b5 (Greek word)", KOSME),
    ("empty", b""),
    ("U+0000 (NUL is a character)", b"\x00"),
    ("U+007F last 1-byte", b"\x7f"),
    ("U+0080 first 2-byte", b"\xc2\x80"),
    ("U+07FF last 2-byte", b"\xdf\xbf"),
    ("U+0800 first 3-byte", b"\xe0\xa0\x80"),
    ("U+D7FF last before the surrogates", b"\xed\x9f\xbf"),
    ("U+E000 first after the surrogates", b"\xee\x80\x80"),
    ("U+FDD0 non-character", b"\xef\xb7\x90"),
    ("U+FFFD replacement character", b"\xef\xbf\xbd"),
    ("U+FFFE non-character", b"\xef\xbf\xbe"),
    ("U+FFFF last 3-byte (non-character)", b"\xef\xbf\xbf"),
    ("U+10000 first 4-byte", b"\xf0\x90\x80\x80"),
    ("U+1F600 emoji", b"\xf0\x9f\x98\x80"),
    ("U+10FFFF last code point", b"\xf4\x8f\xbf\xbf"),
    ("mixed widths", "a\u00e9\u0800\u20ac\U00010000z\U0010ffff".encode("utf-8")),
]


def _lone_continuations():
    return [("continuation byte %02X alone" % b, bytes([b])) for b in range(0x80, 0xC0)]


def _continuation_runs():
    runs = [("%d continuation bytes" % n, bytes((0x80, 0xBF) * 4)[:n]) for n in range(2, 8)]
    runs.append(("all 64 continuation bytes", bytes(range(0x80, 0xC0))))
    return runs


def _lonely_starts():
    # Every lead byte (and the never-valid C0, C1, F5..FD) followed by a space.
    return [("lead byte %02X followed by a space" % b, bytes([b, 0x20]))
            for b in range(0xC0, 0xFE)]


# Sequences of valid characters with their last byte(s) removed.
TRUNCATED = [
    ("2-byte U+0080 without its last byte", b"\xc2"),
    ("2-byte U+07FF without its last byte", b"\xdf"),
    ("3-byte U+0800 without its last byte", b"\xe0\xa0"),
    ("3-byte U+FFFF without its last byte", b"\xef\xbf"),
    ("3-byte U+0800 with only its lead byte", b"\xe0"),
    ("4-byte U+10000 without its last byte", b"\xf0\x90\x80"),
    ("4-byte U+10FFFF without its last byte", b"\xf4\x8f\xbf"),
    ("4-byte U+10000 with only two bytes", b"\xf0\x90"),
    ("4-byte U+10000 with only its lead byte", b"\xf0"),
]


def _truncated():
    cases = []
    for name, seq in TRUNCATED:
        cases.append((name + ", at the end", seq))
        cases.append((name + ", then 'A'", seq + b"A"))
    cases.append(("all truncated sequences concatenated", b"".join(s for _, s in TRUNCATED)))
    return cases


IMPOSSIBLE = [
    ("byte FE", b"\xfe"),
    ("byte FF", b"\xff"),
    ("bytes FE FE FF FF", b"\xfe\xfe\xff\xff"),
]


def _encode(code: int, nbytes: int) -> bytes:
    """code in the UTF-8 bit pattern of an n-byte sequence (n = 1..6), even
    where UTF-8 forbids it: overlong forms, surrogates, code points past
    U+10FFFF, and the old 5- and 6-byte forms."""
    if nbytes == 1:
        return bytes([code])
    lead_bits = {2: 0xC0, 3: 0xE0, 4: 0xF0, 5: 0xF8, 6: 0xFC}[nbytes]
    out = []
    for _ in range(nbytes - 1):
        out.append(0x80 | (code & 0x3F))
        code >>= 6
    out.append(lead_bits | code)
    return bytes(reversed(out))


def _overlongs():
    """Code points written with more bytes than they need."""
    cases = []
    for n in range(2, 7):
        cases.append(("overlong '/' in %d bytes" % n, _encode(0x2F, n)))
        cases.append(("overlong NUL in %d bytes" % n, _encode(0x00, n)))
    # The largest overlong of n bytes: the largest code point that fits in
    # n - 1 bytes, written in n bytes.
    for n, largest in ((2, 0x7F), (3, 0x7FF), (4, 0xFFFF), (5, 0x1FFFFF), (6, 0x3FFFFFF)):
        cases.append(("maximum overlong in %d bytes (U+%X)" % (n, largest), _encode(largest, n)))
    return cases


def _beyond_max():
    return [
        ("U+110000 (F4 90 80 80)", _encode(0x110000, 4)),
        ("U+13FFFF (F4 BF BF BF)", _encode(0x13FFFF, 4)),
        ("U+140000 (F5 80 80 80)", _encode(0x140000, 4)),
        ("U+1FFFFF (F7 BF BF BF)", _encode(0x1FFFFF, 4)),
        ("U+200000 in 5 bytes", _encode(0x200000, 5)),
        ("U+3FFFFFF in 5 bytes", _encode(0x3FFFFFF, 5)),
        ("U+4000000 in 6 bytes", _encode(0x4000000, 6)),
        ("U+7FFFFFFF in 6 bytes", _encode(0x7FFFFFFF, 6)),
    ]


SURROGATES = [0xD800, 0xDB7F, 0xDB80, 0xDBFF, 0xDC00, 0xDF80, 0xDFFF]
HIGH_SURROGATES = [0xD800, 0xDB7F, 0xDB80, 0xDBFF]
LOW_SURROGATES = [0xDC00, 0xDFFF]


def _surrogates():
    cases = [("surrogate U+%04X" % s, _encode(s, 3)) for s in SURROGATES]
    cases += [("surrogate pair U+%04X U+%04X" % (h, lo), _encode(h, 3) + _encode(lo, 3))
              for h in HIGH_SURROGATES for lo in LOW_SURROGATES]
    return cases


def _inside_valid_text():
    return [
        ("\u03ba\u1f79\u03c3\u03bc\u03b5 then a lone F4 at the end", KOSME + b"\xf4"),
        ("\u03ba\u1f79\u03c3\u03bc\u03b5, surrogate U+D800, then text",
         KOSME + b"\xed\xa0\x80" + b"edited"),
        ("\u03ba\u1f79\u03c3\u03bc\u03b5, U+110000, then text", KOSME + b"\xf4\x90\x80\x80" + b"edited"),
        ("200 valid bytes, overlong NUL, more text", b"x" * 200 + b"\xc0\x80" + b"y" * 20),
    ]


INVALID = (_lone_continuations() + _continuation_runs() + _lonely_starts() + _truncated()
           + IMPOSSIBLE + _overlongs() + _beyond_max() + _surrogates() + _inside_valid_text())


def _check_tables():
    for name, data in VALID:
        data.decode("utf-8")
    for name, data in INVALID:
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        raise AssertionError("table entry %r is valid UTF-8" % name)


_check_tables()


# -- random valid text -------------------------------------------------------------

_POOL = [chr(c).encode("utf-8") for c in
         list(range(0x20, 0x7F)) * 2
         + [0xE9, 0xFC, 0x3BA, 0x5D0, 0x7FF, 0x800, 0x20AC, 0x4E2D, 0xFFFD,
            0x10000, 0x1F600, 0x10FFFF]]
_BLOCK_CHARS = 40_000


def _random_block(chars: int) -> bytes:
    return b"".join(_POOL[b % len(_POOL)] for b in os.urandom(chars))


def char_length(lead: int) -> int:
    return 1 if lead < 0x80 else 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4


def random_text(n: int) -> bytes:
    """Exactly n bytes of valid UTF-8 with characters of every width."""
    if n == 0:
        return b""
    block = _random_block(min(_BLOCK_CHARS, n))
    data = (block * (n // len(block) + 1))[:n]
    start = n - 1
    while start > 0 and data[start] & 0xC0 == 0x80:
        start -= 1
    if start + char_length(data[start]) > n:
        data = data[:start] + b"a" * (n - start)
    return data
