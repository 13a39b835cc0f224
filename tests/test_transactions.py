"""Lists at scale and delivery that survives the network: pipelining, recipient limits,
SIZE, SMTPUTF8 and retries."""

import os

import pytest

from delivery_check import check_against_server, report_from
from larkpost_runner import host_path, is_windows_build, output, server_settings
from smtp_script import CLOSE, STALL

BODY = b"Subject: list\n\n.dotted line\nbody\n"
PIPELINING = "250-test\r\n250 PIPELINING"


def addresses(count, prefix="r"):
    return [f"{prefix}{i}@x.test" for i in range(count)]


def rcpts(srv):
    return [c[len(b"RCPT TO:<"):-3].decode() for c in srv.commands if c.startswith(b"RCPT")]


def list_file(tmp_path, recipients):
    path = tmp_path / "list.txt"
    path.write_text("".join(r + "\n" for r in recipients))
    return host_path(path)


@pytest.mark.parametrize("ehlo", ["250 test", PIPELINING])
def test_pipelined_or_not_the_user_sees_the_same(scripted_smtp, run_larkpost, tmp_path, ehlo):
    recipients = addresses(150)
    srv = scripted_smtp(EHLO=ehlo, RCPT=["250 ok"] * 10 + ["550 no such user"] + ["250 ok"] * 100 + ["551 moved"])
    result = run_larkpost(["-l", list_file(tmp_path, recipients)], stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (2, output("Error sending mail to user [r10@x.test]\n"
                                                        "Error sending mail to user [r111@x.test]\n"))
    assert rcpts(srv) == recipients
    assert srv.verbs.count("DATA") == 1 and srv.data_terminators == [b".\r\n"]
    # Pipelining sends commands ahead of the replies; without it, never.
    assert bool(srv.input_before_reply) == (ehlo == PIPELINING)


@pytest.mark.parametrize("ehlo, limit_replies", [
    ("250 test", ["452 4.5.3 Too many recipients"]),
    (PIPELINING, ["452 4.5.3 Too many recipients"] * 30),  # in the middle of a pipelined group
    ("250 test", ["552 5.5.3 Too many recipients"]),
])
def test_too_many_recipients_start_another_transaction(scripted_smtp, run_larkpost, tmp_path, ehlo, limit_replies):
    recipients = addresses(250)
    srv = scripted_smtp(EHLO=ehlo, RCPT=["250 ok"] * 100 + limit_replies + ["250 ok"] * 100 + limit_replies)
    result = run_larkpost(["-l", list_file(tmp_path, recipients)], stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (0, output(""))
    assert srv.verbs.count("MAIL") == 3 and srv.verbs.count("DATA") == 3
    accepted = [r for r in rcpts(srv)]
    assert sorted(set(accepted)) == sorted(recipients)  # everyone, some asked twice
    one = b"Subject: list\r\n\r\n..dotted line\r\nbody\r\n"
    assert srv.data == one * 3  # the same bytes each time, standard input read once
    assert result.leftovers() == []


def test_each_address_once_whatever_the_case_of_its_domain(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    listed = ["a@x.org", "A@x.org", "a@X.ORG", "b@Y.org", "b@y.ORG"]
    assert run_larkpost(["-l", list_file(tmp_path, listed)], stdin=BODY, settings=server_settings(srv.port)).status == 0
    assert rcpts(srv) == ["a@x.org", "A@x.org", "b@Y.org"]  # the local part as written, the first spelling


def test_max_recipients_splits_before_the_server_has_to(scripted_smtp, run_larkpost):
    srv = scripted_smtp(EHLO=PIPELINING)
    status, _ = run_larkpost(["--max-recipients=2"] + addresses(5), stdin=BODY, settings=server_settings(srv.port))
    assert status == 0
    assert srv.verbs == ["EHLO"] + ["MAIL", "RCPT", "RCPT", "DATA"] * 2 + ["MAIL", "RCPT", "DATA", "QUIT"]
    assert rcpts(srv) == list(reversed(addresses(5)))  # the last argument first, as always


def test_later_transaction_failure_says_who_did_not_get_it(scripted_smtp, run_larkpost):
    srv = scripted_smtp(DATA=["354 go", "554 5.7.1 no more today"])
    result = run_larkpost(["--max-recipients=2", "a@x.test", "b@x.test", "c@x.test"], stdin=BODY,
                          settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (2, output("Server refused message data\n"
                                                        "Error sending mail to user [a@x.test]\n"))
    assert srv.quit_received


def declared_size(srv):
    mail = srv.commands[1].decode()
    return int(mail.split("SIZE=")[1].split()[0]) if "SIZE=" in mail else None


@pytest.mark.parametrize("content, limit, declared", [
    (b"Subject: small\n\n" + b"x" * 70 + b"\n", 100000, True),  # surely within: declared, never below
    (b"Subject: small\n\nhi\n", 1000, False),  # may fit: sent, SIZE not declared
    (b"Subject: crlf\r\n\r\n" + (b"y" * 78 + b"\r\n") * 12000, 1000000, False),  # fits, just
])
def test_size_is_declared_only_when_sure(scripted_smtp, run_larkpost, tmp_path, content, limit, declared):
    message = tmp_path / "message.eml"
    message.write_bytes(content)
    srv = scripted_smtp(EHLO=f"250-test\r\n250 SIZE {limit}")
    with open(message, "rb") as stdin:
        status, _ = run_larkpost(["a@x.test"], stdin=stdin.fileno(), settings=server_settings(srv.port))
    assert status == 0
    size = declared_size(srv)
    assert (size is not None) == declared
    assert size is None or len(srv.data) + 3 <= size <= limit


def test_size_refused_before_data_only_when_surely_too_large(scripted_smtp, run_larkpost, tmp_path):
    attachment = tmp_path / "big.bin"
    attachment.write_bytes(b"\0" * 80000)  # 106,668 bytes in base64, whatever else
    small = scripted_smtp(EHLO="250-test\r\n250 SIZE 100000")
    result = run_larkpost(["-h", "-a", host_path(attachment), "a@x.test"], stdin=BODY,
                          settings=server_settings(small.port))
    assert (result.status, result.stdout) == (1, output("Message of about 106668 bytes is larger than server "
                                                        "(127.0.0.1) accepts (100000 bytes)\n"))
    assert small.verbs == ["EHLO", "QUIT"]

    # A large input may end early (a line holding a full stop): it is left to the server.
    message = tmp_path / "message.eml"
    message.write_bytes(b"Subject: big\n\n" + b"y" * 200000)
    large = scripted_smtp(EHLO="250-test\r\n250 SIZE 100000")
    with open(message, "rb") as stdin:
        assert run_larkpost(["a@x.test"], stdin=stdin.fileno(), settings=server_settings(large.port)).status == 0
    assert large.commands[1] == b"MAIL FROM:<me@example.test>\r\n"

    piped = scripted_smtp(EHLO="250-test\r\n250 SIZE 100000")  # a pipe's size is not known
    assert run_larkpost(["a@x.test"], stdin=BODY, settings=server_settings(piped.port)).status == 0
    assert piped.commands[1] == b"MAIL FROM:<me@example.test>\r\n"


def test_each_transaction_declares_what_the_message_needs(scripted_smtp, run_larkpost):
    utf8 = "8BITMIME\r\n250 SMTPUTF8"
    srv = scripted_smtp(EHLO=f"250-test\r\n250-{utf8}")
    header = "To: j\u00f6rg@b\u00fccher.test, ann@x.test\nSubject: hi\n\nbody\n".encode()
    assert run_larkpost(["-t", "--max-recipients=1"], stdin=header, settings=server_settings(srv.port)).status == 0
    assert [c for c in srv.commands if c.startswith(b"MAIL")] == [b"MAIL FROM:<me@example.test> BODY=8BITMIME SMTPUTF8\r\n"] * 2

    # Replayed to a server that no longer takes 8-bit data: refused, not sent as it is.
    srv = scripted_smtp(EHLO=["250-test\r\n250 8BITMIME", "250 test"], DATA_END=["451 4.3.0 later"])
    result = run_larkpost(["--retry=1", "--retry-delay=0", "a@x.test"], stdin="Subject: gr\u00fc\u00dfe\n\nGr\u00fc\u00dfe\n".encode(),
                          settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (1, output(RETRYING.format(1, 1) + "Server (127.0.0.1) does not offer "
                                                        "8BITMIME, which the message needs\n"))
    assert srv.verbs[-2:] == ["EHLO", "QUIT"]


@pytest.mark.parametrize("offered", [True, False])
def test_international_addresses_need_smtputf8(scripted_smtp, run_larkpost, offered):
    srv = scripted_smtp(EHLO="250-test\r\n250-8BITMIME\r\n250 SMTPUTF8" if offered else "250-test\r\n250 8BITMIME")
    result = run_larkpost(["j\u00f6rg@b\u00fccher.test", "ann@x.test"], stdin=BODY, settings=server_settings(srv.port))
    if offered:
        assert (result.status, result.stdout) == (0, output(""))
        assert srv.commands[1] == b"MAIL FROM:<me@example.test> BODY=8BITMIME SMTPUTF8\r\n"
        assert "j\u00f6rg@b\u00fccher.test".encode() in b"".join(srv.commands)
    else:
        assert (result.status, result.stdout) == (2, output("Error sending mail to user [j\u00f6rg@b\u00fccher.test]\n"))
        assert srv.commands[1] == b"MAIL FROM:<me@example.test> BODY=8BITMIME\r\n"
        assert rcpts(srv) == ["ann@x.test"]


MAYBE = "The server may have the message: its reply to the end of the data never came\n"
RETRYING = "Temporary failure at server (127.0.0.1), retrying in 0 seconds (attempt {} of {})\n"


@pytest.mark.parametrize("script, status, message, connections", [
    ({"greeting": [CLOSE]}, 0, RETRYING.format(1, 2), 2),
    ({"MAIL": ["451 4.3.0 busy", "250 ok"]}, 0, RETRYING.format(1, 2), 2),
    ({"RCPT": ["450 4.2.1 later", "451 later"]}, 0, RETRYING.format(1, 2), 2),
    ({"DATA_END": ["421 4.3.0 closing", "250 queued"]}, 0, RETRYING.format(1, 2), 2),
    ({"EHLO": ["421 4.3.2 busy", "250 test"]}, 0, RETRYING.format(1, 2), 2),  # 421 is temporary anywhere
    ({"EHLO": "502 no", "HELO": ["421 4.3.2 busy", "250 test"]}, 0, RETRYING.format(1, 2), 2),
    ({"greeting": [CLOSE, CLOSE, CLOSE]}, 1, RETRYING.format(1, 2) + RETRYING.format(2, 2).replace(" 0 ", " 1 ")
     + "Server error or not SMTP Server\n", 3),
    ({"MAIL": ["550 5.1.0 never"]}, 1, "Error sending mail from user [me@example.test]\n", 1),
    ({"DATA_END": [CLOSE]}, 1, "Connection to server (127.0.0.1) was closed\n" + MAYBE, 1),
])
def test_retries_after_temporary_failures_only(scripted_smtp, run_larkpost, script, status, message, connections):
    srv = scripted_smtp(script)
    result = run_larkpost(["a@x.test", "b@x.test"], stdin=BODY,
                          settings=server_settings(srv.port, Retry=2, RetryDelay=0))
    assert (result.status, result.stdout) == (status, output(message))
    assert srv.connection_count == connections
    if status == 0:  # the message as first written, replayed from the spool
        assert srv.data.endswith(b"Subject: list\r\n\r\n..dotted line\r\nbody\r\n")
    assert result.leftovers() == []


def test_retry_never_sends_twice_to_who_already_has_it(scripted_smtp, run_larkpost):
    srv = scripted_smtp(DATA=["354 go", "451 4.3.0 later", "354 go"])
    result = run_larkpost(["--max-recipients=1", "--retry=1", "--retry-delay=0", "a@x.test", "b@x.test"],
                          stdin=BODY, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (0, output(RETRYING.format(1, 1)))
    assert rcpts(srv) == ["b@x.test", "a@x.test", "a@x.test"]


def failed(*addresses):
    return "".join(f"Error sending mail to user [{a}]\n" for a in addresses)


# Each case: what the server answers, and what the run must print; besides, nobody gets the
# message twice, and the exit status and the report say what the server took.
@pytest.mark.parametrize("args, script, message", [
    # A bare 552 (the code alone) in the second transaction, after 452 in the first.
    (["d@x", "c@x", "b@x", "a@x"],
     {"RCPT": lambda a, n, t: "552" if t == 2 else "452 4.5.3 too many" if n > 2 else "250 ok"},
     failed("c@x", "d@x")),
    # A transaction that nobody could join is ended (RSET) and the next one goes on.
    (["--max-recipients=1", "c@x", "bad@x", "a@x"],
     {"RCPT": lambda a, n, t: "550 5.1.1 no such user" if a == "bad@x" else "250 ok"}, failed("bad@x")),
    # 452 to the first RCPT: that one is refused for now, the untried ones go on; retried later.
    (["--retry=2", "--retry-delay=0", "c@x", "b@x", "full@x", "a@x"],
     {"RCPT": lambda a, n, t: "452 4.2.2 full" if a == "full@x" else "250 ok"},
     RETRYING.format(1, 2) + RETRYING.format(2, 2).replace(" 0 ", " 1 ") + failed("full@x")),
    # Greylisted beside an accepted recipient: only the greylisted one is tried again.
    (["--retry=1", "--retry-delay=0", "grey@y", "a@x"],
     {"RCPT": lambda a, n, t: "451 4.7.1 greylisted" if a == "grey@y" and t == 1 else "250 ok"},
     RETRYING.format(1, 1)),
    # The third transaction's message is refused: its recipients carry that reply.
    (["--max-recipients=1", "c@x", "b@x", "a@x"], {"DATA_END": ["250 ok", "250 ok", "554 5.6.0 no"]},
     "Server did not accept the message\n" + failed("c@x")),
    # 421 to a later transaction's RCPT: named once.
    (["--max-recipients=1", "b@x", "a@x"], {"RCPT": ["250 ok", "421 4.3.2 closing"]}, failed("b@x")),
    # The end of the data unanswered: maybe delivered, never retried.
    (["--retry=2", "--retry-delay=0", "a@x"], {"DATA_END": STALL},
     "Server (127.0.0.1) did not answer within 1 seconds\n" + MAYBE),
])
def test_every_recipient_settled_once(scripted_smtp, run_larkpost, tmp_path, args, script, message):
    srv = scripted_smtp(script)
    path = tmp_path / "report.json"
    result = run_larkpost([f"--report={host_path(path)}"] + args, stdin=BODY,
                          settings=server_settings(srv.port, Timeout=1))
    assert result.stdout == output(message)
    recipients = [a for a in reversed(args) if not a.startswith("-")]
    report = report_from(result, path)
    check_against_server(srv, result.status, report, recipients)
    # Each recipient carries the reply that settled it, each transaction its end-of-data reply.
    data_ends = [reply for verb, _, reply in srv.log if verb == "DATA_END"]
    assert report["data_replies"] == [r for r in data_ends if r not in (CLOSE, STALL)]
    for entry in report["recipients"]:
        if entry["status"] == "delivered":
            assert entry["code"] == 250 and entry["text"] in ("ok", "queued")
    if "554 5.6.0 no" in data_ends:
        assert report["recipients"][2] == {"address": "c@x", "accepted": False, "status": "refused", "code": 554,
                                           "enhanced_code": "5.6.0", "text": "no"}
    if "full@x" in recipients:  # deferred once, then refused for now on each attempt
        assert rcpts(srv).count("full@x") == 4 and report["temporary"] is True


def test_without_a_spool_the_message_goes_out_once(scripted_smtp, run_larkpost, tmp_path):
    if is_windows_build():
        pytest.skip("Wine takes the temporary directory from its prefix, not from the environment")
    srv = scripted_smtp(RCPT=["250 ok", "452 4.5.3 too many"])
    missing = str(tmp_path / "missing")
    result = run_larkpost(["--retry=1", "--retry-delay=0", "b@x.test", "a@x.test"], stdin=BODY,
                          settings=server_settings(srv.port), env={"TMPDIR": missing})
    assert result.status == 2
    assert result.stdout.startswith(output("Could not create a temporary file: "))
    assert result.stdout.endswith(b"; the message can be sent only once, without retries\n"
                                  b"The message cannot be sent again\nError sending mail to user [b@x.test]\n")
    assert srv.verbs == ["EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"]  # nothing begun that could not end


def test_postfix_recipient_limit(postfix, run_larkpost, tmp_path):
    recipients = [postfix.address(f"many{i}") for i in range(250)]
    marker = f"limit-{recipients[0]}"
    status, stdout = run_larkpost(["-h", "-b", marker, "-l", list_file(tmp_path, recipients)], stdin=b"to all\n",
                                  settings=server_settings(postfix.port, Address="sender@example.test",
                                                           Domain="client.example.test"))
    assert (status, stdout) == (0, output(""))
    assert postfix.recipients_of(marker) == sorted(r.lower() for r in recipients)


def test_retry_delay_is_bounded(scripted_smtp, run_larkpost):
    srv = scripted_smtp(greeting=CLOSE)
    result = run_larkpost(["--retry=1", "--retry-delay=2147483647", "a@x.test"], stdin=BODY,
                          settings=server_settings(srv.port), kill_after=3)
    assert result.stdout == output(RETRYING.format(1, 1).replace(" 0 ", " 900 "))
