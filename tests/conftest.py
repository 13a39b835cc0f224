"""Fixtures of the end-to-end tests: scripted_smtp, certs, postfix, aiosmtpd_server and run_larkpost."""

import functools
import signal

import pytest

import aiosmtpd_server as aiosmtpd_server_module
import certificates
import larkpost_runner
import postfix_instance
from smtp_script import ScriptedSMTP


def pytest_configure(config):
    # Let a SIGTERM (from `timeout`, say) end the run like Ctrl-C, so that teardown stops Postfix.
    signal.signal(signal.SIGTERM, signal.default_int_handler)


@pytest.fixture
def scripted_smtp():
    """scripted_smtp(script=None, tls=None, **replies) starts a server that lives as long as the test.

    `tls` is a smtp_script.TLS: the certificate to present, implicit TLS or STARTTLS, and so on.
    `host`: the address to listen on ("::1" for IPv6).
    """
    servers = []

    def start(script=None, tls=None, host="127.0.0.1", **replies):
        servers.append(ScriptedSMTP({**(script or {}), **replies}, tls, host))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()
    errors = [server.error for server in servers if server.error]
    if errors:
        pytest.fail("the scripted SMTP server broke:\n" + "\n".join(errors), pytrace=False)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """The session's certificates.Certificates: a trusted CA and server certificates good and bad."""
    reason = certificates.unavailable_reason()
    if reason:
        larkpost_runner.skip_or_fail(reason, "TOOLS")
    return certificates.Certificates(tmp_path_factory.mktemp("certificates"))


@pytest.fixture(scope="session")
def postfix_session(certs):
    reason = postfix_instance.unavailable_reason()
    if reason:
        larkpost_runner.skip_or_fail(reason, "POSTFIX")
    instance = postfix_instance.Postfix(certs.localhost)
    yield instance
    instance.stop()


@pytest.fixture
def postfix(postfix_session):
    if not postfix_session.running:
        pytest.fail(f"Postfix is no longer running:\n{postfix_session.log_tail()}", pytrace=False)
    return postfix_session


@pytest.fixture
def aiosmtpd_server(certs):
    """An aiosmtpd_server.AiosmtpdServer that lives as long as the test."""
    reason = aiosmtpd_server_module.unavailable_reason()
    if reason:
        larkpost_runner.skip_or_fail(reason, "TOOLS")
    server = aiosmtpd_server_module.AiosmtpdServer(certs.localhost)
    yield server
    server.stop()


@pytest.fixture
def run_larkpost(tmp_path):
    """run_larkpost(args=(), stdin=b"", settings=None, env=None, timeout=30) -> (status, stdout)."""
    return functools.partial(larkpost_runner.run_larkpost, tmp_path)
