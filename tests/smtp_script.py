"""A scripted SMTP server on loopback: answers from a script, records what the client sent."""

import base64
import binascii
import dataclasses
import re
import select
import socket
import ssl
import threading
import traceback
import warnings
from typing import NamedTuple, Optional

CLOSE = "<close the connection instead of replying>"
STALL = "<never reply, keep reading>"


class Trickle(NamedTuple):
    """Send the reply one byte at a time, `interval` seconds apart."""
    reply: str
    interval: float


def long_line(code, length):
    """A single reply line `length` characters long (CRLF not counted)."""
    return f"{code} ".ljust(length, "x")


class TLS(NamedTuple):
    """How a scripted server speaks TLS.

    cert: the certificates.ServerCert it presents.
    implicit: handshake right after accepting, before the greeting (a port such as 465);
        otherwise the handshake follows a 220 reply to STARTTLS.
    maximum_version: an ssl.TLSVersion the server goes no further than.
    ciphers: OpenSSL's cipher list for TLS 1.2 and older, when not its default.
    """
    cert: object
    implicit: bool = False
    maximum_version: Optional[ssl.TLSVersion] = None
    ciphers: Optional[str] = None

    def context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert.cert, self.cert.key)
        if self.maximum_version is not None:
            with warnings.catch_warnings():  # an outdated server is the point of this one
                warnings.simplefilter("ignore", DeprecationWarning)
                context.maximum_version = self.maximum_version
                if self.maximum_version < ssl.TLSVersion.TLSv1_2:
                    context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                    # OpenSSL 3 allows nothing older than TLS 1.2 at its default security level.
                    context.set_ciphers("DEFAULT:@SECLEVEL=0")
        if self.ciphers is not None:
            context.set_ciphers(self.ciphers)
        return context


DEFAULTS = {"GREETING": "220 test ESMTP", "HELO": "250 test", "EHLO": "250 test", "MAIL": "250 ok",
            "RCPT": "250 ok", "DATA": "354 go ahead", "DATA_END": "250 queued", "QUIT": "221 bye",
            "RSET": "250 ok"}
STARTTLS_DEFAULTS = {"EHLO": "250-test\r\n250 STARTTLS", "STARTTLS": "220 ready to start TLS"}
AUTH_DONE = "235 2.7.0 Authentication successful"
# Unless the script says otherwise, AUTH LOGIN asks "Username:" and "Password:", any other
# mechanism sends one empty challenge, an initial response answers the first challenge, and
# the server then accepts.
AUTH_CHALLENGES = {"LOGIN": ["VXNlcm5hbWU6", "UGFzc3dvcmQ6"]}


class ScriptedSMTP:
    """One listening socket served by one daemon thread, one connection at a time.

    Recorded attributes (commands, data, ...) are read through __getattr__, which first
    waits for every connection to end, so that they are complete once the client exited.
    """

    def __init__(self, script, tls=None, host="127.0.0.1"):
        self._script = {k.upper(): list(v) if isinstance(v, list) else v for k, v in script.items()}
        self._tls = tls
        self._context = tls.context() if tls else None
        self._rec = _Record()
        if self._context:
            def record_sni(_ssl, name, _context):
                self._rec.server_names.append(name)
            self._context.sni_callback = record_sni
        self.error = None
        # Set once a client has connected: by then it has read its options and opened its files.
        self.connected = threading.Event()
        self._stop = threading.Event()
        self._idle = threading.Event()
        self._idle.set()
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.create_server((host, 0), family=family)
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
                self._conn, _ = self._listener.accept()
                self._rec.connection_count += 1
                self._rec.log.append(("CONNECT", "", ""))
                self._rcpt_number = 0
                self.connected.set()
                self._conn.settimeout(0.2)
                self._buf = b""
                try:
                    self._converse()
                except OSError:
                    pass  # the client left, or the script ended the connection
                finally:
                    self._conn.close()  # the TLS layer, once there is one
        except Exception:
            self.error = traceback.format_exc()
        finally:
            self._idle.set()

    @property
    def _secure(self):
        return isinstance(self._conn, ssl.SSLSocket)

    def _converse(self):
        rec = self._rec
        if self._tls and self._tls.implicit:
            self._start_tls()
        self._reply("GREETING", "greeting")
        while (line := self._readline()) is not None:
            verb = rec.add_command(line, self._secure)
            if verb == "AUTH":
                self._authenticate(line.decode("latin-1").split())
                continue
            said = line.decode("latin-1").rstrip()
            if verb == "MAIL":
                self._rec.transaction_count += 1
                self._rcpt_number = 0
            if verb == "RCPT":
                self._rcpt_number += 1
            sent = self._reply(verb, said)
            if verb == "QUIT":
                return
            if verb == "STARTTLS" and sent.startswith(b"220") and self._context and not self._secure:
                self._start_tls()
            if verb == "DATA" and sent.startswith(b"3"):
                if self._script_value("DATA_BODY") is CLOSE:  # hang up in the middle of the data
                    raise ConnectionAbortedError
                rec.data_terminators.append(None)
                while (line := self._readline()) not in (b".\r\n", b".\n"):
                    if line is None:
                        return
                    rec.data += line
                # A bare-LF "." ends the data too, so that a faulty client cannot hang
                # the test; data_terminators tells the two apart.
                rec.data_terminators[-1] = line
                self._reply("DATA_END", "DATA_END")

    def _start_tls(self):
        """Runs the server's side of the handshake; whatever came before it is recorded and dropped."""
        # Commands pipelined behind STARTTLS were sent in the clear and must not count.
        self._rec.before_handshake += self._buf
        self._buf = b""
        if self._peek() != b"\x16":  # not the start of a TLS handshake: give up on the client
            chunk = self._conn.recv(65536)
            self._rec.raw += chunk
            self._rec.plaintext += chunk
            self._rec.before_handshake += chunk
            raise ConnectionAbortedError
        self._conn = self._context.wrap_socket(self._conn, server_side=True, do_handshake_on_connect=False)
        while True:
            try:
                self._conn.do_handshake()
                break
            except TimeoutError:
                if self._stop.is_set():
                    raise ConnectionAbortedError from None
            except OSError as error:
                self._rec.handshake_failures.append(getattr(error, "reason", None) or repr(error))
                raise
        self._rec.tls_versions.append(self._conn.version())

    def _peek(self):
        """The first byte the client has sent and not yet been read; b"" once it closed."""
        while not self._stop.is_set():
            try:
                return self._conn.recv(1, socket.MSG_PEEK)
            except TimeoutError:
                continue
        raise ConnectionAbortedError

    def _authenticate(self, words):
        """One AUTH exchange: replies from the script while they are 334, recording each answer."""
        mechanism = words[1].upper() if len(words) > 1 else ""
        initial = words[2] if len(words) > 2 else None
        exchange = AuthExchange(mechanism, _auth_initial(initial), [], self._secure)
        self._rec.auth.append(exchange)
        challenges = AUTH_CHALLENGES.get(mechanism, [""])[initial is not None:]
        said = f"AUTH {mechanism}"
        while True:
            if exchange.responses and exchange.responses[-1] == "*":
                default = "501 5.7.0 Authentication cancelled"
            else:
                default = f"334 {challenges.pop(0)}" if challenges else AUTH_DONE
            if not self._reply("AUTH", said, default).startswith(b"334"):
                return
            line = self._readline()
            if line is None:
                raise ConnectionAbortedError
            exchange.responses.append(_auth_decoded(line.decode("latin-1").rstrip("\r\n")))
            said = f"AUTH {mechanism} answer {len(exchange.responses)}"

    def _default(self, key):
        if key in STARTTLS_DEFAULTS and self._tls and not self._tls.implicit and not self._secure:
            return STARTTLS_DEFAULTS[key]
        if key == "STARTTLS" and self._secure:
            return "503 5.5.1 TLS already active"
        return DEFAULTS.get(key, "502 unknown command")

    def _arguments(self, key, said):
        """What a scripted function is called with: t, the transaction (MAIL) counted over all
        connections, and for RCPT also a, the address, and n, its place in the transaction."""
        context = {"t": self._rec.transaction_count}
        if key == "RCPT":
            context.update(a=said.partition("<")[2].rpartition(">")[0], n=self._rcpt_number)
        return context

    def _script_value(self, key):
        value = self._script.get(key)
        if isinstance(value, list):  # one per occurrence, then the default
            value = value.pop(0) if value else None
        return value

    def _reply(self, key, said, default=None):
        value = self._script_value(key)
        if callable(value) and key == "AUTH":  # a reply made from the exchange so far
            value = value(self._rec)
        elif callable(value):
            value = value(**self._arguments(key, said))
        if value is None:
            value = default or self._default(key)
        self._rec.log.append((key, said, value.reply if isinstance(value, Trickle) else value))
        if value is CLOSE:
            raise ConnectionAbortedError
        if value is STALL:
            while (line := self._readline()) is not None:
                self._rec.add_command(line, self._secure)
            raise ConnectionAbortedError
        if self._buf or _readable(self._conn):
            self._rec.input_before_reply.append(said)
        reply = value.reply if isinstance(value, Trickle) else value
        # surrogateescape: a script may hold bytes that are not UTF-8 ("\udcff" is 0xFF).
        data = "".join(line + "\r\n" for line in reply.splitlines()).encode("utf-8", "surrogateescape")
        if isinstance(value, Trickle):
            for i in range(len(data)):
                self._conn.sendall(data[i:i + 1])
                if self._stop.wait(value.interval):
                    raise ConnectionAbortedError
        else:
            self._conn.sendall(data)
        return data

    def _readline(self):
        """The next line with its line end; None once the client closed or the test ended."""
        while b"\n" not in self._buf:
            if self._stop.is_set():
                return None
            try:
                chunk = self._conn.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                return None
            self._rec.raw += chunk
            if self._secure:
                self._rec.decrypted += chunk
            else:
                self._rec.plaintext += chunk
            self._buf += chunk
        line, _, self._buf = self._buf.partition(b"\n")
        return line + b"\n"


@dataclasses.dataclass
class AuthExchange:
    """One AUTH command and the client's answers to each 334, base64-decoded to bytes where
    they are base64 (str where not, such as "*"). An initial response "=" is b""."""
    mechanism: str
    initial_response: object  # None when the client sent none
    responses: list
    over_tls: bool


class _Record:
    """What the client sent over all connections."""

    def __init__(self):
        self.raw = b""  # everything the client sent, decrypted where it came over TLS
        self.plaintext = b""  # what crossed the connections unencrypted
        self.decrypted = b""  # what came over TLS, decrypted
        self.before_handshake = b""  # sent in the clear where the client owed a TLS handshake
        self.tls_versions = []  # "TLSv1.3", ... one per completed handshake
        self.server_names = []  # SNI per handshake begun: a name, or None
        self.handshake_failures = []  # OpenSSL's reason, e.g. "TLSV1_ALERT_UNKNOWN_CA"
        self.auth = []  # AuthExchange
        self.commands = []
        self.commands_over_tls = []  # for each command, whether it came over TLS
        self.data = b""  # still dot-stuffed, without the final "." line
        self.data_terminators = []  # one per DATA accepted; None while unended
        self.input_before_reply = []  # where the client talked before it had the reply
        self.quit_received = False
        self.connection_count = 0
        self.transaction_count = 0  # MAIL commands
        self.log = []  # (verb, what the client said, the reply, CLOSE or STALL); CONNECT for each connection

    def delivered(self):
        """How often each address got the message as the server saw it: {address: (taken, maybe)}.
        Taken: the end of the data was answered 2yz. Maybe: the server closed or fell silent
        instead of answering it, so the client cannot know."""
        counts, accepted = {}, None
        for verb, said, reply in self.log:
            if verb in ("CONNECT", "RSET"):
                accepted = None
            elif verb == "MAIL":
                accepted = [] if reply.startswith("2") else None
            elif verb == "RCPT" and accepted is not None and reply not in (CLOSE, STALL) and reply.startswith("2"):
                accepted.append(said.partition("<")[2].rpartition(">")[0])
            elif verb == "DATA_END" and accepted is not None:
                taken = reply not in (CLOSE, STALL) and reply.startswith("2")
                maybe = reply in (CLOSE, STALL)
                for address in accepted:
                    was = counts.get(address, (0, 0))
                    counts[address] = (was[0] + taken, was[1] + maybe)
                accepted = None
        return counts

    def add_command(self, line, over_tls):
        self.commands.append(line)
        self.commands_over_tls.append(over_tls)
        verb = _verb(line)
        self.quit_received |= verb == "QUIT"
        return verb

    @property
    def verbs(self):
        return [_verb(c) for c in self.commands]

    @property
    def verbs_in_clear(self):
        return [_verb(c) for c, tls in zip(self.commands, self.commands_over_tls) if not tls]

    @property
    def verbs_over_tls(self):
        return [_verb(c) for c, tls in zip(self.commands, self.commands_over_tls) if tls]

    def crossed_in_clear(self, secret):
        """Whether `secret` was sent unencrypted, as it is or inside a base64 word."""
        secret = secret.encode() if isinstance(secret, str) else secret
        words = (_auth_decoded(w.decode("latin-1")) for w in self.plaintext.split())
        return secret in self.plaintext or any(isinstance(w, bytes) and secret in w for w in words)

    def message(self):
        return re.sub(rb"(?m)^\.", b"", self.data)

    def has_bare_lf(self):
        return re.search(rb"(?<!\r)\n", self.raw) is not None


def _verb(line):
    return next(iter(line.split()), b"").decode("latin-1").upper()


def _auth_decoded(text):
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error:
        return text


def _auth_initial(text):
    # "=" stands for an empty initial response, which could not be told from none.
    return None if text is None else b"" if text == "=" else _auth_decoded(text)


def _readable(sock, timeout=0):
    # TLS may hold decrypted bytes that the socket no longer shows.
    if isinstance(sock, ssl.SSLSocket) and sock.pending():
        return True
    return bool(select.select([sock], [], [], timeout)[0])
