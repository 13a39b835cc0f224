"""What goes between DATA and the end of data, read back by a real MIME parser."""

import email
import email.policy
import os
import threading

import pytest

from larkpost_runner import host_path, is_windows_build, output, server_settings
from smtp_script import Trickle

BINARY_CONTENT = bytes(range(256)) * 40 + b"\r\n\n\r\x1a\x00.\r\n.\r\n" + bytes(1000)


def parse(message: bytes):
    return email.message_from_bytes(message, policy=email.policy.default)


def text_of(part) -> str:
    return part.get_content().replace("\r\n", "\n")


def send(scripted_smtp, run_larkpost, args, stdin, script=None, **settings):
    srv = scripted_smtp(script)
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


def test_complete_message_is_relayed_unchanged(scripted_smtp, run_larkpost):
    stdin = b"Subject: as is\r\n\r\n.one\n..two\r\nbare\rCR\n.\nafter the end\n"
    srv, _ = send(scripted_smtp, run_larkpost, ["-b", "unused", "-r", "1"], stdin)
    assert srv.data == b"Subject: as is\r\n\r\n..one\r\n...two\r\nbare\r\nCR\r\n"
    assert srv.message() == b"Subject: as is\r\n\r\n.one\r\n..two\r\nbare\r\nCR\r\n"


@pytest.mark.parametrize("args, stdin, data", [
    # The listing of `ls -a` holds a lone "." line: all of it goes, the dot stuffed.
    (["--ignore-dots"], b".\n..\nfile\n.\r\nend", b".\r\n...\r\nfile\r\n..\r\nend\r\n"),
    # The header scan under -t does not end at a lone full stop either: the line begins the body.
    (["--ignore-dots", "-t"], b"To: a@x.test\n.\nbody\n", b">\r\n\r\n..\r\nbody\r\n"),
])
def test_ignore_dots_sends_to_the_end_of_input(scripted_smtp, run_larkpost, args, stdin, data):
    srv, _ = send(scripted_smtp, run_larkpost, args, stdin)
    assert srv.data.endswith(data)


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


@pytest.mark.parametrize("kind", ["missing", "directory", "unreadable", "fifo"])
def test_attachment_that_is_not_a_readable_file(scripted_smtp, run_larkpost, tmp_path, kind):
    if kind == "unreadable" and (os.geteuid() == 0 or is_windows_build()):
        pytest.skip("root reads every file; Windows has no such mode bits")
    if kind == "fifo" and is_windows_build():
        pytest.skip("FIFOs are POSIX")
    path = tmp_path / kind
    if kind == "directory":
        path.mkdir()
    elif kind == "unreadable":
        path.write_bytes(b"x")
        path.chmod(0)
    elif kind == "fifo":
        os.mkfifo(path)  # opening it must not wait for a writer
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-h", "-a", host_path(path), "r@example.test"], stdin=b"body\n",
                                  settings=server_settings(srv.port), timeout=10)
    if kind == "unreadable":  # there, but not to be read: the run ends before connecting
        assert (status, stdout) == (1, output(f"Could not read attachment '{path}' (Permission denied), "
                                              "message not sent\n"))
        assert srv.connection_count == 0
        return
    assert (status, stdout) == (0, output(f"\n\bAttachment '{host_path(path)}' could not be found\n"))
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


@pytest.mark.parametrize("stdin, body", [
    (b"To: a@example.test\nSubject: report\nThe backup failed.\n", "The backup failed.\n"),
    (b"To: a@example.test\nSubject: report\n.\nnot part of it\n", ""),
    (b"To: a@example.test\nSubject: report", ""),
])
def test_header_without_empty_line_keeps_its_body(scripted_smtp, run_larkpost, stdin, body):
    srv = scripted_smtp()
    result = run_larkpost(["-t"], stdin=stdin, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (0, output(""))
    assert srv.commands[1:3] == [b"MAIL FROM:<me@example.test>\r\n", b"RCPT TO:<a@example.test>\r\n"]
    message = parse(srv.message())
    assert message["Subject"] == "report"
    assert text_of(message) == body


@pytest.mark.parametrize("stdin", [b"To: a@example.test\nSubject: hi\rBcc: secret@example.test\n\nbody\n",
                                   b"To: a@example.test\r\r\nBcc: secret@example.test\r\r\n\r\nbody\r\n"])
def test_bare_cr_cannot_smuggle_a_field_past_the_header_scan(scripted_smtp, run_larkpost, stdin):
    srv = scripted_smtp()
    result = run_larkpost(["-t"], stdin=stdin, settings=server_settings(srv.port))
    assert result.status == 0
    message = parse(srv.message())
    assert message["Bcc"] is None and b"Bcc:" not in srv.message().split(b"\r\n\r\n")[0].replace(b"hi Bcc:", b"")
    assert text_of(message) == "body\n"
    rcpts = [c for c in srv.commands if c.startswith(b"RCPT")]
    assert b"RCPT TO:<a@example.test>\r\n" in rcpts
    # What went out as a field was read as one: a Bcc on a line of its own was honoured.
    assert (b"RCPT TO:<secret@example.test>\r\n" in rcpts) == (b"\r\r\nBcc" in stdin)


@pytest.mark.parametrize("args", [[], ["-t"]])
@pytest.mark.parametrize("ending", [b"\n\n", b"\n", b"\nThis line ends the header.\n", b"\n.\nnot sent\n"])
def test_attachment_is_a_real_part_of_any_complete_message(scripted_smtp, run_larkpost, tmp_path, args, ending):
    attachment = tmp_path / "data.bin"
    attachment.write_bytes(BINARY_CONTENT)
    stdin = (b"To: rcpt@example.test\nMIME-Version: 1.0\nContent-Type: text/plain;\n charset=utf-8\n"
             b"Content-Transfer-Encoding: 8bit\nSubject: mixed" + ending + "Gr\u00fc\u00dfe\n".encode())
    srv, _ = send(scripted_smtp, run_larkpost, args + ["-a", host_path(attachment), "-b", "added"], stdin)
    message = parse(srv.message())
    # The input's Subject comes first; -b adds its own beside it.
    assert message.get_all("Subject") == ["mixed", "added"]
    assert message.get_all("Content-Type") == [message["Content-Type"]]
    assert message.get_content_type() == "multipart/mixed"
    assert message.get_all("MIME-Version") == ["1.0"]
    text_part, file_part = message.iter_parts()
    assert text_part.get_content_charset() == "utf-8"
    # Without an empty line, the first line that is not a field ends the header.
    expected = {b"\n\n": "Gr\u00fc\u00dfe\n", b"\n": "Gr\u00fc\u00dfe\n", b"\n.\nnot sent\n": "",
                b"\nThis line ends the header.\n": "This line ends the header.\nGr\u00fc\u00dfe\n"}[ending]
    assert text_of(text_part) == expected
    assert file_part.get_content() == BINARY_CONTENT


def test_body_cannot_close_the_multipart(scripted_smtp, run_larkpost, tmp_path):
    attachment = tmp_path / "a.bin"
    attachment.write_bytes(b"attached")
    body = b"--divider--\r\n--divider\r\nContent-Type: text/html\r\n\r\nfake\r\n"
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-a", host_path(attachment)], body)
    message = parse(srv.message())
    boundary = message.get_boundary()
    assert boundary.startswith("divider") and len(boundary) >= 7 + 16
    text_part, file_part = message.iter_parts()
    assert text_of(text_part) == body.decode().replace("\r\n", "\n")
    assert file_part.get_content() == b"attached"


def test_attachment_is_the_file_that_was_found(scripted_smtp, run_larkpost, tmp_path):
    attachment = tmp_path / "report.txt"
    attachment.write_bytes(b"the original")
    srv = scripted_smtp(greeting=Trickle("220 slow greeting", 0.05))

    def replace():  # while the run waits for the greeting, however long the program took to start
        if srv.connected.wait(30):
            attachment.unlink()
            attachment.write_bytes(b"an impostor")

    replacer = threading.Thread(target=replace)
    replacer.start()
    status, _ = run_larkpost(["-h", "-a", host_path(attachment), "r@example.test"], stdin=b"body\n",
                             settings=server_settings(srv.port))
    replacer.join()
    assert status == 0
    _, file_part = parse(srv.message()).iter_parts()
    assert file_part.get_content() == b"the original"


@pytest.mark.parametrize("subject", [
    ("x" * 20000) + " and " + ("word " * 1000),  # within a Windows command line
    "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 " * 20,
])
def test_program_fields_are_valid_whatever_they_hold(scripted_smtp, run_larkpost, subject):
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-u", "", "-d", "my host", "-f", "R\u00e9port Robot",
                                                "-b", subject], b"body\n")
    header = srv.message().split(b"\r\n\r\n")[0]
    assert max(len(line) for line in header.split(b"\r\n")) <= 78
    message = parse(srv.message())
    assert message["Subject"] == subject
    assert message["From"].addresses[0].display_name == "R\u00e9port Robot"
    assert message["From"].addresses[0].addr_spec == "MAILER-DAEMON@localhost.localdomain"
    assert message["Message-ID"].endswith("@localhost.localdomain>")
    assert srv.commands[1] == b"MAIL FROM:<>\r\n"


@pytest.mark.parametrize("args, stdin", [(["-h"], b"See the files.\n"),
                                         ([], b"From: a@example.test\nSubject: files\n\nSee the files.\n")])
@pytest.mark.parametrize("count", [2, 3])
def test_every_attachment_is_a_part_in_order(scripted_smtp, run_larkpost, tmp_path, args, stdin, count):
    files = [("first.bin", BINARY_CONTENT), ("r\u00e9sum\u00e9.txt", b"caf\xc3\xa9\r\n"), ("empty", b"")][:count]
    for name, content in files:
        (tmp_path / name).write_bytes(content)
    path = [host_path(tmp_path / name) for name, _ in files]
    missing = host_path(tmp_path / "missing.txt")
    # -a's part comes first wherever it stands; a missing file is left out.
    options = [f"--attach={path[1]}", "-a", path[0], f"--attach={missing}"] + [f"--attach={p}" for p in path[2:]]
    srv, result = send(scripted_smtp, run_larkpost, args + options, stdin)
    assert result.stdout == output(f"\n\bAttachment '{missing}' could not be found\n")
    message = parse(srv.message())
    text_part, *file_parts = message.iter_parts()
    assert text_of(text_part) == "See the files.\n"
    assert [(part.get_filename(), part.get_content()) for part in file_parts] == files
    assert message.defects == [] and all(part.defects == [] for part in file_parts)


@pytest.mark.parametrize("args, html_part", [(["-h", "--html"], False), (["-h", "--html", "-a", "ATTACHMENT"], True),
                                             (["--html"], None)])
def test_html_body(scripted_smtp, run_larkpost, tmp_path, args, html_part):
    (tmp_path / "a.txt").write_bytes(b"attached")
    args = [host_path(tmp_path / "a.txt") if a == "ATTACHMENT" else a for a in args]
    stdin = b"<p>Hello</p>\n" if html_part is not None else b"Subject: as is\n\n<p>Hello</p>\n"
    srv, _ = send(scripted_smtp, run_larkpost, args, stdin, Charset="utf-8")
    if html_part is None:  # a complete message is relayed as it is
        assert srv.message() == stdin.replace(b"\n", b"\r\n")
        return
    message = parse(srv.message())
    body = next(message.iter_parts()) if html_part else message
    assert message["MIME-Version"] == "1.0"
    assert (body.get_content_type(), body.get_content_charset(), body["Content-Transfer-Encoding"]) == \
        ("text/html", "utf-8", "7bit")
    assert text_of(body) == "<p>Hello</p>\n"


@pytest.mark.parametrize("attach", [False, True])
@pytest.mark.parametrize("ehlo, encoding", [("250-test\r\n250 8BITMIME", "8bit"), ("250 test", "7bit")])
def test_utf8_body_is_labelled_utf8(scripted_smtp, run_larkpost, tmp_path, attach, ehlo, encoding):
    (tmp_path / "a.txt").write_bytes(b"attached")
    args = ["-h", "--charset=utf-8"] + (["-a", host_path(tmp_path / "a.txt")] if attach else [])
    srv, _ = send(scripted_smtp, run_larkpost, args, "Gr\u00fc\u00dfe\n".encode(), script={"EHLO": ehlo})
    message = parse(srv.message())
    body = next(message.iter_parts()) if attach else message
    if not attach and encoding == "7bit":  # plain text the server takes as it is needs no label
        assert message["Content-Type"] is None and message["MIME-Version"] is None
        return
    assert (body.get_content_type(), body.get_content_charset(), body["Content-Transfer-Encoding"]) == \
        ("text/plain", "utf-8", encoding)
    assert text_of(body) == "Gr\u00fc\u00dfe\n"


def test_default_charset_is_the_platforms(scripted_smtp, run_larkpost, tmp_path):
    (tmp_path / "a.txt").write_bytes(b"attached")
    srv, _ = send(scripted_smtp, run_larkpost, ["-h", "-a", host_path(tmp_path / "a.txt")], b"body\n")
    text_part, _ = parse(srv.message()).iter_parts()
    # Wine under LANG=C.UTF-8 keeps the ANSI code page of en-US: 1252.
    assert text_part.get_content_charset() == ("windows-1252" if is_windows_build() else "utf-8")
