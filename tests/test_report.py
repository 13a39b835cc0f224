"""The transcript (--trace) and the machine-readable report (--report), end to end."""

import base64
import concurrent.futures
import json
import os
import re
import socket

import pytest

from larkpost_runner import host_path, is_windows_build, output, server_settings, text
from smtp_script import CLOSE, TLS

BODY = b"Subject: traced\n\nline one\n.dot\n"
SECRET = "tr4ce-S3cret"


def forms_of(secret, user="me@example.test"):
    """The secret as it is and in every base64 form an AUTH exchange could carry it."""
    plain = [secret, f"\0{user}\0{secret}", f"user={user}\x01auth=Bearer {secret}\x01\x01"]
    return [secret.encode()] + [base64.b64encode(p.encode()) for p in plain]


TRACE_START = r"\* \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d Larkpost [\d.]+:"


@pytest.mark.parametrize("auth, offered", [("plain", "PLAIN"), ("login", "LOGIN"), ("xoauth2", "XOAUTH2")])
def test_trace_shows_the_dialogue_and_never_a_secret(scripted_smtp, certs, run_larkpost, tmp_path, auth, offered):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", f"250-test\r\n250 AUTH {offered}"])
    trace = tmp_path / "trace.log"
    result = run_larkpost([f"--trace={host_path(trace)}", "a@x.test"], stdin=BODY, env={"LARKPOST_PASSWORD": SECRET},
                          settings=server_settings(srv.port, Security="starttls", CAFile=host_path(certs.ca),
                                                   User="me@example.test", Auth=auth))
    assert (result.status, result.stdout) == (0, output(""))  # standard output as ever
    log = trace.read_bytes()
    for form in forms_of(SECRET):
        assert form not in log
    lines = [re.sub(r"^\[ *\d+ ms\] ", "", line) for line in log.decode().splitlines()]
    assert all(re.match(r"\[ *\d+ ms\] (C: |S: |\* )", line) for line in log.decode().splitlines())
    assert re.fullmatch(TRACE_START + r" .*larkpost\S* -\S+settings\.ini --trace=\S+ a@x\.test", lines[0])
    assert lines[1:4] == [f"* connected to 127.0.0.1 port {srv.port}", "S: 220 test ESMTP", "C: EHLO localhost.localdomain"]
    assert "C: STARTTLS" in lines
    assert any(re.fullmatch(r"\* TLS 1\.[23] established, .+, certificate verified for 127\.0\.0\.1", l) for l in lines)
    auth_lines = [l for l in lines if l.startswith("C: AUTH")]
    assert auth_lines == [f"C: AUTH {offered}" + ("" if offered == "LOGIN" else " <redacted>")]
    assert lines.count("C: <redacted>") == (2 if offered == "LOGIN" else 0)
    assert "* <36 bytes of message data>" in lines  # CR LF line ends and the stuffed dot
    assert "C: QUIT" in lines and "S: 221 bye" in lines


def test_trace_data_and_standard_error(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    result = run_larkpost(["--trace", "--trace-data", "a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (0, output(""))
    lines = [re.sub(r"^\[ *\d+ ms\] ", "", l) for l in result.stderr.decode().splitlines()]
    assert lines[lines.index("C: DATA") + 2:][:4] == ["C: Subject: traced", "C: ", "C: line one", "C: ..dot"]


@pytest.mark.skipif(is_windows_build(), reason="POSIX file modes and /proc")
def test_trace_and_report_files_are_private_and_not_inherited(scripted_smtp, certs, run_larkpost, tmp_path):
    srv = scripted_smtp(tls=TLS(certs.localhost), EHLO=["250-test\r\n250 STARTTLS", "250-test\r\n250 AUTH PLAIN"])
    trace, report, seen = tmp_path / "trace.log", tmp_path / "report.json", tmp_path / "fds"
    # The command lists the files it was handed; it runs while the trace is open.
    command = f"for f in /proc/$$/fd/*; do readlink $f; done > {seen}; echo {SECRET}"
    result = run_larkpost([f"--trace={trace}", "--trace-data", f"--report={report}", "a@x.test"], stdin=BODY,
                          settings=server_settings(srv.port, Security="starttls", CAFile=host_path(certs.ca),
                                                   User="me@example.test", PasswordCommand=command))
    assert (result.status, result.stdout) == (0, output(""))
    assert (trace.stat().st_mode & 0o777, report.stat().st_mode & 0o777) == (0o600, 0o600)
    handed = seen.read_text().split()
    assert str(trace) not in handed and not any(h.startswith(("socket:", "/dev/tty", "/dev/pts")) for h in handed)
    assert b"C: line one" in trace.read_bytes() and report_of(result, report)


def report_of(result, path):
    assert result.status in (0, 1, 2)
    return json.loads(path.read_text(encoding="utf-8"))


def test_report_per_recipient(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp(RCPT=["250 2.1.5 Ok", "550 5.1.1 <b@x.test>: unknown \udcff\udcfe user", "452 4.5.3 Too many",
                              "250 2.1.5 Ok"],
                        DATA_END=["250 queued", "250 2.0.0 Ok: queued as 4KBxyz"])
    path = tmp_path / "report.json"
    result = run_larkpost(["-h", f"--report={host_path(path)}", "c@x.test", "b@x.test", "a@x.test"], stdin=b"hi\n",
                          settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (2, output("Error sending mail to user [b@x.test]\n"))
    report = report_of(result, path)
    assert report["server"] == "127.0.0.1" and report["port"] == srv.port and report["tls"] is None
    assert report["outcome"] == "partial" and report["temporary"] is False
    assert report["data_reply"] == "250 2.0.0 Ok: queued as 4KBxyz"
    assert report["data_replies"] == ["250 queued", "250 2.0.0 Ok: queued as 4KBxyz"]
    assert re.fullmatch(r"<[^<>@]+@localhost\.localdomain>", report["message_id"])
    assert report["message_id"].encode() in srv.message()
    # Each carries the reply that settled it: its refusal, or the end of its own transaction.
    assert report["recipients"] == [
        {"address": "a@x.test", "accepted": True, "status": "delivered", "code": 250, "enhanced_code": None,
         "text": "queued"},
        {"address": "b@x.test", "accepted": False, "status": "refused", "code": 550, "enhanced_code": "5.1.1",
         "text": "<b@x.test>: unknown \ufffd\ufffd user"},
        # Too many for the first transaction: the second one took it.
        {"address": "c@x.test", "accepted": True, "status": "delivered", "code": 250, "enhanced_code": "2.0.0",
         "text": "Ok: queued as 4KBxyz"},
    ]
    assert srv.verbs.count("MAIL") == 2


@pytest.mark.parametrize("script, temporary", [({"MAIL": "451 4.3.0 try later"}, True),
                                               ({"MAIL": "553 5.7.1 not you"}, False),
                                               (None, True)])
def test_report_of_failures_says_whether_a_retry_may_help(scripted_smtp, run_larkpost, tmp_path, script, temporary):
    if script is None:
        with socket.socket() as probe:  # nothing listens there
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
    else:
        port = scripted_smtp(script).port
    result = run_larkpost(["--report=-", "a@x.test"], stdin=BODY, settings=server_settings(port), stderr_ok=True)
    assert result.status == 1
    report = json.loads(result.stdout)  # the report alone: the messages went to standard error
    assert result.stderr.replace(b"\r\n", b"\n").startswith(b"\nLarkpost v1.0")
    assert report["outcome"] == "failed" and report["temporary"] is temporary
    # A connection that could not be made says why, in the system's words.
    assert ("refused" in report.get("reason", "").lower()) == (script is None)
    assert [r["address"] for r in report["recipients"]] == ["a@x.test"]
    assert report["recipients"][0]["accepted"] is False


LOG_LINE = re.compile(r"(?P<time>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d) server=127\.0\.0\.1:(?P<port>\d+) "
                      r"tls=(?P<tls>\S+|\"[^\"]*\") from=<me@example\.test> accepted=(?P<accepted>\d+) "
                      r"refused=(?P<refused>\d+) deferred=(?P<deferred>\d+) outcome=(?P<outcome>\w+) "
                      r"reply=(?P<reply>-|\S+|\"[^\"]*\") message-id=(?P<id>\S+) bytes=(?P<bytes>\d+) "
                      r"seconds=\d+\.\d{3}")


def test_log_has_a_line_per_transaction(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp(RCPT=["250 ok", "550 no", "250 ok"], DATA_END=["250 2.0.0 queued as A1", "250 queued as B2"])
    log = tmp_path / "mail.log"
    log.write_text("an earlier line\n")
    result = run_larkpost([f"--log={host_path(log)}", "-h", "a@x.test", "b@x.test", "c@x.test"], stdin=BODY,
                          settings=server_settings(srv.port, MaxRecipients=2))
    assert result.status == 2
    lines = log.read_text().splitlines()
    assert lines[0] == "an earlier line"  # appended to, never overwritten
    found = [LOG_LINE.fullmatch(line) for line in lines[1:]]
    assert all(found) and len(found) == 2, lines
    first, second = (m.groupdict() for m in found)
    assert (first["accepted"], first["refused"], first["outcome"], first["reply"]) == ("1", "1", "sent",
                                                                                        '"250 2.0.0 queued as A1"')
    assert (second["accepted"], second["refused"], second["reply"]) == ("1", "0", '"250 queued as B2"')
    assert first["id"] == second["id"] and first["id"] in srv.data.decode()
    assert int(first["bytes"]) == len(srv.data) // 2 and first["tls"] == "none"


@pytest.mark.parametrize("data_end, outcome, reply", [
    (CLOSE, "unknown", "-"),  # the end went out, no reply came: the server may have it
    ("554 5.6.0 rejected", "failed", '"554 5.6.0 rejected"'),
])
def test_log_tells_a_message_refused_at_its_end_from_one_that_may_have_arrived(scripted_smtp, run_larkpost, tmp_path,
                                                                                 data_end, outcome, reply):
    srv = scripted_smtp(DATA_END=data_end)
    log = tmp_path / "mail.log"
    assert run_larkpost([f"--log={host_path(log)}", "a@x.test"], stdin=BODY, settings=server_settings(srv.port)).status == 1
    line = LOG_LINE.fullmatch(log.read_text().rstrip("\n"))
    assert line and (line["accepted"], line["outcome"], line["reply"]) == ("1", outcome, reply)


def test_log_of_a_run_that_never_connected_and_of_runs_at_once(scripted_smtp, run_larkpost, tmp_path):
    log = tmp_path / "mail.log"
    status = run_larkpost([f"--log={host_path(log)}", "a@x.test"], stdin=b"x\n", settings=server_settings(1),
                          stderr_ok=True).status
    assert status == 1
    failed = LOG_LINE.fullmatch(log.read_text().rstrip("\n"))
    assert failed and failed["outcome"] == "failed" and failed["reply"].startswith('"Could not connect')
    log.unlink()
    # Runs at the same time each add whole lines: the lock keeps them from interleaving.
    servers = [scripted_smtp() for _ in range(6)]
    with concurrent.futures.ThreadPoolExecutor(len(servers)) as pool:
        statuses = list(pool.map(lambda srv: run_larkpost([f"--log={host_path(log)}", "a@x.test"], stdin=BODY * 200,
                                                          settings=server_settings(srv.port)).status, servers))
    assert statuses == [0] * len(servers)
    ports = sorted(int(LOG_LINE.fullmatch(line)["port"]) for line in log.read_text().splitlines())
    assert ports == sorted(srv.port for srv in servers)


def test_trace_is_appended_to_and_never_shows_a_password_command(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    trace = tmp_path / "trace.log"
    for _ in range(2):
        result = run_larkpost([f"--trace={host_path(trace)}", f"--password-command=echo {SECRET}", "a@x.test"],
                              stdin=BODY, settings=server_settings(srv.port))
        assert result.status == 0
    lines = [re.sub(r"^\[ *\d+ ms\] ", "", line) for line in trace.read_text().splitlines()]
    starts = [line for line in lines if re.match(TRACE_START, line)]
    assert len(starts) == 2 and SECRET not in trace.read_text()
    assert starts[0].endswith(" --trace=" + host_path(trace) + " --password-command=<redacted> a@x.test")


def test_report_that_cannot_be_written_is_an_error(scripted_smtp, run_larkpost):
    if not os.path.exists("/dev/full") or is_windows_build():
        pytest.skip("needs /dev/full")
    srv = scripted_smtp()
    result = run_larkpost(["--report=/dev/full", "a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (1, output("Could not write the report file '/dev/full'\n"
                                                        "The message was sent all the same; only the report is missing\n"))
    assert srv.verbs.count("DATA") == 1


def test_trace_of_a_connection_lost_in_the_data(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp(DATA_BODY=[CLOSE])
    trace = tmp_path / "trace.log"
    big = b"Subject: big\n\n" + b"x" * 70 + b"\n" * 1 + (b"y" * 99 + b"\n") * 12000  # more than one write
    result = run_larkpost([f"--trace={host_path(trace)}", "--retry=1", "--retry-delay=0", "a@x.test"], stdin=big,
                          settings=server_settings(srv.port))
    assert result.status == 0
    lines = [re.sub(r"^\[ *\d+ ms\] ", "", line) for line in trace.read_text().splitlines()]
    lost = lines.index("* connection closed by the server")
    assert lines[lost - 2] == "S: 354 go ahead" and re.fullmatch(r"\* <\d+ bytes of message data>", lines[lost - 1])
    # The second attempt counts its own bytes only.
    assert lines[lines.index("S: 250 queued") - 2] == f"* <{len(srv.data)} bytes of message data>"


def test_server_text_never_acts_on_the_terminal(scripted_smtp, run_larkpost, tmp_path):
    # U+009B is CSI: "\u009b2J" would clear the screen, then a forged verdict is painted.
    forged = "\u009b2J\u0090Check: passed\u009d"
    shown = "\\xC2\\x9B2J\\xC2\\x90Check: passed\\xC2\\x9D"
    srv = scripted_smtp(greeting=f"220 test {forged}", MAIL=f"550 no {forged}")
    trace = tmp_path / "trace.log"
    check = run_larkpost(["--check"], settings=server_settings(srv.port))
    assert text(f"Greeting: 220 test {shown}\n") in check.stdout and "\u009b".encode() not in check.stdout
    result = run_larkpost([f"--trace={host_path(trace)}", "a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert result.status == 1 and "\u009b".encode() not in result.stdout + trace.read_bytes()
    assert f"S: 220 test {shown}" in trace.read_text() and f"S: 550 no {shown}" in trace.read_text()


def test_dsn_in_the_normal_mode_and_the_report(scripted_smtp, run_larkpost):
    for ehlo, offered in [("250-test\r\n250 DSN", True), ("250 test", False)]:
        srv = scripted_smtp(EHLO=ehlo)
        result = run_larkpost(["--dsn-notify=failure", "--dsn-return=full", "--dsn-envid=job 7",
                               "--report=-", "a@example.net"], stdin=b"Subject: s\n\nx\n",
                              settings=server_settings(srv.port))
        assert result.status == 0
        # With --report=- the messages go to standard error, the JSON alone to standard output.
        said = "" if offered else "Server (127.0.0.1) does not offer DSN, sending without it\n"
        assert said.encode() in result.stderr.replace(b"\r\n", b"\n")
        report = json.loads(result.stdout)
        assert report["dsn"] == {"notify": "FAILURE", "return": "FULL", "envid": "job 7", "offered": offered}
        mail = [c.decode().rstrip("\r\n") for c in srv.commands if c.startswith((b"MAIL", b"RCPT"))]
        if offered:
            assert mail == ["MAIL FROM:<me@example.test> RET=FULL ENVID=job+207",
                            "RCPT TO:<a@example.net> NOTIFY=FAILURE ORCPT=rfc822;a@example.net"]
        else:
            assert mail == ["MAIL FROM:<me@example.test>", "RCPT TO:<a@example.net>"]
    result = run_larkpost(["--dsn-notify=never,success", "a@example.net"], stdin=b"",
                          settings=server_settings(1))
    assert result.stdout.endswith(text("Invalid value 'never,success' for --dsn-notify\n"))
