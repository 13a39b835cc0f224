"""Interoperability with a real, strict Postfix that refuses any bare LF."""

import email
import email.policy

from larkpost_runner import output, server_settings
from postfix_instance import strip_trace_headers


def settings_for(postfix, sender="sender@example.test"):
    return server_settings(postfix.port, Address=sender, Domain="client.example.test")


def test_message_arrives_intact(postfix, run_larkpost, tmp_path):
    rcpt = postfix.address("intact")
    body = b"first line\n.leading dot\n..two dots\nbare LF line\r\nCR LF line\n\ttabbed\n"
    attachment = tmp_path / "blob.bin"
    attachment.write_bytes(bytes(range(256)) * 20 + b"\r\n.\r\n\x1a\x00")
    status, stdout = run_larkpost(["-h", "-b", "Interop check", "-a", str(attachment), rcpt], stdin=body,
                                  settings=settings_for(postfix))
    assert (status, stdout) == (0, output(""))
    [copy] = postfix.wait_for_messages(rcpt)
    message = email.message_from_bytes(copy, policy=email.policy.default)
    assert message["Subject"] == "Interop check"
    assert message["Return-Path"] == "<sender@example.test>"
    text_part, file_part = message.iter_parts()
    assert text_part.get_content() == body.replace(b"\r\n", b"\n").decode()
    assert file_part.get_content() == attachment.read_bytes()


def test_relayed_message_keeps_its_lines(postfix, run_larkpost):
    rcpt = postfix.address("relay")
    message = (f"From: sender@example.test\nTo: {rcpt}\nSubject: relay\n\n"
               ".\tdot tab\n. \n...\nend\n").encode()
    status, _ = run_larkpost([rcpt], stdin=message, settings=settings_for(postfix))
    assert status == 0
    [copy] = postfix.wait_for_messages(rcpt)
    assert strip_trace_headers(copy) == message


def test_header_recipients_reach_everyone_and_bcc_stays_hidden(postfix, run_larkpost):
    to1, to2, cc, bcc1, bcc2 = (postfix.address(tag) for tag in ("to1", "to2", "cc", "bcc1", "bcc2"))
    marker = f"header-scan-{to1}"
    message = (f'From: "Report Robot" <robot@example.test>\n'
               f'To: Ann Example <{to1}>, "Doe, Bob" <{to2}>\n'
               f"Cc: {cc} (carbon copy)\n"
               f"Bcc: {bcc1},\n"
               f"  Hidden Person <{bcc2}>\n"
               f"Subject: {marker}\n\nHello all\n").encode()
    srv_settings = settings_for(postfix, sender="ignored@example.test")
    result = run_larkpost(["-t"], stdin=message, settings=srv_settings)
    assert (result.status, result.stdout) == (0, output(""))
    assert result.leftovers() == []
    assert postfix.recipients_of(marker) == sorted(a.lower() for a in (to1, to2, cc, bcc1, bcc2))
    for copy in postfix.messages(to1) + postfix.messages(bcc2):
        parsed = email.message_from_bytes(copy, policy=email.policy.default)
        assert parsed["Return-Path"] == "<robot@example.test>"
        assert parsed["Bcc"] is None
        assert b"bcc1" not in strip_trace_headers(copy) and b"bcc2" not in strip_trace_headers(copy)
        assert parsed["Date"] is not None and parsed["Message-ID"] is not None


def test_refused_recipient_through_postfix(postfix, run_larkpost):
    good = postfix.address("good")
    status, stdout = run_larkpost(["-h", "unknown-user@example.test", good], stdin=b"hi\n",
                                  settings=settings_for(postfix))
    assert (status, stdout) == (2, output("Error sending mail to user [unknown-user@example.test]\n"))
    assert len(postfix.wait_for_messages(good)) == 1


def test_hostile_shapes_arrive_whole(postfix, run_larkpost, tmp_path):
    """A header without its empty line, a Bcc hidden behind a bare CR, a body that is
    already MIME, and a body line that looks like the boundary: each intact after Postfix."""
    to, bcc, smuggled = postfix.address("shape-to"), postfix.address("shape-bcc"), postfix.address("smuggled")
    attachment = tmp_path / "blob.bin"
    attachment.write_bytes(bytes(range(256)) * 8)
    stdin = (f"To: {to}\nBcc: {bcc}\nSubject: shapes\rBcc: {smuggled}\nMIME-Version: 1.0\n"
             f"Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n"
             f"Gr\u00fc\u00dfe without an empty line\n--divider--\nend\n").encode()
    result = run_larkpost(["-t", "-a", str(attachment)], stdin=stdin, settings=settings_for(postfix))
    assert (result.status, result.stdout) == (0, output(""))
    [copy] = postfix.wait_for_messages(to)
    assert len(postfix.wait_for_messages(bcc)) == 1
    assert postfix.messages(smuggled) == []
    message = email.message_from_bytes(copy, policy=email.policy.default)
    assert message["Bcc"] is None and bcc.encode() not in copy
    assert message["Subject"] == f"shapes Bcc: {smuggled}"
    text_part, file_part = message.iter_parts()
    assert text_part.get_content() == "Gr\u00fc\u00dfe without an empty line\n--divider--\nend\n"
    assert file_part.get_content() == attachment.read_bytes()
