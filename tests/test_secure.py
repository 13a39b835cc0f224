"""TLS, certificates and logins end to end: scripted fault servers, Postfix with Cyrus SASL, aiosmtpd."""

import base64
import email
import email.policy
import json
import os
import shutil
import ssl
import subprocess

import pytest

import aiosmtpd_server as aiosmtpd
import larkpost_runner
import postfix_instance
from larkpost_runner import host_path, is_windows_build, larkpost_binary, output, server_settings, text
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
    ("other_name", "the certificate is not for 127.0.0.1; it is for other.invalid"),
    ("expired", "the certificate has expired"),
    ("not_yet_valid", "the certificate is not valid yet"),
    ("self_signed", "the certificate is self-signed (trust it with Fingerprint or CAFile)"),
    ("unknown_issuer", "its issuer is unknown (name the CA in CAFile, or pin the certificate with Fingerprint)"),
    ("no CAFile", "its issuer is unknown (name the CA in CAFile, or pin the certificate with Fingerprint)"),
    ("wrong fingerprint", None),
    ("cn_only", "the certificate is not for localhost; it is for 127.0.0.1"),  # SANs alone count
])
def test_untrusted_server_gets_nothing(scripted_smtp, certs, run_larkpost, cert, reason):
    server_cert = certs.localhost if cert in ("no CAFile", "wrong fingerprint") else getattr(certs, cert)
    srv = scripted_smtp(tls=TLS(server_cert))
    settings = server_settings(srv.port, Security="starttls", User="me@example.test")
    server = "localhost" if cert == "cn_only" else "127.0.0.1"
    settings["Server"] = server
    if cert != "no CAFile":
        settings["CAFile"] = host_path(certs.ca)
    if cert == "wrong fingerprint":
        settings["Fingerprint"] = certs.self_signed.fingerprint
        reason = f"its SHA-256 fingerprint is {certs.localhost.fingerprint}, not the one in Fingerprint"
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings, env=login_env())
    assert (result.status, result.stdout) == (1, output(f"Certificate of server ({server}) not trusted: {reason}\n"))
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


@pytest.mark.parametrize("maximum, ciphers, accepted", [
    (ssl.TLSVersion.TLSv1_1, None, False),
    # TLS 1.2: only forward-secret AEAD suites.
    (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-AES128-SHA", False),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-AES256-SHA384", False),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-AES128-GCM-SHA256", True),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-CHACHA20-POLY1305", True),
    (ssl.TLSVersion.TLSv1_3, None, True),
])
def test_outdated_tls_is_refused(scripted_smtp, certs, run_larkpost, maximum, ciphers, accepted):
    srv = scripted_smtp(tls=TLS(certs.localhost, implicit=True, maximum_version=maximum, ciphers=ciphers))
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=tls_settings(srv, certs, Security="tls"))
    if accepted:
        assert (status, stdout) == (0, output(""))
        return
    assert status == 1
    assert stdout.startswith(output("TLS handshake with server (127.0.0.1) failed: "))
    assert srv.commands == []


@pytest.mark.skipif(is_windows_build(), reason="the POSIX build loads OpenSSL from a module of its own")
def test_without_its_tls_module_only_tls_fails(scripted_smtp, certs, run_larkpost, tmp_path, monkeypatch):
    lone = tmp_path / "lone" / "larkpost"
    lone.parent.mkdir()
    shutil.copy2(larkpost_binary(), lone)
    monkeypatch.setenv("LARKPOST_BIN", str(lone))
    plain = scripted_smtp()
    assert run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(plain.port)) == (0, output(""))
    assert plain.message() == b"Subject: secure\r\n\r\nover TLS\r\n"
    srv = scripted_smtp(tls=TLS(certs.localhost))
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=tls_settings(srv, certs, Security="starttls"))
    assert (status, stdout) == (1, output(
        "TLS handshake with server (127.0.0.1) failed: TLS is not available: the TLS module larkpost-tls-openssl.so "
        f"is in neither {lone.parent} nor {lone.parent}/../lib/larkpost\n"))
    assert srv.verbs == ["EHLO", "STARTTLS"]
    version = subprocess.run([lone, "--version"], capture_output=True, check=True)
    assert b"\nTLS: not available (the TLS module larkpost-tls-openssl.so is in neither " in version.stdout


@pytest.mark.skipif(is_windows_build(), reason="the POSIX build loads OpenSSL and libcurl from modules")
def test_only_runs_that_need_them_load_openssl_and_libcurl(scripted_smtp, certs, run_larkpost, tmp_path):
    def loaded(settings):  # glibc's loader names each library it looks for, under LD_DEBUG=libs
        trace = tmp_path / "libs"
        result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings,
                              env={"LD_DEBUG": "libs", "LD_DEBUG_OUTPUT": trace})
        assert result.status == 0, result
        [written] = tmp_path.glob("libs.*")
        libraries = written.read_text()
        written.unlink()
        assert "library=libc.so" in libraries  # the tracing itself worked
        return {lib for lib in ("libssl", "libcrypto", "libcurl") if f"library={lib}" in libraries}

    assert loaded(server_settings(scripted_smtp().port)) == set()
    srv = scripted_smtp(tls=TLS(certs.localhost))
    assert loaded(tls_settings(srv, certs, Security="starttls")) == {"libssl", "libcrypto"}


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
    # Never in plaintext to another machine: an address is refused before connecting, a
    # name once connected, by the address it led to; nothing is sent either way.
    result = run_larkpost(["-s", "192.0.2.1", "a@x.test"], stdin=BODY, env=login_env(),
                          settings=server_settings(srv.port, User="u"))
    assert (result.status, result.stdout) == (1, output(
        "Refusing to send the password for u unencrypted to server (192.0.2.1); "
        "set Security=starttls or tls\n"))
    result = run_larkpost(["-s", "mail.localhost", "a@x.test"], stdin=BODY, env=login_env(),
                          settings=server_settings(srv.port, User="u"), stderr_ok=True)  # the reason, on stderr
    assert result.status == 1 and b"Refusing" not in result.stdout  # not resolved: not taken for loopback


@pytest.mark.skipif(is_windows_build(), reason="POSIX shell and file modes")
def test_password_command_time_limit_and_private_settings_file(scripted_smtp, certs, run_larkpost, tmp_path):
    srv = scripted_smtp(tls=TLS(certs.localhost))
    result = run_larkpost(["a@x.test"], stdin=BODY, timeout=20, settings=tls_settings(
        srv, certs, Security="starttls", User="u", PasswordCommand="sleep 30", Timeout=1))
    assert (result.status, result.stdout) == (1, output("PasswordCommand did not finish within 1 seconds\n"))
    assert result.elapsed < 10
    # Whoever may read or change a file that holds a password, or a command that gives
    # one, has it: the file must be the caller's alone.
    ini = tmp_path / "shared.ini"
    for key, value in [("Password", SECRET), ("PasswordCommand", "echo hi")]:
        ini.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={srv.port}\nUser=u\n{key}={value}\n")
        for mode, how in [(0o644, "can be read by others; chmod 600 it"), (0o640, "can be read by others; chmod 600 it"),
                          (0o602, "can be changed by others; chmod 600 it"),
                          (0o620, "can be changed by others; chmod 600 it"), (0o601, "can be changed by others; chmod 600 it")]:
            ini.chmod(mode)
            result = run_larkpost([f"-{ini}", "a@x.test"], stdin=BODY)
            assert (result.status, result.stdout) == (1, output(
                f"Settings file '{ini}' holds a password and {how}\n")), oct(mode)
        ini.chmod(0o600)
        os.chown(ini, 65534, 65534)  # nobody's, however tight
        result = run_larkpost([f"-{ini}", "a@x.test"], stdin=BODY)
        assert (result.status, result.stdout) == (1, output(
            f"Settings file '{ini}' holds a password and belongs to another user; "
            "chown it to yourself and chmod 600 it\n"))
        os.chown(ini, os.geteuid(), os.getegid())
    assert srv.verbs == []  # none of them got as far as connecting
    ini.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={srv.port}\nUser=u\nTimeout=0\n")
    ini.chmod(0o644)  # nothing secret in it: anyone may read it
    result = run_larkpost([f"-{ini}", "--auth=none", "a@x.test"], stdin=BODY)
    assert result.status == 0


@pytest.mark.skipif(not is_windows_build(), reason="the Windows build reads the file's DACL")
def test_settings_file_with_a_password_every_user_can_read_is_refused_on_windows(scripted_smtp, certs, run_larkpost,
                                                                                tmp_path):
    # Wine gives a file Everyone's access from its POSIX mode bits, as Windows would from an
    # entry for Everyone or Users in its DACL.
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"])
    ini = tmp_path / "shared.ini"
    ini.write_text("[SMTP]\r\n" + "".join(
        f"{k}={v}\r\n" for k, v in tls_settings(srv, certs, Security="starttls", User="u", Password=SECRET).items()))
    advice = "keep it in your own profile folder, or take the other users' access away (icacls)"
    for mode, how in [(0o644, "can be read by others"), (0o622, "can be changed by others")]:
        ini.chmod(mode)
        result = run_larkpost([f"-{host_path(ini)}", "a@x.test"], stdin=BODY)
        assert (result.status, result.stdout) == (1, output(
            f"Settings file '{host_path(ini)}' holds a password and {how}; {advice}\n")), oct(mode)
    assert srv.verbs == []
    ini.chmod(0o600)
    result = run_larkpost([f"-{host_path(ini)}", "a@x.test"], stdin=BODY)
    assert (result.status, result.stdout) == (0, output(""))
    assert srv.auth[-1].initial_response == b"\0u\0" + SECRET.encode()


@pytest.mark.skipif(is_windows_build(), reason="POSIX shell, processes and terminals")
def test_password_command_output_environment_and_children(scripted_smtp, certs, run_larkpost, tmp_path):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"] * 9)
    settings = tls_settings(srv, certs, Security="starttls", User="u")
    pid_file = tmp_path / "background.pid"
    # The first line counts once it has ended and the command has exited, though a job
    # it left behind holds the output open; that job is the user's and lives on.
    result = run_larkpost(["a@x.test"], stdin=BODY, settings={
        **settings, "PasswordCommand": f"echo pw1; sleep 100 2>/dev/null & echo $! > {pid_file}"})
    assert (result.status, result.stdout) == (0, output(""))
    assert result.elapsed < 10 and srv.auth[-1].initial_response == b"\0u\0pw1"
    background = int(pid_file.read_text())
    os.kill(background, 0)  # still there
    os.kill(background, 9)
    # LARKPOST_PASSWORD is not handed down to the command.
    result = run_larkpost(["a@x.test"], stdin=BODY, env=login_env("env-secret"), settings={
        **settings, "PasswordCommand": 'echo "x${LARKPOST_PASSWORD:-unset}"'})
    assert result.status == 0 and srv.auth[-1].initial_response == b"\0u\0xunset"
    # A first line past 64 KiB is refused, not cut.
    for length, ok in [(65536, True), (65537, False)]:
        result = run_larkpost(["a@x.test"], stdin=BODY, settings={
            **settings, "PasswordCommand": f"head -c {length} /dev/zero | tr '\\0' a; echo; echo second"})
        if ok:
            sent = srv.auth[-1].initial_response or srv.auth[-1].responses[0]  # too long for the AUTH line
            assert result.status == 0 and sent == b"\0u\0" + b"a" * length
        else:
            assert (result.status, result.stdout) == (1, output("PasswordCommand gave a first line longer than 64 KiB\n"))
    # On time-out, whatever it started goes with it.
    result = run_larkpost(["a@x.test"], stdin=BODY, settings={
        **settings, "Timeout": 1, "PasswordCommand": f"sleep 60 & echo $! > {pid_file}; sleep 60"})
    assert (result.status, result.stdout) == (1, output("PasswordCommand did not finish within 1 seconds\n"))
    assert not process_alive(int(pid_file.read_text()))


def process_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[-1][0] != "Z"
    except FileNotFoundError:
        return False


def run_on_terminal(argv, typed, timeout=20):
    """Runs `argv` as the foreground job of a new pseudo-terminal, with `typed` coming from
    its keyboard and the message on a pipe; returns (status, stdout, what the terminal showed)."""
    import pty, select, time
    master, slave = pty.openpty()

    def take_terminal():
        os.setsid()
        import fcntl, termios
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=slave,
                            preexec_fn=take_terminal, pass_fds=(slave,),
                            env={"PATH": os.environ["PATH"], "HOME": "/nonexistent"})
    os.close(slave)
    shown, deadline = b"", time.monotonic() + timeout
    proc.stdin.write(BODY)
    proc.stdin.close()
    while proc.poll() is None and time.monotonic() < deadline:
        if select.select([master], [], [], 0.1)[0]:
            try:
                shown += os.read(master, 4096)
            except OSError:
                break
            if typed and b"Password:" in shown:
                os.write(master, typed)
                typed = b""
    if proc.poll() is None:
        proc.kill()
    stdout = proc.stdout.read()
    proc.wait()
    os.close(master)
    return proc.returncode, stdout, shown


@pytest.mark.skipif(is_windows_build(), reason="POSIX terminals and process groups")
def test_password_command_can_prompt_on_the_terminal(scripted_smtp, certs, tmp_path):
    from larkpost_runner import larkpost_binary, settings_text
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"] * 3)
    ini = tmp_path / "tty.ini"
    pid_file = tmp_path / "prompt.pid"
    prompt = "printf Password: >/dev/tty; read pw </dev/tty; echo \"$pw\""
    ini.write_text(settings_text(tls_settings(srv, certs, Security="starttls", User="u", PasswordCommand=prompt)))
    ini.chmod(0o600)
    status, stdout, shown = run_on_terminal([str(larkpost_binary()), f"-{ini}", "a@x.test"], b"typed-secret\n")
    assert (status, stdout, srv.auth[-1].initial_response) == (0, output(""), b"\0u\0typed-secret")
    # Nobody answers: the time-out still ends the command and what it started.
    ini.write_text(settings_text(tls_settings(srv, certs, Security="starttls", User="u", Timeout=1,
                                              PasswordCommand=f"sleep 60 & echo $! > {pid_file}; {prompt}")))
    status, stdout, shown = run_on_terminal([str(larkpost_binary()), f"-{ini}", "a@x.test"], b"")
    assert (status, stdout) == (1, output("PasswordCommand did not finish within 1 seconds\n"))
    assert not process_alive(int(pid_file.read_text()))


def with_hosts(tmp_path, names):
    """A command prefix that runs a program seeing `names` as 127.0.0.1 in /etc/hosts (a mount
    namespace of its own); None where this machine cannot make one."""
    hosts = tmp_path / "hosts"
    hosts.write_text("127.0.0.1 localhost\n" + "".join(f"127.0.0.1 {n}\n" for n in names))
    prefix = ["unshare", "-m", "sh", "-c", f'mount --bind {hosts} /etc/hosts && exec "$0" "$@"']
    probe = subprocess.run(prefix + ["getent", "hosts", names[0]], capture_output=True)
    return prefix if probe.returncode == 0 else None


@pytest.mark.skipif(is_windows_build(), reason="a private /etc/hosts needs a Linux mount namespace")
def test_international_server_name_is_looked_up_sent_and_checked_as_its_a_label(scripted_smtp, certs, tmp_path):
    from larkpost_runner import larkpost_binary
    prefix = with_hosts(tmp_path, ["xn--bcher-kva.example", "other.localhost"])
    if prefix is None:
        pytest.skip("cannot give the program a hosts file of its own (unshare, mount)")
    srv = scripted_smtp(tls=TLS(certs.idn), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"] * 2)
    def run(settings, *args, **env):
        ini = tmp_path / "settings.ini"
        ini.write_text("".join(f"{line}\n" for line in ["[SMTP]"] + [f"{k}={v}" for k, v in settings.items()]))
        ini.chmod(0o600)
        return subprocess.run(prefix + [str(larkpost_binary()), f"-{ini}", *args], capture_output=True, input=BODY,
                              env={"PATH": os.environ["PATH"], **env}, timeout=30)
    result = run(tls_settings(srv, certs, Server="bücher.example", Security="starttls"), "--check")
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0 and lines[-1] == "Check: passed", lines
    assert lines[2] == f"Server: bücher.example (xn--bcher-kva.example), port {srv.port}, security starttls"
    assert "Certificate: verified for bücher.example" in lines
    assert srv.server_names == ["xn--bcher-kva.example"]
    result = run({"Server": "☃.example"}, "--check")
    assert "Server name (☃.example) is not a valid internationalized domain name" in result.stdout.decode().splitlines()
    # A name is taken for this machine by the address it leads to, not by its spelling:
    # "other.localhost" here is 127.0.0.1, so a login in plaintext is let through.
    plain = scripted_smtp(EHLO="250-test\r\n250 AUTH PLAIN")
    result = run(server_settings(plain.port, Server="other.localhost", User="u"), "a@x.test", LARKPOST_PASSWORD=SECRET)
    assert result.returncode == 0 and plain.auth[-1].initial_response == b"\0u\0" + SECRET.encode()


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
    assert "Certificate 1 names: localhost, 127.0.0.1, ::1" in lines
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


class ScramServer:
    """A SCRAM-SHA-256 server for the scripted SMTP server: checks the client's proof against
    the password and answers with its own signature (a wrong one when `forge` is set)."""

    def __init__(self, password, forge=False):
        import hashlib
        import hmac
        self.hashlib, self.hmac = hashlib, hmac
        self.salt, self.iterations, self.password, self.forge = os.urandom(16), 4096, password, forge
        self.proof_ok = None

    def _hmac(self, key, data):
        return self.hmac.new(key, data, "sha256").digest()

    def __call__(self, record):
        exchange = record.auth[-1]
        if not exchange.responses:
            self.client_first_bare = exchange.initial_response[3:]
            nonce = dict(p.split(b"=", 1) for p in self.client_first_bare.split(b","))[b"r"]
            self.server_first = (b"r=" + nonce + b"srv" + os.urandom(6).hex().encode() + b",s=" +
                                 base64.b64encode(self.salt) + b",i=" + str(self.iterations).encode())
            return "334 " + base64.b64encode(self.server_first).decode()
        if len(exchange.responses) == 1:
            final = exchange.responses[0]
            without_proof, _, proof = final.rpartition(b",p=")
            auth_message = self.client_first_bare + b"," + self.server_first + b"," + without_proof
            salted = self.hashlib.pbkdf2_hmac("sha256", self.password.encode(), self.salt, self.iterations)
            client_key = bytes(a ^ b for a, b in zip(base64.b64decode(proof),
                                                      self._hmac(self.hashlib.sha256(self._hmac(salted, b"Client Key")).digest(), auth_message)))
            self.proof_ok = self.hashlib.sha256(client_key).digest() == self.hashlib.sha256(
                self._hmac(salted, b"Client Key")).digest()
            if not self.proof_ok:
                return "535 5.7.8 wrong proof"
            signature = self._hmac(self._hmac(salted, b"Server Key"), auth_message)
            if self.forge:
                signature = bytes(32)
            return "334 " + base64.b64encode(b"v=" + base64.b64encode(signature)).decode()
        return "235 2.7.0 ok"


@pytest.mark.parametrize("forge", [False, True])
def test_scram_sha_256_is_preferred_and_the_server_must_prove_itself(scripted_smtp, certs, run_larkpost, forge):
    server = ScramServer(SECRET, forge=forge)
    srv = scripted_smtp(tls=TLS(certs.localhost),
                        EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN LOGIN SCRAM-SHA-256"],
                        AUTH=server)
    result = run_larkpost(["a@x.test"], stdin=BODY, env=login_env(),
                          settings=tls_settings(srv, certs, Security="starttls", User="me@example.test"))
    assert [a.mechanism for a in srv.auth] == ["SCRAM-SHA-256"]
    assert server.proof_ok
    assert SECRET.encode() not in srv.decrypted
    if forge:
        assert result.status == 1
        assert b"accepted the login without proving it knows the password" in result.stdout
        assert srv.auth[0].responses[-1] == "*" and "MAIL" not in srv.verbs
    else:
        assert (result.status, result.stdout) == (0, output(""))
        assert srv.auth[0].responses[-1] == b""


def test_password_store_credman(scripted_smtp, run_larkpost):
    srv = scripted_smtp(EHLO="250-test\r\n250 AUTH PLAIN")
    user = f"store-{os.urandom(4).hex()}@example.test"
    settings = server_settings(srv.port, User=user, PasswordStore="credman")
    if not is_windows_build():
        result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings)
        assert result.status == 1
        assert b"PasswordStore=credman needs the Windows Credential Manager; here use PasswordCommand" in result.stdout
        assert srv.connection_count == 0
        return
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings)
    assert result.status == 1 and b"none is stored (run larkpost --store-password)" in result.stdout
    result = run_larkpost(["--store-password"], stdin=SECRET.encode() + b"\r\n", settings=settings)
    assert result.status == 0, result
    assert SECRET.encode() not in result.stdout
    assert f"The password for {user} at 127.0.0.1 is stored in the Windows Credential Manager".encode() in result.stdout
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings, env={"LARKPOST_PASSWORD": "not-this"})
    assert result.status == 0, result
    assert srv.auth[-1].initial_response == b"\0" + user.encode() + b"\0" + SECRET.encode()


def test_store_password_at_the_console_shows_nothing_typed(scripted_smtp, run_larkpost, tmp_path):
    if not (is_windows_build() and larkpost_runner.under_wine()):
        pytest.skip("the Credential Manager is the Windows build's; its console is Wine's on a terminal")
    srv = scripted_smtp(EHLO="250-test\r\n250 AUTH PLAIN")
    user = f"console-{os.urandom(4).hex()}@example.test"
    settings = server_settings(srv.port, User=user, PasswordStore="credman")
    status, shown = larkpost_runner.type_at_console(tmp_path, ["--store-password"], b"Password for ",
                                                    SECRET.encode(), settings=settings)
    assert status == 0, shown
    assert f"Password for {user} at 127.0.0.1:".encode() in shown
    assert f"The password for {user} at 127.0.0.1 is stored".encode() in shown
    assert SECRET.encode() not in shown
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=settings)
    assert result.status == 0, result
    assert srv.auth[-1].initial_response == b"\0" + user.encode() + b"\0" + SECRET.encode()
