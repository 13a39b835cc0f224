"""An aiosmtpd server on loopback that wants STARTTLS, then AUTH, before it takes any mail."""

import socket
import ssl
from typing import NamedTuple

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword
except ImportError:
    Controller = None

USER = "aio-user@example.test"
PASSWORD = "aio+Passw0rd/7"


def unavailable_reason():
    if Controller is None:
        return "aiosmtpd is not installed (scripts/install-deps.sh installs python3-aiosmtpd)"
    return None


class Delivery(NamedTuple):
    mail_from: str
    rcpt_tos: list
    content: bytes  # as received: CR LF line ends, dot-stuffing undone
    login: bytes  # the user who sent it


class AiosmtpdServer:
    """Presents `cert` (a certificates.ServerCert) on STARTTLS and takes PLAIN and LOGIN for
    USER with PASSWORD; `messages` lists a Delivery for each message accepted."""

    def __init__(self, cert):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert.cert, cert.key)
        self.messages = []
        self.port = _free_port()
        # A server_hostname of our own spares the DNS lookup of the machine's name.
        self._controller = Controller(self, hostname="127.0.0.1", port=self.port, server_hostname="localhost",
                                      tls_context=context, require_starttls=True, auth_required=True,
                                      authenticator=self._authenticate)
        self._controller.start()

    def stop(self):
        self._controller.stop()

    @staticmethod
    def _authenticate(server, session, envelope, mechanism, auth_data):
        expected = LoginPassword(USER.encode(), PASSWORD.encode())
        # handled=False: aiosmtpd itself then answers a failure with 535.
        return AuthResult(success=mechanism in ("PLAIN", "LOGIN") and auth_data == expected, handled=False,
                          auth_data=auth_data)

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(Delivery(envelope.mail_from, list(envelope.rcpt_tos), envelope.content,
                                      session.login_data))
        return "250 2.0.0 Message accepted"


def _free_port():
    # aiosmtpd checks that it answers on the port it was given, so it cannot take port 0.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
