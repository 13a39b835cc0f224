"""What goes between DATA and the end of data, read back by a real MIME parser."""

import email
import email.policy
import os

import pytest

from larkpost_runner import is_windows_build, output, server_settings

BINARY_CONTENT = bytes(range(256)) * 40 + b"\r\n\n\r\x1a\x00.\r\n.\r\n" + bytes(1000)


def parse(message: bytes):
    return email.message_from_bytes(message, policy=email.policy.default)


def text_of(part) -> str:
    return part.get_content().replace("\r\n", "\n")


def send(scripted_smtp, run_larkpost, args, stdin, **settings):
    srv = scripted_smtp()
    result = run_larkpost(args + ["rcpt@example.test"], stdin=stdin, settings=server_settings(srv.port, **settings))
    assert result.status == 0, result
    assert not srv.has_bare_lf()
    assert srv.data_terminators == [b".\r\n"]
    return srv, result


@pytest.mark.parametrize("size", [0, 1, 53, 54, 55, len(BINARY_CONTENT)])
def test_attachment_decodes_to_the_file_bytes(scripted_smtp, run_larkpost, tmp_path, size):
    attachment = tmp_path / "data.bin"
    attachment.write_bytes(BINARY_CONTENT[:size])
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-b", "Report", "-a", str(attachment)],
                  b"Hello\r\n.leading dot\r\n")
    message = parse(srv.message())
    assert message["Subject"] == "Report"
    assert message.get_content_type() == "multipart/mixed"
    text_part, file_part = message.iter_parts()
    assert text_of(text_part) == "Hello\n.leading dot\n"
    assert file_part.get_filename() == "data.bin"
    assert file_part.get_content() == BINARY_CONTENT[:size]
    assert max(len(line) for line in srv.message().split(b"\r\n")) <= 998
    assert message.defects == [] and file_part.defects == []


def test_program_header_is_complete(scripted_smtp, run_larkpost):
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-f", "Report Robot, Inc.", "-r", "2", "-b", "Weekly"],
                  b"Body text\n", Domain="client.example.test")
    message = parse(srv.message())
    assert message["From"].addresses[0].display_name == "Report Robot, Inc."
    assert message["From"].addresses[0].addr_spec == "me@example.test"
    assert message["Date"].datetime is not None
    assert message["Message-ID"].endswith("@client.example.test>")
    assert message["X-Priority"] == "2"
    assert text_of(message) == "Body text\n"


def test_complete_message_gets_mime_inserted(scripted_smtp, run_larkpost, tmp_path):
    attachment = tmp_path / "notes.txt"
    attachment.write_bytes(b"file\r\n")
    srv, _ = send(scripted_smtp, run_larkpost, ["-a", str(attachment), "-b", "Added"],
                  b"From: a@example.test\nSubject: Original\n\nThe body\n")
    message = parse(srv.message())
    assert message.get_all("Subject") == ["Original", "Added"]
    text_part, file_part = message.iter_parts()
    assert text_of(text_part) == "The body\n"
    assert file_part.get_content() == b"file\r\n"


def test_complete_message_is_relayed_unchanged(scripted_smtp, run_larkpost):
    stdin = b"Subject: as is\r\n\r\n.one\n..two\r\nbare\rCR\n.\nafter the end\n"
    srv, _ = send(scripted_smtp, run_larkpost, ["-b", "unused", "-r", "1"], stdin)
    assert srv.data == b"Subject: as is\r\n\r\n..one\r\n...two\r\nbare\r\nCR\r\n"
    assert srv.message() == b"Subject: as is\r\n\r\n.one\r\n..two\r\nbare\r\nCR\r\n"


def test_last_line_without_line_end(scripted_smtp, run_larkpost):
    srv, _ = send(scripted_smtp, run_larkpost, [], b"Subject: x\n\n.x")
    assert srv.data == b"Subject: x\r\n\r\n..x\r\n"


def test_long_lines_stay_whole(scripted_smtp, run_larkpost):
    long_line = b"." + b"y" * 200000
    srv, _ = send(scripted_smtp, run_larkpost, [], b"Subject: x\n\n" + long_line + b"\n.\n")
    assert srv.message() == b"Subject: x\r\n\r\n" + long_line + b"\r\n"


def test_unusual_attachment_names(scripted_smtp, run_larkpost, tmp_path):
    name = 'r\u00e9sum\u00e9 "final".pdf' if not is_windows_build() else "r\u00e9sum\u00e9 final.pdf"
    attachment = tmp_path / name
    attachment.write_bytes(b"%PDF")
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-a", str(attachment)], b"see attached\n")
    _, file_part = parse(srv.message()).iter_parts()
    assert file_part.get_filename() == name
    assert file_part.get_content() == b"%PDF"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_attachment_is_not_attached(scripted_smtp, run_larkpost, tmp_path):
    attachment = tmp_path / "secret.bin"
    attachment.write_bytes(b"x")
    attachment.chmod(0)
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-h", "-a", str(attachment), "r@example.test"], stdin=b"body\n",
                                  settings=server_settings(srv.port))
    assert status == 0
    assert stdout == output(f"\n\bAttachment '{attachment}' could not be found\n")
    assert b"divider" not in srv.message()


def test_missing_attachment_is_a_warning(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    missing = tmp_path / "missing.doc"
    status, stdout = run_larkpost(["-h", "-a", str(missing), "r@example.test"], stdin=b"body\n",
                                  settings=server_settings(srv.port))
    assert status == 0
    assert stdout == output(f"\n\bAttachment '{missing}' could not be found\n")
    assert text_of(parse(srv.message())) == "body\n"


@pytest.mark.skipif(is_windows_build(), reason="reads a directory as standard input on POSIX")
def test_unreadable_input_is_never_sent_as_complete(scripted_smtp, tmp_path):
    # A directory as standard input opens but fails to read: the message must not be ended.
    import subprocess
    from larkpost_runner import larkpost_binary, settings_text
    srv = scripted_smtp()
    ini = tmp_path / "s.ini"
    ini.write_text(settings_text(server_settings(srv.port)))
    directory = os.open(tmp_path, os.O_RDONLY)
    try:
        proc = subprocess.run([str(larkpost_binary()), f"-{ini}", "-h", "r@example.test"], stdin=directory,
                              capture_output=True, timeout=30)
    finally:
        os.close(directory)
    assert proc.returncode == 1
    assert proc.stdout.endswith(b"Could not read standard input, message not sent\n")
    assert srv.data_terminators in ([], [None])
    assert not srv.quit_received
