"""Raw-socket WebSocket client (RFC 6455) used by the conformance suite.

It does only what the suite needs and nothing on its own initiative:

* the opening handshake (GET with Upgrade, a random Sec-WebSocket-Key,
  version 13, optional sub-protocols) and the check of the 101 answer,
  including Sec-WebSocket-Accept;
* a frame builder that writes any FIN / RSV / opcode combination, any length
  form (also non-minimal 16- and 64-bit lengths, or an announced length that
  differs from the payload), masked or not;
* sending whole or chopped into writes of N bytes (optionally with a pause
  between writes) while reading at the same time, so that big echoes cannot
  deadlock on full socket buffers;
* a frame reader with a deadline that returns Frame tuples, or Ended when the
  TCP connection ended (EOF or reset) or the deadline passed.

Every Conn keeps a short log of what it sent and what it received, which the
runner prints for cases that do not pass.
"""

import base64
import collections
import hashlib
import os
import select
import socket
import struct
import time
from typing import NamedTuple, Optional

HOST = "127.0.0.1"
ACCEPT_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

OP_CONT, OP_TEXT, OP_BINARY = 0x0, 0x1, 0x2
OP_CLOSE, OP_PING, OP_PONG = 0x8, 0x9, 0xA
CONTROL_OPCODES = (OP_CLOSE, OP_PING, OP_PONG)
DATA_OPCODES = (OP_CONT, OP_TEXT, OP_BINARY)
OP_NAMES = {OP_CONT: "cont", OP_TEXT: "text", OP_BINARY: "binary",
            OP_CLOSE: "close", OP_PING: "ping", OP_PONG: "pong"}

# RSV bits as a 3-bit value: RSV1 is the high bit.
RSV1, RSV2, RSV3 = 4, 2, 1

LOG_LIMIT = 12          # entries kept per direction in a Conn's log
RECV_SIZE = 256 * 1024


def op_name(opcode: int) -> str:
    return OP_NAMES.get(opcode, "op%X" % opcode)


def accept_for(key: str) -> str:
    """Sec-WebSocket-Accept value a server must answer for this key."""
    digest = hashlib.sha1(key.encode("ascii") + ACCEPT_GUID).digest()
    return base64.b64encode(digest).decode("ascii")


def mask_payload(payload: bytes, key: bytes) -> bytes:
    """XOR payload with the repeated 4-byte key, in one big-integer operation
    so that megabyte payloads cost milliseconds rather than seconds."""
    n = len(payload)
    if n == 0:
        return b""
    stream = (key * (n // 4 + 1))[:n]
    value = int.from_bytes(payload, "big") ^ int.from_bytes(stream, "big")
    return value.to_bytes(n, "big")


def build_frame(opcode: int, payload: bytes = b"", fin: bool = True, rsv: int = 0,
                mask: bool = True, length_form: Optional[int] = None,
                length: Optional[int] = None, mask_key: Optional[bytes] = None) -> bytes:
    """Bytes of one frame as a client writes it.

    length_form: None picks the minimal form; 7, 16 or 64 forces that form
    (a non-minimal one when the payload is short). length overrides the
    announced payload length (the payload written stays as given).
    """
    announced = len(payload) if length is None else length
    if length_form is None:
        length_form = 7 if announced <= 125 else 16 if announced <= 0xFFFF else 64
    first = (0x80 if fin else 0) | ((rsv & 7) << 4) | (opcode & 0xF)
    mask_bit = 0x80 if mask else 0
    if length_form == 7:
        if announced > 125:
            raise ValueError("7-bit length form holds at most 125")
        header = bytes([first, mask_bit | announced])
    elif length_form == 16:
        header = bytes([first, mask_bit | 126]) + struct.pack(">H", announced)
    elif length_form == 64:
        header = bytes([first, mask_bit | 127]) + struct.pack(">Q", announced)
    else:
        raise ValueError("length_form must be 7, 16 or 64")
    if not mask:
        return header + payload
    key = mask_key if mask_key is not None else os.urandom(4)
    return header + key + mask_payload(payload, key)


def close_payload(code: Optional[int] = None, reason: bytes = b"") -> bytes:
    """Body of a close frame: nothing, or a 2-byte code and a reason."""
    if code is None:
        return reason
    return struct.pack(">H", code) + reason


def parse_close(payload: bytes):
    """(code or None, reason bytes) of a close frame body; a 1-byte body
    gives code None and the byte as reason (the caller judges it)."""
    if len(payload) < 2:
        return None, payload
    return struct.unpack(">H", payload[:2])[0], payload[2:]


class Frame(NamedTuple):
    fin: bool
    rsv: int
    opcode: int
    payload: bytes
    masked: bool
    minimal: bool          # length written in its shortest form


class Ended(NamedTuple):
    how: str               # "eof", "reset" or "timeout"


class Header(NamedTuple):
    fin: bool
    rsv: int
    opcode: int
    size: int              # payload length
    masked: bool
    key: bytes             # masking key (empty when not masked)
    minimal: bool          # length written in its shortest form
    body: int              # where the payload starts


# Length marker -> (header bytes before the key, length format, smallest
# length that needs this form).
LENGTH_FORMS = {126: (4, ">H", 126), 127: (10, ">Q", 0x10000)}


def decode_header(buf, pos: int = 0) -> Optional[Header]:
    """The frame header at buf[pos:], or None when it is not all there."""
    if len(buf) < pos + 2:
        return None
    first, second = buf[pos], buf[pos + 1]
    size = second & 0x7F
    head, minimal = 2, True
    if size in LENGTH_FORMS:
        head, form, smallest = LENGTH_FORMS[size]
        if len(buf) < pos + head:
            return None
        size = struct.unpack_from(form, buf, pos + 2)[0]
        minimal = size >= smallest
    masked = bool(second & 0x80)
    if len(buf) < pos + head + (4 if masked else 0):
        return None
    key = bytes(buf[pos + head:pos + head + 4]) if masked else b""
    return Header(bool(first & 0x80), (first >> 4) & 7, first & 0xF, size, masked, key, minimal,
                  pos + head + len(key))


def parse_frame(buf: bytearray):
    """One frame from the front of buf: (Frame, bytes used), or None when
    buf does not yet hold a whole frame. Masked frames are unmasked."""
    h = decode_header(buf)
    if h is None or len(buf) < h.body + h.size:
        return None
    payload = bytes(buf[h.body:h.body + h.size])
    if h.masked:
        payload = mask_payload(payload, h.key)
    return Frame(h.fin, h.rsv, h.opcode, payload, h.masked, h.minimal), h.body + h.size


def _frame_text(fin: bool, rsv: int, opcode: int, size: int, shown: bytes,
                note: str, minimal: bool) -> str:
    bits = [op_name(opcode), "fin" if fin else "no-fin"]
    if rsv:
        bits.append("rsv=%d%d%d" % ((rsv >> 2) & 1, (rsv >> 1) & 1, rsv & 1))
    if note:
        bits.append(note)
    if not minimal:
        bits.append("non-minimal-length")
    bits.append("len=%d" % size)
    if shown:
        bits.append("[" + shown.hex(" ") + (" ..." if size > len(shown) else "") + "]")
    return " ".join(bits)


def describe_frame(frame: Frame, limit: int = 16) -> str:
    """Short text of a frame received from the server (for logs)."""
    return _frame_text(frame.fin, frame.rsv, frame.opcode, len(frame.payload),
                       frame.payload[:limit], "MASKED" if frame.masked else "", frame.minimal)


def describe_wire(data: bytes, max_frames: int = 4, limit: int = 16) -> list:
    """Texts for the first frames of bytes a client writes (for logs).
    Only headers and the first payload bytes are decoded, so this stays
    cheap for megabyte writes."""
    texts = []
    pos = 0
    while pos < len(data) and len(texts) < max_frames:
        h = decode_header(data, pos)
        if h is None:
            texts.append("partial header [%s]" % bytes(data[pos:]).hex(" "))
            return texts
        shown = bytes(data[h.body:h.body + min(h.size, limit)])
        if h.masked:
            shown = mask_payload(shown, h.key)
        texts.append(_frame_text(h.fin, h.rsv, h.opcode, h.size, shown,
                                 "" if h.masked else "UNMASKED", h.minimal))
        pos = h.body + h.size
    if pos < len(data):
        texts.append("... (%d bytes in this write)" % len(data))
    return texts


class HandshakeReply(NamedTuple):
    status: Optional[int]          # None: no HTTP answer at all
    headers: dict                  # lower-case name -> value
    key: str
    ended: Optional[str]           # how the TCP connection ended, if it did


class HandshakeError(Exception):
    pass


class Conn:
    """One TCP connection to the server, non-blocking underneath."""

    def __init__(self, port: int, connect_timeout: float = 3.0):
        self.sock = socket.create_connection((HOST, port), timeout=connect_timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)
        self.inbuf = bytearray()
        self.frames = collections.deque()
        self.ended: Optional[str] = None
        self.close_seen = False        # a close frame came from the server
        self.close_sent = False        # we wrote a close frame
        self.send_failed = False
        self.protocol: Optional[str] = None
        self.sent_log = []
        self.recv_log = []

    # -- logs -------------------------------------------------------------
    def _log(self, log: list, text: str):
        if len(log) < LOG_LIMIT:
            log.append(text)
        elif len(log) == LOG_LIMIT:
            log.append("...")

    # -- receiving --------------------------------------------------------
    def _recv(self) -> bool:
        """Append what the socket holds now to inbuf; False (and `ended`
        set) once the connection has ended."""
        try:
            chunk = self.sock.recv(RECV_SIZE)
        except (BlockingIOError, InterruptedError):
            return True
        except (ConnectionResetError, ConnectionAbortedError):
            self.ended = "reset"
            return False
        if not chunk:
            self.ended = "eof"
            return False
        self.inbuf += chunk
        return True

    def _fill(self):
        """Read what the socket holds now; parse whole frames."""
        if self._recv():
            self._parse()

    def _parse(self):
        while True:
            parsed = parse_frame(self.inbuf)
            if parsed is None:
                return
            frame, used = parsed
            del self.inbuf[:used]
            if frame.opcode == OP_CLOSE:
                self.close_seen = True
            self.frames.append(frame)

    def read_frame(self, timeout: float):
        """Next frame from the server, or Ended("eof"/"reset"/"timeout")."""
        deadline = time.monotonic() + max(timeout, 0.0)
        while not self.frames and self.ended is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return Ended("timeout")
            readable, _, _ = select.select([self.sock], [], [], remaining)
            if readable:
                self._fill()
        if self.frames:
            frame = self.frames.popleft()
            self._log(self.recv_log, describe_frame(frame))
            return frame
        how = self.ended
        if self.inbuf:
            self._log(self.recv_log, "%d bytes of an unfinished frame" % len(self.inbuf))
        self._log(self.recv_log, "TCP " + how)
        return Ended(how)

    def read_http_head(self, timeout: float) -> Optional[bytes]:
        """Bytes of an HTTP head (up to the blank line), or None if the
        connection ended or the deadline passed first. Bytes after the
        head stay buffered as frame data."""
        deadline = time.monotonic() + timeout
        while b"\r\n\r\n" not in self.inbuf and self.ended is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            readable, _, _ = select.select([self.sock], [], [], remaining)
            if readable and not self._recv():
                break
        end = self.inbuf.find(b"\r\n\r\n")
        if end < 0:
            return None
        head = bytes(self.inbuf[:end + 4])
        del self.inbuf[:end + 4]
        self._parse()
        return head

    # -- sending ----------------------------------------------------------
    def send(self, data: bytes, chunk: Optional[int] = None, delay: float = 0.0,
             timeout: float = 30.0, log: bool = True, answering_close: bool = False) -> bool:
        """Write data in writes of at most `chunk` bytes (all at once when
        None), sleeping `delay` seconds between writes, reading whatever
        arrives meanwhile. Stops early when the server ended the connection
        or sent a close frame (unless this is the answer to that close
        frame). True if every byte was written."""
        if log:
            for text in describe_wire(data):
                self._log(self.sent_log, text + (" (in %d-byte writes)" % chunk if chunk else ""))
        if self._writes_close(data):
            self.close_sent = True
        view = memoryview(data)
        offset = 0
        deadline = time.monotonic() + timeout
        while offset < len(view):
            if self.ended is not None or (self.close_seen and not answering_close) or self.send_failed:
                return False
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            readable, writable, _ = select.select([self.sock], [self.sock], [], remaining)
            if readable:
                self._fill()
            if not writable or self.ended is not None:
                continue
            size = chunk if chunk else 1 << 20
            try:
                offset += self.sock.send(view[offset:offset + size])
            except (BlockingIOError, InterruptedError):
                continue
            except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
                self.send_failed = True
                self._log(self.sent_log, "write failed after %d of %d bytes" % (offset, len(view)))
                return False
            if delay and offset < len(view):
                time.sleep(delay)
        return True

    @staticmethod
    def _writes_close(data: bytes) -> bool:
        """Whether the frames in data (client frames we built) include a
        close frame; walks headers only."""
        pos = 0
        while (h := decode_header(data, pos)) is not None:
            if h.opcode == OP_CLOSE:
                return True
            pos = h.body + h.size
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    # -- handshake --------------------------------------------------------
    def handshake(self, port: int, protocols=None, key: Optional[str] = None,
                  version: str = "13", omit=(), timeout: float = 3.0) -> HandshakeReply:
        """Send the opening request and read the HTTP answer."""
        key_given = key is not None
        key = key if key_given else base64.b64encode(os.urandom(16)).decode("ascii")
        headers = [("Host", "%s:%d" % (HOST, port)), ("Upgrade", "websocket"),
                   ("Connection", "Upgrade"), ("Sec-WebSocket-Key", key),
                   ("Sec-WebSocket-Version", version)]
        if protocols:
            headers.append(("Sec-WebSocket-Protocol", ", ".join(protocols)))
        headers = [(n, v) for n, v in headers if n not in omit]
        request = "GET / HTTP/1.1\r\n" + "".join("%s: %s\r\n" % h for h in headers) + "\r\n"
        unusual = ["%s: %s" % (n, v) for n, v in headers
                   if n == "Sec-WebSocket-Protocol" or (n == "Sec-WebSocket-Version" and v != "13")]
        unusual += ["given key %r" % key] if key_given else []
        unusual += ["without %s" % n for n in omit]
        self._log(self.sent_log, "handshake" + (" (%s)" % "; ".join(unusual) if unusual else ""))
        self.send(request.encode("ascii"), timeout=timeout, log=False)
        head = self.read_http_head(timeout)
        if head is None:
            self._log(self.recv_log, "no HTTP answer (%s)" % (self.ended or "timeout"))
            return HandshakeReply(None, {}, key, self.ended)
        lines = head.decode("latin-1").split("\r\n")
        words = lines[0].split(" ", 2)
        status = int(words[1]) if len(words) > 1 and words[1].isdigit() else -1
        fields = {}
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                fields[name.strip().lower()] = value.strip()
        self._log(self.recv_log, "HTTP " + lines[0])
        return HandshakeReply(status, fields, key, None)


def upgrade_problem(reply: HandshakeReply, protocols=None) -> Optional[str]:
    """What is wrong with a handshake answer that should accept the
    upgrade, or None when it is a correct 101 for our request."""
    if reply.status is None:
        return "no HTTP answer (%s)" % (reply.ended or "timeout")
    if reply.status != 101:
        return "HTTP status %d instead of 101" % reply.status
    h = reply.headers
    if h.get("upgrade", "").lower() != "websocket":
        return "Upgrade header is %r" % h.get("upgrade")
    if "upgrade" not in [t.strip().lower() for t in h.get("connection", "").split(",")]:
        return "Connection header is %r" % h.get("connection")
    if h.get("sec-websocket-accept") != accept_for(reply.key):
        return "Sec-WebSocket-Accept is %r, expected %r" % (
            h.get("sec-websocket-accept"), accept_for(reply.key))
    if "sec-websocket-extensions" in h:
        return "extension %r answered though none was offered" % h["sec-websocket-extensions"]
    chosen = h.get("sec-websocket-protocol")
    if chosen is not None and chosen not in (protocols or []):
        return "sub-protocol %r answered, offered were %r" % (chosen, protocols or [])
    return None


def open_ws(port: int, protocols=None, timeout: float = 3.0) -> Conn:
    """Connected Conn after a successful opening handshake."""
    conn = Conn(port, timeout)
    reply = conn.handshake(port, protocols, timeout=timeout)
    problem = upgrade_problem(reply, protocols)
    if problem:
        conn.close()
        raise HandshakeError(problem)
    conn.protocol = reply.headers.get("sec-websocket-protocol")
    return conn
