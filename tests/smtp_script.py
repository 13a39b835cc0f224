"""A scripted SMTP server on loopback: answers from a script, records what the client sent."""

import re
import select
import socket
import threading
import traceback
from typing import NamedTuple

CLOSE = "<close the connection instead of replying>"
STALL = "<never reply, keep reading>"


class Trickle(NamedTuple):
    """Send the reply one byte at a time, `interval` seconds apart."""
    reply: str
    interval: float


def long_line(code, length):
    """A single reply line `length` characters long (CRLF not counted)."""
    return f"{code} ".ljust(length, "x")


DEFAULTS = {"GREETING": "220 test ESMTP", "HELO": "250 test", "EHLO": "250 test", "MAIL": "250 ok",
            "RCPT": "250 ok", "DATA": "354 go ahead", "DATA_END": "250 queued", "QUIT": "221 bye"}


class ScriptedSMTP:
    """One listening socket served by one daemon thread, one connection at a time.

    Recorded attributes (commands, data, ...) are read through __getattr__, which first
    waits for every connection to end, so that they are complete once the client exited.
    """

    def __init__(self, script):
        self._script = {k.upper(): list(v) if isinstance(v, list) else v for k, v in script.items()}
        self._rec = _Record()
        self.error = None
        self._stop = threading.Event()
        self._idle = threading.Event()
        self._idle.set()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        self._settle()
        return getattr(self._rec, name)

    def stop(self):
        self._stop.set()
        self._thread.join(3)
        self._listener.close()

    def _settle(self, timeout=3.0):
        # Look for a waiting connection before looking at _idle: the thread clears _idle
        # before it accepts, so a connection is never missed in between.
        for _ in range(int(timeout / 0.02)):
            if not _readable(self._listener) and self._idle.is_set():
                return
            self._stop.wait(0.02)

    def _run(self):
        try:
            while not self._stop.is_set():
                self._idle.set()
                if not _readable(self._listener, 0.02):
                    continue
                self._idle.clear()
                conn, _ = self._listener.accept()
                self._rec.connection_count += 1
                conn.settimeout(0.2)
                self._buf = b""
                try:
                    self._converse(conn)
                except OSError:
                    pass  # the client left, or the script ended the connection
                finally:
                    conn.close()
        except Exception:
            self.error = traceback.format_exc()
        finally:
            self._idle.set()

    def _converse(self, conn):
        rec = self._rec
        self._reply(conn, "GREETING", "greeting")
        while (line := self._readline(conn)) is not None:
            verb = rec.add_command(line)
            sent = self._reply(conn, verb, line.decode("latin-1").rstrip())
            if verb == "QUIT":
                return
            if verb == "DATA" and sent.startswith(b"3"):
                rec.data_terminators.append(None)
                while (line := self._readline(conn)) not in (b".\r\n", b".\n"):
                    if line is None:
                        return
                    rec.data += line
                # A bare-LF "." ends the data too, so that a faulty client cannot hang
                # the test; data_terminators tells the two apart.
                rec.data_terminators[-1] = line
                self._reply(conn, "DATA_END", "DATA_END")

    def _reply(self, conn, key, said):
        value = self._script.get(key)
        if isinstance(value, list):  # one per occurrence, then the default
            value = value.pop(0) if value else None
        if value is None:
            value = DEFAULTS.get(key, "502 unknown command")
        if value is CLOSE:
            raise ConnectionAbortedError
        if value is STALL:
            while (line := self._readline(conn)) is not None:
                self._rec.add_command(line)
            raise ConnectionAbortedError
        if self._buf or _readable(conn):
            self._rec.input_before_reply.append(said)
        reply = value.reply if isinstance(value, Trickle) else value
        data = "".join(line + "\r\n" for line in reply.splitlines()).encode()
        if isinstance(value, Trickle):
            for i in range(len(data)):
                conn.sendall(data[i:i + 1])
                if self._stop.wait(value.interval):
                    raise ConnectionAbortedError
        else:
            conn.sendall(data)
        return data

    def _readline(self, conn):
        """The next line with its line end; None once the client closed or the test ended."""
        while b"\n" not in self._buf:
            if self._stop.is_set():
                return None
            try:
                chunk = conn.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                return None
            self._rec.raw += chunk
            self._buf += chunk
        line, _, self._buf = self._buf.partition(b"\n")
        return line + b"\n"


class _Record:
    """What the client sent over all connections."""

    def __init__(self):
        self.raw = b""
        self.commands = []
        self.data = b""  # still dot-stuffed, without the final "." line
        self.data_terminators = []  # one per DATA accepted; None while unended
        self.input_before_reply = []  # where the client talked before it had the reply
        self.quit_received = False
        self.connection_count = 0

    def add_command(self, line):
        self.commands.append(line)
        verb = _verb(line)
        self.quit_received |= verb == "QUIT"
        return verb

    @property
    def verbs(self):
        return [_verb(c) for c in self.commands]

    def message(self):
        return re.sub(rb"(?m)^\.", b"", self.data)

    def has_bare_lf(self):
        return re.search(rb"(?<!\r)\n", self.raw) is not None


def _verb(line):
    return next(iter(line.split()), b"").decode("latin-1").upper()


def _readable(sock, timeout=0):
    return bool(select.select([sock], [], [], timeout)[0])
