"""The SMTP dialogue end to end: envelope order, refusals, broken servers, exit status."""

import re
import socket

import pytest

from larkpost_runner import host_path, is_windows_build, output, server_settings, text, under_wine
from smtp_script import CLOSE, STALL, Trickle, long_line

BODY = b"Subject: hello\n\nline one\n"


def test_sends_envelope_with_last_recipient_first(scripted_smtp, run_larkpost):
    srv = scripted_smtp(greeting="220-mail.example.test\r\n220-more\r\n220 ready",
                        EHLO="250-hi\r\n250 there")
    status, stdout = run_larkpost(["r1@example.test", "r2@example.test", "r3@example.test"],
                                  stdin=BODY, settings=server_settings(srv.port, Domain="client.test"))
    assert (status, stdout) == (0, output(""))
    assert srv.commands == [b"EHLO client.test\r\n", b"MAIL FROM:<me@example.test>\r\n",
                            b"RCPT TO:<r3@example.test>\r\n", b"RCPT TO:<r2@example.test>\r\n",
                            b"RCPT TO:<r1@example.test>\r\n", b"DATA\r\n", b"QUIT\r\n"]
    assert srv.data_terminators == [b".\r\n"]
    assert srv.message() == b"Subject: hello\r\n\r\nline one\r\n"
    assert not srv.has_bare_lf()
    assert srv.input_before_reply == []


@pytest.mark.parametrize("refusal", ["502 5.5.1 unrecognized command", "garbage"])
def test_server_without_ehlo_gets_helo(scripted_smtp, run_larkpost, refusal):
    srv = scripted_smtp(EHLO=refusal)
    status, _ = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port, Domain="client.test"))
    assert status == 0
    assert srv.commands[:3] == [b"EHLO client.test\r\n", b"HELO client.test\r\n", b"MAIL FROM:<me@example.test>\r\n"]


def test_some_recipients_refused_exits_2(scripted_smtp, run_larkpost):
    srv = scripted_smtp(RCPT=["451-try\r\n451 later", "250 ok"])
    status, stdout = run_larkpost(['"\x1b]0;pwned\x07"@x.test', "b@x.test", "c@x.test"], stdin=BODY,
                                  settings=server_settings(srv.port))
    assert status == 2
    # Control bytes of an echoed value never reach the terminal as they are.
    assert stdout == output('Error sending mail to user [c@x.test]\n'
                            'Error sending mail to user ["\\x1B]0;pwned\\x07"@x.test]\n')
    assert srv.verbs == ["EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"]


@pytest.mark.parametrize("refusal", ["550 no", "354 what", "garbage", "250-ok\r\n550 no"])
def test_all_recipients_refused_sends_no_data(scripted_smtp, run_larkpost, refusal):
    srv = scripted_smtp(RCPT=refusal)
    status, stdout = run_larkpost(["a@x.test", "b@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert status == 1
    assert stdout == output("Error sending mail to user [b@x.test]\nError sending mail to user [a@x.test]\n"
                            "\nNo valid recpients.\n")
    assert "DATA" not in srv.verbs
    # A server that answers garbage (or lines that disagree) is not spoken to any further.
    assert srv.quit_received == refusal.startswith(("550", "354"))


def test_refused_sender_ends_politely(scripted_smtp, run_larkpost):
    srv = scripted_smtp(MAIL="553 sender rejected")
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (status, stdout) == (1, output("Error sending mail from user [me@example.test]\n"))
    assert srv.verbs == ["EHLO", "MAIL", "QUIT"]


@pytest.mark.parametrize("verb, reply, message, quit", [
    ("DATA", "554 no data for you", "Server refused message data\n", True),
    ("DATA", "250 not 354", "Server refused message data\n", True),
    ("DATA_END", "552 too big", "Server did not accept the message\n", True),
    ("MAIL", "421 closing", "Error sending mail from user [me@example.test]\n", False),
    ("EHLO", "421 closing", "Connection to server (127.0.0.1) was closed\n", False),
    ("DATA_END", "421 closing", "Server did not accept the message\n", False),
])
def test_refusals_and_closing_server(scripted_smtp, run_larkpost, verb, reply, message, quit):
    srv = scripted_smtp(**{verb: reply})
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (status, stdout) == (1, output(message))
    assert srv.quit_received == quit
    if verb == "DATA":
        assert srv.data == b""


@pytest.mark.parametrize("script, message", [
    ({"greeting": CLOSE}, "Server error or not SMTP Server\n"),
    ({"greeting": "554 go away"}, "Server error or not SMTP Server\n"),
    ({"greeting": "120 wait"}, "Server error or not SMTP Server\n"),
    ({"RCPT": CLOSE}, "Connection to server (127.0.0.1) was closed\n"),
    ({"DATA_END": CLOSE}, "Connection to server (127.0.0.1) was closed\n"
                          "The server may have the message: its reply to the end of the data never came\n"),
    ({"EHLO": long_line(250, 70000)}, "Server error or not SMTP Server\n"),
])
def test_broken_servers(scripted_smtp, run_larkpost, script, message):
    srv = scripted_smtp(script)
    status, stdout = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert (status, stdout) == (1, output(message))
    assert not srv.quit_received


def test_long_reply_lines_are_read_whole(scripted_smtp, run_larkpost):
    srv = scripted_smtp(EHLO=long_line(250, 5000), MAIL="250-" + "x" * 4500 + "\r\n250 ok")
    status, _ = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert status == 0
    assert srv.verbs == ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"]


@pytest.mark.parametrize("script", [{"greeting": STALL}, {"RCPT": STALL},
                                    {"MAIL": Trickle("250 a slow but endless reply line", 0.4)}])
def test_stalled_server_hits_the_time_limit(scripted_smtp, run_larkpost, script):
    srv = scripted_smtp(script)
    result = run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(srv.port, Timeout=2), timeout=20)
    assert (result.status, result.stdout) == (1, output("Server (127.0.0.1) did not answer within 2 seconds\n"))
    assert result.elapsed < 10


def test_connect_failures(run_larkpost, tmp_path):
    with socket.socket() as probe:  # a port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    # Standard output keeps its line; the system's reason goes to standard error, and the trace.
    trace = tmp_path / "trace.log"
    result = run_larkpost([f"--trace={host_path(trace)}", "a@x.test"], settings=server_settings(port), stderr_ok=True)
    assert result[:] == (1, output(f"Could not connect to server (127.0.0.1), port ({port})"))
    assert re.fullmatch(rb"Reason: .*refused.*\r?\n", result.stderr, re.IGNORECASE) or under_wine()
    assert re.search(r"\* failed: .*refused", trace.read_text(), re.IGNORECASE)
    result = run_larkpost(["-p", "70000", "a@x.test"], settings=server_settings(25))
    assert result[:] == (1, output("Could not connect to server (127.0.0.1), port (70000)"))
    result = run_larkpost(["-s", "no.such.host.invalid", "a@x.test"], stderr_ok=True)
    assert result[:] == (1, output("Server name (no.such.host.invalid) could not be resolved."))
    assert result.stderr.startswith(b"Reason: ") or under_wine()


@pytest.mark.parametrize("args, message", [
    (["-u", "evil@x.test>\r\nRCPT TO:<victim@x.test", "a@x.test"],
     "Error sending mail from user [evil@x.test>\\x0D\\x0ARCPT TO:<victim@x.test]\n"),
    (["-d", "client\r\nMAIL FROM:<x>", "a@x.test"], "Invalid domain (client\\x0D\\x0AMAIL FROM:<x>)\n"),
])
def test_unsafe_envelope_is_refused_before_connecting(scripted_smtp, run_larkpost, args, message):
    srv = scripted_smtp()
    status, stdout = run_larkpost(args, stdin=BODY, settings=server_settings(srv.port))
    assert status == 1
    assert stdout.endswith(text(message))
    assert srv.connection_count == 0


def test_list_file_recipients(scripted_smtp, run_larkpost, tmp_path):
    listing = tmp_path / "list.txt"
    long_address = "l" * 100 + "@x.test"
    listing.write_bytes(b"# the team\r\none@x.test\r\n  two@x.test \t\r\n\nx\n  # two@x.test left\n"
                        b"Jane Doe <jane@x.test>\r\n\"Doe, J.\" < j.doe@x.test >\n<bare@x.test>\n"
                        + long_address.encode() + b"\nlast@x.test")
    srv = scripted_smtp()
    status, _ = run_larkpost(["-l", str(listing), "ignored@x.test"], stdin=BODY, settings=server_settings(srv.port))
    assert status == 0
    assert [c for c in srv.commands if c.startswith(b"RCPT")] == [
        b"RCPT TO:<one@x.test>\r\n", b"RCPT TO:<two@x.test>\r\n", b"RCPT TO:<jane@x.test>\r\n",
        b"RCPT TO:<j.doe@x.test>\r\n", b"RCPT TO:<bare@x.test>\r\n",
        b"RCPT TO:<" + long_address.encode() + b">\r\n", b"RCPT TO:<last@x.test>\r\n"]
    assert listing.exists()


def test_lists_are_read_before_connecting(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"\n \n")
    for path, message in [(tmp_path / "none.txt", "\nNo valid recpients.\n"),
                          (empty, "\nNo valid recpients.\n"),
                          (tmp_path, f"Could not read the list file '{host_path(tmp_path)}'\n")]:
        status, stdout = run_larkpost(["-l", host_path(path)], stdin=BODY, settings=server_settings(srv.port))
        assert (status, stdout) == (1, output(message))
    assert srv.connection_count == 0


def test_list_with_byte_order_mark_and_an_enormous_line(scripted_smtp, run_larkpost, tmp_path):
    listing = tmp_path / "list.txt"
    listing.write_bytes(b"\xef\xbb\xbffirst@x.test\n" + b"h" * 300000 + b"@x.test\nlast@x.test\n")
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-l", host_path(listing)], stdin=BODY, settings=server_settings(srv.port))
    assert status == 2
    assert stdout == output("Error sending mail to user [" + "h" * 1000 + "...]\n")
    assert [c for c in srv.commands if c.startswith(b"RCPT")] == [b"RCPT TO:<first@x.test>\r\n",
                                                                 b"RCPT TO:<last@x.test>\r\n"]
