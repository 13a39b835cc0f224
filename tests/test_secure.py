"""TLS, certificates and logins end to end: scripted fault servers, Postfix with Cyrus SASL, aiosmtpd."""

import base64
import email
import email.policy
import json
import os
import ssl
import subprocess

import pytest

import aiosmtpd_server as aiosmtpd
import postfix_instance
from larkpost_runner import host_path, is_windows_build, output, server_settings, text
from smtp_script import CLOSE, STALL, TLS, AuthExchange

BODY = b"Subject: secure\n\nover TLS\n"
SECRET = "s3cret-p4ss"
WARNING = "Warning: TlsVerify=no, the server's certificate is not checked\n"


def tls_settings(srv, certs, **extra):
    return server_settings(srv.port, CAFile=host_path(certs.ca), **extra)


def login_env(secret=SECRET):
    return {"LARKPOST_PASSWORD": secret}


@pytest.mark.parametrize("auth, offered, exchange", [
    ("auto", "PLAIN LOGIN", AuthExchange("PLAIN", b"\0me@example.test\0" + SECRET.encode(), [], True)),
    ("auto", "LOGIN", AuthExchange("LOGIN", None, [b"me@example.test", SECRET.encode()], True)),
    ("xoauth2", "XOAUTH2 PLAIN",
     AuthExchange("XOAUTH2", f"user=me@example.test\x01auth=Bearer {SECRET}\x01\x01".encode(), [], True)),
    ("oauthbearer", "OAUTHBEARER",
     AuthExchange("OAUTHBEARER", f"n,a=me@example.test,\x01host=127.0.0.1\x01port=PORT\x01auth=Bearer {SECRET}\x01\x01"
                  .encode(), [], True)),
])
def test_starttls_then_login(scripted_smtp, certs, run_larkpost, auth, offered, exchange):
    srv = scripted_smtp(tls=TLS(certs.localhost),
                        EHLO=["250-test\r\n250-AUTH PLAIN\r\n250 STARTTLS", f"250-test\r\n250 AUTH {offered}"])
    result = run_larkpost(["a@x.test"], stdin=BODY, env=login_env(),
                          settings=tls_settings(srv, certs, Security="starttls", User="me@example.test", Auth=auth))
    assert (result.status, result.stdout) == (0, output(""))
    assert srv.verbs_in_clear == ["EHLO", "STARTTLS"]
    assert srv.verbs_over_tls == ["EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"]
    exchange.initial_response = exchange.initial_response and exchange.initial_response.replace(
        b"PORT", str(srv.port).encode())
    assert srv.auth == [exchange]
    assert not srv.crossed_in_clear(SECRET)
    assert srv.before_handshake == b""
    assert srv.message() == b"Subject: secure\r\n\r\nover TLS\r\n"


def test_implicit_tls_and_fingerprint(scripted_smtp, certs, run_larkpost):
    srv = scripted_smtp(tls=TLS(certs.self_signed, implicit=True))
    for fingerprint in (certs.self_signed.fingerprint, certs.self_signed.fingerprint.replace(":", "").lower()):
        status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(
            srv.port, Security="tls", Fingerprint=fingerprint))
        assert (status, stdout) == (0, output(""))
    assert srv.verbs_in_clear == []
    assert srv.tls_versions and all(v in ("TLSv1.2", "TLSv1.3") for v in srv.tls_versions)


@pytest.mark.parametrize("cert, reason", [
    ("other_name", "the certificate is not for 127.0.0.1"),
    ("expired", "the certificate has expired"),
    ("not_yet_valid", "the certificate is not valid yet"),
    ("self_signed", "the certificate is self-signed (trust it with Fingerprint or CAFile)"),
    ("unknown_issuer", "its issuer is unknown (name the CA in CAFile, or pin the certificate with Fingerprint)"),
    ("no CAFile", "its issuer is unknown (name the CA in CAFile, or pin the certificate with Fingerprint)"),
    ("wrong fingerprint", None),
])
def test_untrusted_server_gets_nothing(scripted_smtp, certs, run_larkpost, cert, reason):
    server_cert = certs.localhost if cert in ("no CAFile", "wrong fingerprint") else getattr(certs, cert)
    srv = scripted_smtp(tls=TLS(server_cert))
    settings = server_settings(srv.port, Security="starttls", User="me@example.test")
    if cert != "no CAFile":
        settings["CAFile"] = host_path(certs.ca)
    if cert == "wrong fingerprint":
        settings["Fingerprint"] = certs.self_signed.fingerprint
        reason = f"its SHA-256 fingerprint is {certs.localhost.fingerprint}, not the one in Fingerprint"
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings, env=login_env())
    assert (result.status, result.stdout) == (1, output(f"Certificate of server (127.0.0.1) not trusted: {reason}\n"))
    assert srv.verbs_over_tls == [] and srv.decrypted == b""
    assert not srv.crossed_in_clear(SECRET)


def test_tls_verify_no_warns_on_every_run(scripted_smtp, certs, run_larkpost):
    srv = scripted_smtp(tls=TLS(certs.expired))
    status, stdout = run_larkpost(["--tls-verify=no", "a@x.test"], stdin=BODY,
                                  settings=server_settings(srv.port, Security="starttls"))
    assert (status, stdout) == (0, output(WARNING))


@pytest.mark.parametrize("script, message, quit", [
    ({"STARTTLS": "220 go ahead\r\n250-injected\r\n250 AUTH PLAIN"},
     "Server (127.0.0.1) sent data it had no reason to send before the TLS handshake; nothing more was sent\n",
     False),
    ({"EHLO": "250-test\r\n250 AUTH PLAIN"}, "Server (127.0.0.1) does not offer STARTTLS\n", True),
    ({"STARTTLS": "454 4.7.0 TLS not available"}, "Server (127.0.0.1) refused STARTTLS\n", True),
    ({"EHLO": "502 what"}, "Server (127.0.0.1) does not offer STARTTLS\n", True),
])
def test_starttls_failures(scripted_smtp, certs, run_larkpost, script, message, quit):
    srv = scripted_smtp(script, tls=TLS(certs.localhost))
    result = run_larkpost(["a@x.test"], stdin=BODY, env=login_env(),
                          settings=tls_settings(srv, certs, Security="starttls", User="me@example.test"))
    assert (result.status, result.stdout) == (1, output(message))
    assert srv.quit_received == quit
    assert "MAIL" not in srv.verbs and not srv.crossed_in_clear(SECRET)
    assert srv.tls_versions == []


def test_outdated_tls_is_refused(scripted_smtp, certs, run_larkpost):
    srv = scripted_smtp(tls=TLS(certs.localhost, implicit=True, maximum_version=ssl.TLSVersion.TLSv1_1))
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=tls_settings(srv, certs, Security="tls"))
    assert status == 1
    assert stdout.startswith(output("TLS handshake with server (127.0.0.1) failed: "))
    assert srv.commands == []


@pytest.mark.parametrize("script", [{}, {"greeting": STALL}])
def test_implicit_tls_against_a_plaintext_port_fails_in_time(scripted_smtp, run_larkpost, script):
    srv = scripted_smtp(script)
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port, Security="tls", Timeout=2),
                          timeout=20)
    assert result.status == 1
    assert result.elapsed < 10
    if script:
        assert result.stdout == output("Server (127.0.0.1) did not answer within 2 seconds\n")
    else:
        assert result.stdout.startswith(output("TLS handshake with server (127.0.0.1) failed: "))


XOAUTH2_ERROR = "334 " + base64.b64encode(json.dumps(
    {"status": "401", "schemes": "bearer", "scope": "https://mail.example/"}).encode()).decode()


@pytest.mark.parametrize("auth, offered, replies, message, responses", [
    ("auto", "PLAIN", ["535 5.7.8 Error: authentication failed"],
     "Authentication failed at server (127.0.0.1): 535 5.7.8 Error: authentication failed\n", []),
    ("xoauth2", "XOAUTH2", [XOAUTH2_ERROR, "535-5.7.139 Authentication unsuccessful,\r\n535 5.7.139 basic auth is off"],
     "Authentication failed at server (127.0.0.1): 535 5.7.139 Authentication unsuccessful, 5.7.139 basic auth is off\n",
     [b""]),
    ("auto", "CRAM-MD5 GSSAPI", [], "Server (127.0.0.1) offers no usable authentication (CRAM-MD5 GSSAPI)\n", None),
    ("xoauth2", "PLAIN LOGIN", [], "Server (127.0.0.1) offers no usable authentication (PLAIN LOGIN)\n", None),
])
def test_login_failures(scripted_smtp, certs, run_larkpost, auth, offered, replies, message, responses):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", f"250-test\r\n250 AUTH {offered}"],
                        AUTH=replies)
    result = run_larkpost(["a@x.test"], stdin=BODY, env=login_env(),
                          settings=tls_settings(srv, certs, Security="starttls", User="me@example.test", Auth=auth))
    assert (result.status, result.stdout) == (1, output(message))
    assert srv.quit_received and "MAIL" not in srv.verbs
    assert [exchange.responses for exchange in srv.auth] == ([] if responses is None else [responses])


def test_password_sources_and_refusals(scripted_smtp, certs, run_larkpost, tmp_path):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"] * 9)
    settings = tls_settings(srv, certs, Security="starttls", User="u")
    # The command comes first, then the environment, then the settings file.
    for command_settings, env, secret in [({"PasswordCommand": "echo from-command"}, login_env("from-env"), b"from-command"),
                                          ({}, login_env("from-env"), b"from-env")]:
        result = run_larkpost(["a@x.test"], stdin=BODY, env=env, settings={**settings, **command_settings})
        assert (result.status, result.stdout) == (0, output(""))
        assert srv.auth[-1].initial_response == b"\0u\0" + secret
    for command, message in [("exit 3", "PasswordCommand failed with exit status 3\n"),
                             ("echo.", "PasswordCommand gave no password\n") if is_windows_build() else
                             ("true", "PasswordCommand gave no password\n")]:
        result = run_larkpost(["a@x.test"], stdin=BODY, settings={**settings, "PasswordCommand": command})
        assert (result.status, result.stdout) == (1, output(message))
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings)
    assert (result.status, result.stdout) == (1, output(
        "No password for u: set PasswordCommand, LARKPOST_PASSWORD or Password\n"))
    # Never in plaintext to another machine: refused before connecting.
    result = run_larkpost(["-s", "mail.example.invalid", "a@x.test"], stdin=BODY, env=login_env(),
                          settings=server_settings(srv.port, User="u"))
    assert (result.status, result.stdout) == (1, output(
        "Refusing to send the password for u unencrypted to server (mail.example.invalid); "
        "set Security=starttls or tls\n"))


@pytest.mark.skipif(is_windows_build(), reason="POSIX shell and file modes")
def test_password_command_time_limit_and_private_settings_file(scripted_smtp, certs, run_larkpost, tmp_path):
    srv = scripted_smtp(tls=TLS(certs.localhost))
    result = run_larkpost(["a@x.test"], stdin=BODY, timeout=20, settings=tls_settings(
        srv, certs, Security="starttls", User="u", PasswordCommand="sleep 30", Timeout=1))
    assert (result.status, result.stdout) == (1, output("PasswordCommand did not finish within 1 seconds\n"))
    assert result.elapsed < 10
    ini = tmp_path / "shared.ini"
    ini.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={srv.port}\nUser=u\nPassword={SECRET}\n")
    ini.chmod(0o644)
    result = run_larkpost([f"-{ini}", "a@x.test"], stdin=BODY)
    assert (result.status, result.stdout) == (1, output(
        f"Settings file '{ini}' holds a password and can be read by others; chmod 600 it\n"))


def test_long_options_override_settings(scripted_smtp, certs, run_larkpost):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH LOGIN"])
    options = ["--security=starttls", f"--ca-file={host_path(certs.ca)}", "--user=opt@example.test", "--auth=login",
               "--password-command=echo from-option"]
    result = run_larkpost(options + ["a@x.test"], stdin=BODY,
                          settings=server_settings(srv.port, Security="tls", User="ignored"))
    assert (result.status, result.stdout) == (0, output(""))
    assert srv.auth == [AuthExchange("LOGIN", None, [b"opt@example.test", b"from-option"], True)]
    # There is no --password: the run ends before connecting, and the value is never echoed.
    result = run_larkpost(options + ["--password=leak", "a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (1, output("Unknown option '--password'\n"))
    assert srv.connection_count == 1


def test_check_reports_without_sending_mail(scripted_smtp, certs, run_larkpost):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250-PIPELINING\r\n250 STARTTLS",
                                                       "250-test\r\n250-PIPELINING\r\n250 AUTH PLAIN LOGIN"])
    result = run_larkpost(["--check"], stdin=b"never read", env=login_env(),
                          settings=tls_settings(srv, certs, Security="starttls", User="me@example.test"))
    assert result.status == 0
    lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
    assert lines[2] == f"Server: 127.0.0.1, port {srv.port}, security starttls"
    assert "Greeting: 220 test ESMTP" in lines and "EHLO: STARTTLS" in lines
    assert "AUTH (TLS): PLAIN LOGIN" in lines and "Login: accepted (PLAIN)" in lines
    assert any(line.startswith("TLS: TLS 1.") for line in lines)
    assert f"Certificate SHA-256: {certs.localhost.fingerprint}" in lines
    assert "Certificate: verified for 127.0.0.1" in lines
    assert any(line.startswith("Certificate 1 subject: ") and "CN=localhost" in line for line in lines)
    assert lines[-1] == "Check: passed"
    assert srv.verbs == ["EHLO", "STARTTLS", "EHLO", "AUTH", "QUIT"]

    bad = scripted_smtp(tls=TLS(certs.expired))
    result = run_larkpost(["--check"], settings=tls_settings(bad, certs, Security="starttls"))
    assert result.status == 1
    lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
    assert "Certificate: not trusted: the certificate has expired" in lines
    assert any(line.startswith("Warning: the server's certificate expired on ") for line in lines)
    assert lines[-2:] == ["Certificate of server (127.0.0.1) not trusted: the certificate has expired",
                          "Check: failed"]

    # What a test server takes and a provider refuses is pointed out before connecting.
    result = run_larkpost(["--check", "-s", "mail.example.invalid"], env=login_env(),
                          settings={"Port": srv.port, "User": "u"})
    lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
    assert lines[3:5] == ["Warning: Address 'larkpost' has no domain; providers refuse such a sender (set Address)",
                          "Warning: Security=none with a login to mail.example.invalid: the password would cross "
                          "the network unencrypted"]


@pytest.mark.parametrize("port_name, security, auth", [("starttls_port", "starttls", "plain"),
                                                       ("starttls_port", "starttls", "login"),
                                                       ("implicit_tls_port", "tls", "auto")])
def test_postfix_with_sasl(postfix, certs, run_larkpost, port_name, security, auth):
    rcpt = postfix.address(f"sasl-{auth}")
    settings = server_settings(getattr(postfix, port_name), Security=security, CAFile=host_path(certs.ca),
                               User=postfix_instance.SASL_USER, Auth=auth, Address="sender@example.test",
                               Domain="client.example.test")
    status, stdout = run_larkpost(["-h", "-b", "over SASL", rcpt], stdin=b"authenticated\n",
                                  env=login_env(postfix_instance.SASL_PASSWORD), settings=settings)
    assert (status, stdout) == (0, output(""))
    [copy] = postfix.wait_for_messages(rcpt)
    assert email.message_from_bytes(copy, policy=email.policy.default)["Subject"] == "over SASL"

    status, stdout = run_larkpost(["-h", rcpt], stdin=b"x\n", env=login_env("wrong"), settings=settings)
    assert status == 1
    assert stdout.startswith(output(f"Authentication failed at server (127.0.0.1): 535"))


def test_aiosmtpd_requires_starttls_and_login(aiosmtpd_server, certs, run_larkpost):
    settings = server_settings(aiosmtpd_server.port, Security="starttls", CAFile=host_path(certs.ca),
                               User=aiosmtpd.USER, Server="localhost")
    status, stdout = run_larkpost(["a@example.test"], stdin=BODY, env=login_env(aiosmtpd.PASSWORD),
                                  settings=settings)
    assert (status, stdout) == (0, output(""))
    [delivery] = aiosmtpd_server.messages
    assert delivery.rcpt_tos == ["a@example.test"] and delivery.login == aiosmtpd.USER.encode()


@pytest.mark.skipif(not (is_windows_build() and os.environ.get("LARKPOST_NATIVE_BIN")),
                    reason="compares the Windows build with the native one (LARKPOST_NATIVE_BIN)")
def test_check_says_the_same_on_both_builds(scripted_smtp, certs, run_larkpost, tmp_path):
    ehlo = ["250-test\r\n250-PIPELINING\r\n250 STARTTLS", "250-test\r\n250-PIPELINING\r\n250 AUTH PLAIN"]
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=ehlo * 2)
    windows = run_larkpost(["--check"], env=login_env(),
                           settings=tls_settings(srv, certs, Security="starttls", User="me@example.test"))
    ini = tmp_path / "native.ini"
    ini.write_text(settings_text_native(server_settings(srv.port, CAFile=certs.ca, Security="starttls",
                                                        User="me@example.test")))
    native = subprocess.run([os.environ["LARKPOST_NATIVE_BIN"], f"-{ini}", "--check"], capture_output=True,
                            env={"PATH": os.environ["PATH"], "LARKPOST_PASSWORD": SECRET}, timeout=30)
    assert windows.status == native.returncode == 0
    # The same findings, line for line; only the TLS line (version, the library's naming of
    # the cipher) may differ.
    def findings(output_bytes):
        return [l for l in output_bytes.decode().replace("\r\n", "\n").splitlines() if not l.startswith("TLS: ")]
    assert findings(windows.stdout) == findings(native.stdout)


def settings_text_native(settings):
    return "".join(f"{line}\n" for line in ["[SMTP]"] + [f"{k}={v}" for k, v in settings.items()])
