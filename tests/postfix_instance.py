"""A throw-away, strict Postfix on loopback that delivers all mail for example.test into one Maildir.

Besides its plain port it listens on a submission port that requires STARTTLS and AUTH, and on
one with implicit TLS that requires AUTH; both take PLAIN and LOGIN for one user.
"""

import atexit
import contextlib
import email.parser
import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

DOMAIN = "example.test"
SASL_USER = f"tester@{DOMAIN}"
SASL_PASSWORD = "0pen+Sesame/42"


def unavailable_reason():
    if not Path("/usr/sbin/postconf").exists():
        return "Postfix is not installed (scripts/install-deps.sh installs it)"
    if not Path("/usr/sbin/saslpasswd2").exists() or not list(Path("/usr/lib").glob("*/sasl2/libplain.so")):
        return "Cyrus SASL is not installed (scripts/install-deps.sh installs it)"
    if os.geteuid() != 0:
        return "a Postfix instance of our own needs root"
    return None


def _free_ports(count):
    """Distinct loopback ports that nothing listens on (held together so none comes twice)."""
    with contextlib.ExitStack() as stack:
        sockets = [stack.enter_context(socket.socket()) for _ in range(count)]
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]


def _poll(condition, timeout):
    """Whether condition() comes true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def strip_trace_headers(raw):
    """The message as the client sent it, without the headers Postfix put on top."""
    lines = raw.splitlines(keepends=True)
    i = 0
    for name in (b"return-path:", b"x-original-to:", b"delivered-to:"):
        if i < len(lines) and lines[i].lower().startswith(name):
            i += 1
    if i < len(lines) and lines[i].lower().startswith(b"received:"):
        i += 1
        while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
            i += 1
    return b"".join(lines[i:])


class Postfix:
    """port: plain SMTP. starttls_port: STARTTLS, then AUTH, before any mail. implicit_tls_port:
    TLS from the start, then AUTH. Both present `cert` (a certificates.ServerCert) and accept
    SASL_USER with SASL_PASSWORD."""

    def __init__(self, cert):
        # Under /tmp rather than pytest's tmp_path (0700): the postfix user must get in.
        self.dir = Path(tempfile.mkdtemp(prefix="larkpost-postfix-", dir="/tmp"))
        self.dir.chmod(0o755)
        self.maildir = self.dir / "mail" / DOMAIN / "Maildir"
        self.port, self.starttls_port, self.implicit_tls_port = _free_ports(3)
        self.master = None
        atexit.register(self.stop)
        try:
            self._configure(cert)
            daemons = subprocess.run(["/usr/sbin/postconf", "-dh", "daemon_directory"], capture_output=True,
                                     text=True, check=True).stdout.strip()
            # Its own process group, so that stop() reaches every daemon. -e ends it on its
            # own should this process die without stopping it.
            self.master = subprocess.Popen([f"{daemons}/master", "-c", str(self.dir / "etc"), "-e", "7200"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           start_new_session=True)
            if not (_poll(lambda: not self.running or self._answers(), 20) and self.running):
                raise RuntimeError(f"Postfix did not start:\n{self.log_tail()}")
        except BaseException:
            self.stop()
            raise

    def _configure(self, cert):
        etc, queue, data, mail = (self.dir / name for name in ("etc", "queue", "data", "mail"))
        for d in (etc, queue, data, mail):
            d.mkdir()
        postfix, nobody = pwd.getpwnam("postfix"), pwd.getpwnam("nobody")
        os.chown(data, postfix.pw_uid, postfix.pw_gid)
        os.chown(mail, nobody.pw_uid, nobody.pw_gid)
        # virtual(8) takes no $1 from a regexp map: every recipient shares one Maildir, and
        # Delivered-To tells the copies apart. Local parts unknown* are refused with 550.
        (etc / "mailboxes").write_text(f"if !/^unknown/\n/@{DOMAIN}$/ {DOMAIN}/Maildir/\nendif\n")
        main = {
            "compatibility_level": "3.6",
            "queue_directory": queue,
            "data_directory": data,
            "myhostname": f"mx.{DOMAIN}",
            "mydestination": "",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            # Nothing leaves this machine.
            "default_transport": "error:no mail leaves this test host",
            "relay_transport": "error:no mail leaves this test host",
            "smtpd_relay_restrictions": "reject_unauth_destination",
            "local_recipient_maps": "",
            "virtual_mailbox_domains": DOMAIN,
            "virtual_mailbox_base": mail,
            "virtual_mailbox_maps": f"regexp:{etc}/mailboxes",
            "virtual_uid_maps": f"static:{nobody.pw_uid}",
            "virtual_gid_maps": f"static:{nobody.pw_gid}",
            # Strict, to catch a client that bends the protocol.
            "smtpd_forbid_bare_newline": "reject",
            "smtpd_forbid_bare_newline_exclusions": "",
            "smtpd_forbid_unauth_pipelining": "yes",
            # As many relays do: the client must split longer lists into transactions.
            "smtpd_recipient_limit": "100",
            "smtpd_helo_required": "yes",
            "strict_rfc821_envelopes": "yes",
            # Keep the message as the client sent it: no added Date, Message-ID or From.
            "local_header_rewrite_clients": "",
            # No deliberate pauses after errors or under load, nor DNS lookups of the client.
            "smtpd_error_sleep_time": "0",
            "in_flow_delay": "0",
            "smtpd_peername_lookup": "no",
            "maillog_file": self.dir / "maillog",
            "maillog_file_prefixes": self.dir,
        }
        (etc / "main.cf").write_text("".join(f"{k} = {v}\n" for k, v in main.items()))
        (etc / "master.cf").write_text("\n".join([
            f"127.0.0.1:{self.port} inet n - n - - smtpd",
            *self._submission_service(self.starttls_port, smtpd_tls_wrappermode="no"),
            *self._submission_service(self.implicit_tls_port, smtpd_tls_wrappermode="yes"),
            "tlsmgr unix - - n 1000? 1 tlsmgr",
            "cleanup unix n - n - 0 cleanup",
            "qmgr unix n - n 300 1 qmgr",
            "rewrite unix - - n - - trivial-rewrite",
            "bounce unix - - n - 0 bounce",
            "defer unix - - n - 0 bounce",
            "trace unix - - n - 0 bounce",
            "flush unix n - n 1000? 0 flush",
            "error unix - - n - - error",
            "retry unix - - n - - error",
            "virtual unix - n n - - virtual",
            "anvil unix - - n - 1 anvil",
            "postlog unix-dgram n - n - 1 postlogd",
        ]) + "\n")
        self._configure_tls_and_sasl(cert)
        # Postfix waits for config files changed within the last second to settle.
        past = time.time() - 60
        for f in etc.iterdir():
            os.utime(f, (past, past))
        # What `postfix check` would create; it takes seconds.
        postdrop = grp.getgrnam("postdrop").gr_gid
        layout = dict.fromkeys(("active", "bounce", "corrupt", "defer", "deferred", "flush", "hold",
                                "incoming", "private", "saved", "trace"), (postfix.pw_uid, 0, 0o700))
        layout.update(maildrop=(postfix.pw_uid, postdrop, 0o730), public=(postfix.pw_uid, postdrop, 0o710),
                      pid=(0, 0, 0o755))
        for name, (uid, gid, mode) in layout.items():
            (queue / name).mkdir()
            os.chown(queue / name, uid, gid)
            (queue / name).chmod(mode)

    def _submission_service(self, port, **options):
        """master.cf lines of a listener that wants TLS and AUTH before it takes any mail."""
        etc = self.dir / "etc"
        options = {
            "smtpd_tls_security_level": "encrypt",
            "smtpd_tls_cert_file": etc / "smtpd.pem",
            "smtpd_tls_key_file": etc / "smtpd.key",
            "smtpd_tls_auth_only": "yes",
            "smtpd_sasl_auth_enable": "yes",
            "smtpd_sasl_type": "cyrus",
            "smtpd_sasl_path": "smtpd",
            "cyrus_sasl_config_path": etc / "sasl",
            "smtpd_sasl_local_domain": DOMAIN,
            "smtpd_recipient_restrictions": "permit_sasl_authenticated,reject",
            **options,
        }
        return [f"127.0.0.1:{port} inet n - n - - smtpd"] + [f"  -o {k}={v}" for k, v in options.items()]

    def _configure_tls_and_sasl(self, cert):
        etc = self.dir / "etc"
        # smtpd reads its key as root, before it drops privileges.
        shutil.copyfile(cert.cert, etc / "smtpd.pem")
        shutil.copyfile(cert.key, etc / "smtpd.key")
        (etc / "smtpd.key").chmod(0o600)
        # Cyrus SASL checks passwords against a database of our own, which smtpd opens
        # after it became the postfix user.
        sasl = etc / "sasl"
        sasl.mkdir()
        sasldb = sasl / "sasldb2"
        (sasl / "smtpd.conf").write_text(f"pwcheck_method: auxprop\nauxprop_plugin: sasldb\n"
                                         f"mech_list: PLAIN LOGIN\nsasldb_path: {sasldb}\n")
        user, _, realm = SASL_USER.partition("@")
        subprocess.run(["/usr/sbin/saslpasswd2", "-c", "-p", "-f", sasldb, "-u", realm, user],
                       input=SASL_PASSWORD.encode(), capture_output=True, check=True)
        postfix = pwd.getpwnam("postfix")
        os.chown(sasldb, postfix.pw_uid, postfix.pw_gid)
        sasldb.chmod(0o600)

    def _answers(self):
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), 5) as s:
            return s.recv(512).startswith(b"220")
        return False

    @property
    def running(self):
        return self.master is not None and self.master.poll() is None

    def stop(self):
        if self.running:
            os.killpg(self.master.pid, signal.SIGTERM)  # the master and all its daemons
            try:
                self.master.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.master.pid, signal.SIGKILL)
                self.master.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_tail(self, lines=30):
        with contextlib.suppress(OSError):
            return "\n".join((self.dir / "maillog").read_text(errors="replace").splitlines()[-lines:])
        return "(no mail log)"

    def address(self, tag):
        """An address no other test uses: the instance lives for the whole session."""
        return f"{tag}-{uuid.uuid4().hex[:10]}@{DOMAIN}"

    def _deliveries(self):
        """(recipient, raw copy with LF line ends) of everything delivered so far."""
        parser = email.parser.BytesHeaderParser()
        copies = [p.read_bytes() for p in sorted((self.maildir / "new").glob("*"))]
        return [(str(parser.parsebytes(raw)["Delivered-To"]).lower(), raw) for raw in copies]

    def _queue_empty(self):
        queues = ("maildrop", "incoming", "active", "deferred", "hold")
        return not any(f.is_file() for q in queues for f in (self.dir / "queue" / q).rglob("*"))

    def messages(self, rcpt):
        return [raw for to, raw in self._deliveries() if to == rcpt.lower()]

    def wait_for_messages(self, rcpt, count=1, timeout=10):
        """Every copy for `rcpt`, once there are `count` and the queue has drained."""
        if not _poll(lambda: len(self.messages(rcpt)) >= count, timeout):
            raise AssertionError(f"no {count} message(s) for {rcpt} within {timeout} s:\n{self.log_tail()}")
        _poll(self._queue_empty, timeout)
        return self.messages(rcpt)

    def recipients_of(self, marker):
        """Sorted recipients of the copies that contain `marker`, once the queue has drained."""
        _poll(self._queue_empty, 10)
        return sorted(to for to, raw in self._deliveries() if marker.encode() in raw)
