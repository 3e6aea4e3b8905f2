"""Reading the server's answer and judging it against RFC 6455.

collect() turns the frames a server sends into events (whole messages,
pings/pongs, a close frame, the end of TCP, or a fault of the server's own
framing) and behaves as a client must while doing so: it answers pings,
answers a close frame with a close frame, then waits for the server to
close TCP.

The verdict_* functions turn a list of events into a Result:
PASS, NON-STRICT (allowed by the RFC's SHOULDs but not the expected
behaviour) or FAIL, with a reason for anything but PASS.
"""

import time
from typing import NamedTuple, Optional

from wsclient import (CONTROL_OPCODES, OP_BINARY, OP_CLOSE, OP_CONT, OP_PING,
                      OP_PONG, OP_TEXT, Ended, build_frame, op_name, parse_close)

PASS, NON_STRICT, FAIL = "PASS", "NON-STRICT", "FAIL"
VERDICT_RANK = {PASS: 0, NON_STRICT: 1, FAIL: 2}

# Reasons the runner recognises as the program configuration's known
# behaviours; they must stay exactly these texts.
NO_CLOSE = "no close frame sent back"
NO_UTF8 = "UTF-8 not validated"

CLOSE_WAIT = 2.0   # how long a server may take to close TCP after the close handshake


class Result(NamedTuple):
    verdict: str
    reason: str = ""
    detail: str = ""


def worse(a: Result, b: Result) -> Result:
    """The worse of two results (the first one on a tie)."""
    return b if VERDICT_RANK[b.verdict] > VERDICT_RANK[a.verdict] else a


# -- events -------------------------------------------------------------------

class Message(NamedTuple):
    opcode: int
    payload: bytes
    frames: list


class Control(NamedTuple):      # a ping or pong from the server
    opcode: int
    payload: bytes


class Close(NamedTuple):        # the server's close frame
    code: Optional[int]
    reason: bytes


class Fault(NamedTuple):        # the server broke the framing rules itself
    text: str


def close_code_sendable(code: int) -> bool:
    """Codes an endpoint may put in a close frame (RFC 6455 7.4 and the
    IANA registry: 1012-1014 were registered after the RFC)."""
    return 1000 <= code <= 1003 or 1007 <= code <= 1014 or 3000 <= code <= 4999


def is_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8", "strict")
        return True
    except UnicodeDecodeError:
        return False


def frame_fault(frame) -> Optional[str]:
    """What is wrong with a frame as a server wrote it, or None."""
    if frame.masked:
        return "server frame is masked (%s)" % op_name(frame.opcode)
    if frame.rsv:
        return "server frame has RSV bits %d (%s)" % (frame.rsv, op_name(frame.opcode))
    if frame.opcode not in (OP_CONT, OP_TEXT, OP_BINARY) + CONTROL_OPCODES:
        return "server frame uses reserved opcode %X" % frame.opcode
    if not frame.minimal:
        return "server frame length not in its minimal form (%s)" % op_name(frame.opcode)
    if frame.opcode in CONTROL_OPCODES:
        if not frame.fin:
            return "server control frame fragmented (%s)" % op_name(frame.opcode)
        if len(frame.payload) > 125:
            return "server control frame longer than 125 bytes (%s)" % op_name(frame.opcode)
    if frame.opcode == OP_CLOSE:
        return close_body_fault(frame.payload)
    return None


def close_body_fault(payload: bytes) -> Optional[str]:
    if len(payload) == 1:
        return "server close frame with a 1-byte body"
    code, reason = parse_close(payload)
    if code is not None and not close_code_sendable(code):
        return "server close frame with code %d, which must not be sent" % code
    if not is_utf8(reason):
        return "server close frame reason is not UTF-8"
    return None


class Assembler:
    """Joins data frames into messages and checks their order."""

    def __init__(self):
        self.opcode = None
        self.pieces = []
        self.frames = []

    def add(self, frame):
        """(Message or None, fault text or None)."""
        if frame.opcode == OP_CONT:
            if self.opcode is None:
                return None, "server sent a continuation frame with no message open"
        elif self.opcode is not None:
            return None, "server began a new message inside a fragmented one"
        else:
            self.opcode = frame.opcode
        self.pieces.append(frame.payload)
        self.frames.append(frame)
        if not frame.fin:
            return None, None
        message = Message(self.opcode, b"".join(self.pieces), self.frames)
        self.opcode, self.pieces, self.frames = None, [], []
        return message, None


def collect(conn, timeout: float, enough=None, close_wait: Optional[float] = None) -> list:
    """Events from the server until `enough(events)` holds, a close frame
    was handled, TCP ended, or `timeout` seconds passed (then the last event
    is Ended("timeout")). A close frame is answered with a close frame
    (unless we sent one already) and followed by waiting for TCP to end."""
    events = []
    assembler = Assembler()
    deadline = time.monotonic() + timeout
    while True:
        item = conn.read_frame(deadline - time.monotonic())
        if isinstance(item, Ended):
            events.append(item)
            return events
        fault = frame_fault(item)
        if fault:
            events.append(Fault(fault))
            return events
        if item.opcode == OP_CLOSE:
            events.append(Close(*parse_close(item.payload)))
            events.extend(finish_close(conn, item.payload, CLOSE_WAIT if close_wait is None else close_wait))
            return events
        if item.opcode in (OP_PING, OP_PONG):
            if item.opcode == OP_PING:
                conn.send(build_frame(OP_PONG, item.payload))
            events.append(Control(item.opcode, item.payload))
        else:
            message, fault = assembler.add(item)
            if fault:
                events.append(Fault(fault))
                return events
            if message:
                events.append(message)
        if enough is not None and enough(events):
            return events


def finish_close(conn, server_body: bytes, close_wait: float) -> list:
    """After the server's close frame: answer it, then wait for TCP to end.
    Returns [Ended] or [Fault] if the server sends more frames."""
    if not conn.close_sent:
        code, _ = parse_close(server_body)
        conn.send(build_frame(OP_CLOSE, server_body[:2] if code is not None else b""), answering_close=True)
    item = conn.read_frame(close_wait)
    if isinstance(item, Ended):
        return [item]
    return [Fault("server sent a %s frame after its close frame" % op_name(item.opcode))]


def messages_at_least(n: int):
    return lambda events: sum(isinstance(e, Message) for e in events) >= n


def counts_at_least(messages: int, pongs: int):
    def enough(events):
        got_m = sum(isinstance(e, Message) for e in events)
        got_p = sum(isinstance(e, Control) and e.opcode == OP_PONG for e in events)
        return got_m >= messages and got_p >= pongs
    return enough


# -- describing events ----------------------------------------------------------

def event_text(event) -> str:
    if isinstance(event, Message):
        return "%s message of %d bytes in %d frame(s)" % (
            op_name(event.opcode), len(event.payload), len(event.frames))
    if isinstance(event, Control):
        return "%s of %d bytes" % (op_name(event.opcode), len(event.payload))
    if isinstance(event, Close):
        if event.code is None:
            return "close frame without code" if not event.reason else "close frame with 1-byte body"
        return "close frame %d%s" % (event.code, (" %r" % event.reason) if event.reason else "")
    if isinstance(event, Ended):
        return {"eof": "TCP closed", "reset": "TCP reset", "timeout": "nothing more (timed out)"}[event.how]
    if isinstance(event, Fault):
        return "fault: " + event.text
    return repr(event)


def events_text(events) -> str:
    return "; ".join(event_text(e) for e in events)


def what_happened(events) -> str:
    """Short account of how an exchange ended, for reasons."""
    for event in events:
        if isinstance(event, Close):
            return event_text(event)
    end = events[-1] if events else None
    if isinstance(end, Ended):
        if end.how == "timeout":
            return "timed out"
        return event_text(end) + " without a close frame"
    return events_text(events)


def first_difference(a: bytes, b: bytes) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "first difference at byte %d" % i
    return "lengths %d and %d" % (len(a), len(b))


def _find(events, kind):
    return [e for e in events if isinstance(e, kind)]


def _fault(events) -> Optional[Result]:
    faults = _find(events, Fault)
    return Result(FAIL, faults[0].text, events_text(events)) if faults else None


def _pongs(events):
    return [e for e in events if isinstance(e, Control) and e.opcode == OP_PONG]


# -- verdicts -------------------------------------------------------------------------

def check_messages(events, expected) -> Optional[Result]:
    """FAIL unless the messages received start with `expected`
    ((opcode, payload) pairs) in order; None when they do."""
    got = _find(events, Message)
    for i, (opcode, payload) in enumerate(expected):
        if i >= len(got):
            return Result(FAIL, "no echo (%s)" % what_happened(events), events_text(events))
        if got[i].opcode != opcode:
            return Result(FAIL, "echo has opcode %s instead of %s" % (
                op_name(got[i].opcode), op_name(opcode)), events_text(events))
        if got[i].payload != payload:
            return Result(FAIL, "echo differs from what was sent (%s)" % first_difference(
                got[i].payload, payload), events_text(events))
    return None


def is_subsequence(part, whole) -> bool:
    items = iter(whole)
    return all(any(p == w for w in items) for p in part)


def verdict_echo(events, expected, pongs=(), pong_first=False) -> Result:
    """Every message in `expected` echoed identically, nothing more, and a
    pong with each payload in `pongs`, in that order; with pong_first the
    pongs should come before the first echo (their pings were sent inside
    that message)."""
    bad = _fault(events) or check_messages(events, expected)
    if bad:
        return bad
    if len(_find(events, Message)) > len(expected):
        return Result(FAIL, "more messages than were sent", events_text(events))
    got_pongs = [p.payload for p in _pongs(events)]
    if pongs and got_pongs and len(got_pongs) < len(pongs) and got_pongs[-1] == pongs[-1] \
            and is_subsequence(got_pongs, pongs):
        # An endpoint that is behind may answer only the latest of several
        # pings (RFC 6455 5.5.3).
        return Result(NON_STRICT, "answered %d of %d pings, the last among them" % (
            len(got_pongs), len(pongs)), events_text(events))
    for i, payload in enumerate(pongs):
        if i >= len(got_pongs):
            return Result(FAIL, "no pong for ping %d (%s)" % (i + 1, what_happened(events)),
                          events_text(events))
        if got_pongs[i] != payload:
            return Result(FAIL, "pong %d payload differs from its ping (%s)" % (
                i + 1, first_difference(got_pongs[i], payload)), events_text(events))
    if pong_first:
        kinds = [type(e) for e in events]
        if kinds.index(Message) < len(kinds) - 1 - kinds[::-1].index(Control):
            return Result(NON_STRICT, "pong sent only after the echo of the message that "
                          "was open when the ping came", events_text(events))
    return Result(PASS)


def verdict_fail(events, code: int, prior=(), no_pong: bool = False,
                 utf8: bool = False) -> Result:
    """The server must fail the connection, after echoing the messages in
    `prior`: close frame with `code` then TCP close is PASS; TCP dropped
    without a close frame or another code is NON-STRICT; an echo of the bad
    data or a connection left open is FAIL. utf8=True names accepting
    invalid UTF-8 as such."""
    bad = _fault(events) or check_messages(events, prior)
    if bad:
        return bad
    if len(_find(events, Message)) > len(prior):
        return Result(FAIL, NO_UTF8 if utf8 else "the invalid message was echoed",
                      events_text(events))
    if no_pong and _pongs(events):
        return Result(FAIL, "the invalid ping was answered with a pong", events_text(events))
    closes = _find(events, Close)
    end = events[-1]
    if closes:
        if isinstance(end, Ended) and end.how == "timeout":
            return Result(FAIL, "TCP left open after the close handshake", events_text(events))
        if closes[0].code == code:
            return Result(PASS)
        return Result(NON_STRICT, "close code %s, expected %d" % (closes[0].code, code),
                      events_text(events))
    if isinstance(end, Ended) and end.how in ("eof", "reset"):
        return Result(NON_STRICT, NO_CLOSE, events_text(events))
    return Result(FAIL, "connection stayed open", events_text(events))


def verdict_close_answer(events, codes, empty_ok: bool = False,
                         drop_verdict: str = FAIL) -> Result:
    """After a client close the server must answer with a close frame whose
    code is in `codes` (or without a code when empty_ok), then close TCP,
    and must not send any more messages."""
    bad = _fault(events)
    if bad:
        return bad
    if _find(events, Message):
        return Result(FAIL, "a message was sent after the client's close frame",
                      events_text(events))
    closes = _find(events, Close)
    end = events[-1]
    if closes:
        if isinstance(end, Ended) and end.how == "timeout":
            return Result(FAIL, "TCP left open after the close handshake", events_text(events))
        got = closes[0].code
        if got is None and empty_ok or got in codes:
            return Result(PASS)
        if got is None:
            return Result(NON_STRICT, "close answered without a status code", events_text(events))
        return Result(NON_STRICT, "close answered with code %d" % got, events_text(events))
    if isinstance(end, Ended) and end.how in ("eof", "reset"):
        return Result(drop_verdict, NO_CLOSE, events_text(events))
    return Result(FAIL, "no answer to the close frame", events_text(events))
