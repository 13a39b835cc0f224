"""Start-up: the settings file, the command line, usage, and the temporary list file."""

import os
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

from larkpost_runner import (host_path, is_windows_build, larkpost_binary, output, server_settings, text,
                             under_wine, wrapper)
from smtp_script import STALL

USAGE_START = "Usage Examples:\nlarkpost [-d:\\pathtoini\\larkpost.ini] [options] user@host [user2@host2...]\n"
USAGE_END = ("   -h                ( No Header           )  --  No Header in Input\n"
             "   -t                                         --  Parse Header for To and From\n")


def test_no_arguments_prints_usage(run_larkpost):
    status, stdout = run_larkpost([])
    assert status == 1
    assert stdout.startswith(output("Not enough arguments, recipients needed\n\n" + USAGE_START))
    assert stdout.endswith(text(USAGE_END))


@pytest.mark.parametrize("args", [["-?"], ["-b", "x", "/?", "a@x.test"], ["-s"], ["-l"], ["-X"]])
def test_usage_and_recipients_needed(run_larkpost, args):
    result = run_larkpost(args)
    assert result.status == 1
    assert result.stdout.endswith(text(USAGE_END))
    assert result.leftovers() == []


# Each settings file below must give the same settings on every build: the POSIX build's own
# reader and the Windows profile functions. `{port}` stands for the scripted server's port.
LONG_ADDRESS = "a" * 250 + "@example.test"
UTF8_BOM, UTF16LE_BOM, UTF16BE_BOM = "\ufeff".encode("utf-8"), b"\xff\xfe", b"\xfe\xff"
PROFILE_CASES = {
    "blanks, comments, quotes, case, first key counts": (
        "; a comment\r\n# another\r\n[other]\r\nServer=wrong.invalid\r\n"
        "[ smtp ]\r\n  SERVER  =  127.0.0.1  \r\nport = {port}\r\nPort = 1\r\n"
        "Domain = \"quoted.example.test\"\r\naddress='me@example.test'\r\n",
        "ascii", "quoted.example.test", "me@example.test"),
    "long value is kept whole": (
        f"[SMTP]\nServer=127.0.0.1\nPort={{port}}\nAddress={LONG_ADDRESS}\n",
        "ascii", "localhost.localdomain", LONG_ADDRESS),
    "long comment line ending in a key stays a comment": (
        "[SMTP]\nServer=127.0.0.1\n; " + "x" * 197 + "Port=1\nPort={port}\n",
        "ascii", "localhost.localdomain", "larkpost"),
    "indented key is a key of its own": (
        "[SMTP]\nServer=127.0.0.1\nDomain=indent.test\n  Port = {port}\n\tAddress = me@indent.test\n",
        "ascii", "indent.test", "me@indent.test"),
    "no inline comments": (
        "[SMTP]\nServer=127.0.0.1 \nPort={port} ; the port\nDomain = inline.test ; kept\n",
        "ascii", "inline.test ; kept", "larkpost"),
    "UTF-8 byte-order mark": (
        "[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nDomain=bom.test\r\n",
        "utf-8-bom", "bom.test", "larkpost"),
    "UTF-16LE with byte-order mark": (
        "[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nDomain=le.test\r\nAddress=me@le.test\r\n",
        "utf-16-le", "le.test", "me@le.test"),
    "UTF-16BE with byte-order mark": (
        "[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nDomain=be.test\r\n",
        "utf-16-be", "be.test", "larkpost"),
    "only the first of two like-named sections counts": (
        "[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nDomain=first.test\r\nDomain=second.test\r\n"
        "[Other]\r\n[smtp]\r\nAddress=second@section.test\r\n",
        "ascii", "first.test", "larkpost"),
    "a line without '=' hides the key after it": (
        "[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nAddress\r\nAddress=me@x.test\r\n",
        "ascii", "localhost.localdomain", "larkpost"),
    "keys before the first section belong to none": (
        "Domain=nowhere.test\r\n[SMTP\r\nDomain=broken.test\r\n[SMTP] trailing\r\n"
        "Server=127.0.0.1\r\nPort={port}\r\n",
        "ascii", "localhost.localdomain", "larkpost"),
    "one pair of matching quotes is removed": (
        "[SMTP]\r\nServer='127.0.0.1'\r\nPort=\"{port}\"\r\nDomain=\"'both.test'\"\r\n"
        "Address='me@x.test\"\r\n",
        "ascii", "'both.test'", "'me@x.test\""),
    "lone CR line ends, Ctrl-Z and NUL": (
        "[SMTP]\rServer=127.0.0.1\rPort={port}\rDomain=cr.test\x1a\rAddress=me@x.test\x00junk\r",
        "ascii", "cr.test", "me@x.test"),
}


def profile_bytes(content, encoding):
    if encoding == "utf-8-bom":
        return UTF8_BOM + content.encode()
    if encoding == "utf-16-le":
        return UTF16LE_BOM + content.encode("utf-16-le")
    if encoding == "utf-16-be":
        return UTF16BE_BOM + content.encode("utf-16-be")
    return content.encode()


@pytest.mark.parametrize("case", PROFILE_CASES)
def test_settings_file_is_read_like_a_profile(scripted_smtp, run_larkpost, case):
    content, encoding, domain, address = PROFILE_CASES[case]
    srv = scripted_smtp()
    settings = profile_bytes(content.replace("{port}", str(srv.port)), encoding)
    status, stdout = run_larkpost(["a@x.test"], stdin=b"x\n", settings=settings)
    assert (status, stdout) == (0, output(""))
    assert srv.commands[:2] == [f"EHLO {domain}\r\n".encode(), f"MAIL FROM:<{address}>\r\n".encode()]


def unreadable_settings(kind, tmp_path, port):
    """A first argument naming a settings file that cannot be read, and that file's name as shown."""
    if kind == "missing":
        return "-server", "server"  # as in `larkpost -server mail.example.com ...`
    if kind == "directory":
        return "-" + host_path(tmp_path), host_path(tmp_path)
    if kind == "device":  # read, it would be an empty file, or wait for ever (COM1)
        device = ".\\nul" if is_windows_build() else "/dev/null"
        return "-" + device, device
    big = tmp_path / "big.ini"
    head = f"[SMTP]\r\nServer=127.0.0.1\r\nPort={port}\r\nDomain=big.test\r\n".encode()
    big.write_bytes(head + b";" * (1024 * 1024 + 1 - len(head)))
    return "-" + host_path(big), host_path(big)


@pytest.mark.parametrize("kind", ["missing", "directory", "device", "too large"])
def test_unreadable_settings_file_is_reported(scripted_smtp, run_larkpost, tmp_path, kind):
    srv = scripted_smtp()
    first, shown = unreadable_settings(kind, tmp_path, srv.port)
    status, stdout = run_larkpost([first, "-s", "127.0.0.1", "-p", srv.port, "a@x.test"], stdin=b"x\n")
    assert (status, stdout) == (0, output(f"Settings file '{shown}' could not be read, using defaults\n"))
    assert srv.commands[0] == b"EHLO localhost.localdomain\r\n"


def test_settings_file_of_the_largest_size_is_read(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    head = f"[SMTP]\r\nServer=127.0.0.1\r\nPort={srv.port}\r\nDomain=big.test\r\n".encode()
    status, stdout = run_larkpost(["a@x.test"], stdin=b"x\n", settings=head + b";" * (1024 * 1024 - len(head)))
    assert (status, stdout) == (0, output(""))
    assert srv.commands[0] == b"EHLO big.test\r\n"


# Port values outside 1 to 65535 that would wrap to the server's own port; the reading
# of every other shape is a unit test's table.
OUT_OF_RANGE_PORTS = {
    "2^32 + port": lambda port: str(2**32 + port), "port - 2^32": lambda port: str(port - 2**32),
    "2^16 + port": lambda port: str(2**16 + port),
}


@pytest.mark.parametrize("value_for", OUT_OF_RANGE_PORTS.values(), ids=OUT_OF_RANGE_PORTS)
@pytest.mark.parametrize("where", ["option", "settings file"])
def test_port_out_of_range_is_refused_as_written(scripted_smtp, run_larkpost, where, value_for):
    srv = scripted_smtp()
    value = value_for(srv.port)
    if where == "option":
        status, stdout = run_larkpost(["-s", "127.0.0.1", "-p", value, "a@x.test"], stdin=b"x\n")
    else:
        status, stdout = run_larkpost(["a@x.test"], stdin=b"x\n",
                                      settings={"Server": "127.0.0.1", "Port": f" {value}x"})
    assert (status, stdout) == (1, output(f"Could not connect to server (127.0.0.1), port ({value})"))
    assert srv.connection_count == 0


def test_options_override_settings(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, _ = run_larkpost(["-S", "127.0.0.1", "/p", str(srv.port), "-d", "opt.test", "-u", "opt@x.test",
                              "a@x.test"], stdin=b"x\n", settings={"Server": "wrong.invalid", "Port": 1})
    assert status == 0
    assert srv.commands[:2] == [b"EHLO opt.test\r\n", b"MAIL FROM:<opt@x.test>\r\n"]


def test_defaults_without_settings_file(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-s", "127.0.0.1", "-p", str(srv.port), "a@x.test"], stdin=b"x\n")
    assert (status, stdout) == (0, output(""))  # a missing default file is no news
    assert srv.commands[:2] == [b"EHLO localhost.localdomain\r\n", b"MAIL FROM:<larkpost>\r\n"]


def test_options_end_at_the_first_recipient(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-b", "hi", "alice@x.test", "-h", "bob@x.test"], stdin=b"Subject: s\n\nx\n",
                                  settings=server_settings(srv.port))
    assert (status, stdout) == (0, output(""))
    assert [c for c in srv.commands if c.startswith(b"RCPT")] == [
        b"RCPT TO:<bob@x.test>\r\n", b"RCPT TO:<-h>\r\n", b"RCPT TO:<alice@x.test>\r\n"]
    assert srv.message() == b"Subject: s\r\n\r\nx\r\n"  # no -h: no program header


def default_settings_path(tmp_path, env):
    if is_windows_build():  # in the Windows directory
        prefix = Path(os.environ.get("WINEPREFIX") or Path.home() / ".wine")
        return prefix / "drive_c" / "windows" / "larkpost.ini"
    # in the user's configuration directory
    env["XDG_CONFIG_HOME"] = tmp_path / "config"
    env["XDG_CONFIG_HOME"].mkdir()
    return env["XDG_CONFIG_HOME"] / "larkpost.ini"


def test_default_settings_file(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    env = {}
    default = default_settings_path(tmp_path, env)
    default.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={srv.port}\nDomain=default.test\n")
    try:
        status, stdout = run_larkpost(["a@x.test"], stdin=b"x\n", env=env)
    finally:
        default.unlink()
    assert (status, stdout) == (0, output(""))
    assert srv.commands[0] == b"EHLO default.test\r\n"


def test_default_settings_file_that_cannot_be_read_is_reported(scripted_smtp, run_larkpost, tmp_path):
    srv = scripted_smtp()
    env = {}
    default = default_settings_path(tmp_path, env)
    default.mkdir()
    try:
        status, stdout = run_larkpost(["-s", "127.0.0.1", "-p", srv.port, "a@x.test"], stdin=b"x\n", env=env)
    finally:
        default.rmdir()
    assert status == 0
    assert stdout.endswith(text("larkpost.ini' could not be read, using defaults\n"))


def test_header_scan_ignores_list_and_arguments(scripted_smtp, run_larkpost, tmp_path):
    listing = tmp_path / "list.txt"
    listing.write_text("listed@x.test\n")
    srv = scripted_smtp()
    status, _ = run_larkpost(["-l", host_path(listing), "-t", "arg@x.test"],
                             stdin=b"From: Boss <boss@x.test>\nTo: header@x.test, #hash@x.test\n\nbody\n",
                             settings=server_settings(srv.port))
    assert status == 0
    # A list file's comments are no comments here: the header's addresses are taken as they are.
    assert [c for c in srv.commands if c.startswith((b"MAIL", b"RCPT"))] == [
        b"MAIL FROM:<boss@x.test>\r\n", b"RCPT TO:<header@x.test>\r\n", b"RCPT TO:<#hash@x.test>\r\n"]


def test_temporary_list_file_survives_no_kill(scripted_smtp, run_larkpost):
    srv = scripted_smtp(greeting=STALL)
    result = run_larkpost(["-t"], stdin=b"To: a@x.test\n\nbody\n", settings=server_settings(srv.port),
                          kill_after=1.5)
    assert result.status != 0
    assert result.leftovers() == []


@pytest.mark.parametrize("stdin, message", [
    (b"\nTo: not@header.test\n", "\nNo valid recpients.\n"),
    (b"To: a@x.test\nX-Big: " + b"a@b, " * 300000 + b"\n\n", "Message header is longer than 1 MiB, message not sent\n"),
])
def test_header_refused_before_connecting(scripted_smtp, run_larkpost, stdin, message):
    srv = scripted_smtp()
    result = run_larkpost(["-t"], stdin=stdin, settings=server_settings(srv.port))
    assert (result.status, result.stdout) == (1, output(message))
    assert srv.connection_count == 0
    assert result.leftovers() == []


@pytest.mark.skipif(not is_windows_build(), reason="Ctrl-Z ends text-mode input on Windows only")
def test_ctrl_z_ends_input_on_windows(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, _ = run_larkpost(["a@x.test"], stdin=b"Subject: z\r\n\r\nbefore\x1aafter\r\n",
                             settings=server_settings(srv.port))
    assert status == 0
    assert srv.message() == b"Subject: z\r\n\r\nbefore\r\n"


@pytest.mark.skipif(is_windows_build(), reason="Ctrl-Z is data on POSIX only")
def test_ctrl_z_is_data_on_posix(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, _ = run_larkpost(["a@x.test"], stdin=b"Subject: z\n\nbefore\x1aafter\n", settings=server_settings(srv.port))
    assert status == 0
    assert srv.message() == b"Subject: z\r\n\r\nbefore\x1aafter\r\n"


@pytest.mark.skipif(is_windows_build(), reason="inherited non-blocking input is a POSIX matter")
def test_non_blocking_standard_input_is_waited_for(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)

    def write_slowly():
        with open(write_end, "wb", buffering=0) as pipe:
            for chunk in (b"Subject: slow\n", b"\nfirst line\n", b"last line\n"):
                time.sleep(0.3)
                pipe.write(chunk)

    writer = threading.Thread(target=write_slowly)
    writer.start()
    try:
        status, stdout = run_larkpost(["a@x.test"], stdin=read_end, settings=server_settings(srv.port))
    finally:
        writer.join()
        os.close(read_end)
    assert (status, stdout) == (0, output(""))
    assert srv.message() == b"Subject: slow\r\n\r\nfirst line\r\nlast line\r\n"


@pytest.mark.skipif(not (is_windows_build() and under_wine()), reason="Wine turns SIGINT into Ctrl-C")
def test_ctrl_c_while_sending_ends_with_status_1_and_no_final_dot(scripted_smtp):
    srv = scripted_smtp()
    program = [*wrapper(), str(larkpost_binary()), "-s", "127.0.0.1", "-p", str(srv.port), "-h", "r@example.test"]
    run = subprocess.Popen(program, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           env={**os.environ, "LANG": "C.UTF-8"})
    run.stdin.write(b"a line of a message still being written\n" * 50)
    run.stdin.flush()
    deadline = time.monotonic() + 20
    while b"DATA\r\n" not in srv.commands and time.monotonic() < deadline:
        time.sleep(0.05)
    os.kill(run.pid, signal.SIGINT)
    assert run.wait(timeout=20) == 1  # the input is still open: the message is not complete
    run.stdin.close()
    run.stdout.close()
    assert srv.data_terminators == [None]


# Mistakes in the long options and the settings file say so.

@pytest.mark.parametrize("argument, message", [
    ("--securty=tls", "Unknown option '--securty' (did you mean --security?)\n"),
    ("--tls-verfy=yes", "Unknown option '--tls-verfy' (did you mean --tls-verify?)\n"),
    ("--password=Hunter2", "Unknown option '--password'\n"),  # the value may be a secret: never shown
    ("--colour", "Unknown option '--colour'\n"),
])
def test_unknown_long_option_ends_the_run_before_connecting(scripted_smtp, run_larkpost, argument, message):
    srv = scripted_smtp()
    status, stdout = run_larkpost(["-h", argument, "a@x.test"], stdin=b"x\n", settings=server_settings(srv.port))
    assert (status, stdout) == (1, output(message))
    assert srv.connection_count == 0


def test_settings_file_mistakes_are_warned_about_on_standard_error(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    settings = f"[SMTP]\nServer=127.0.0.1\nPort={srv.port}\n; Sever is the old name\nSever=x\nUsr=me\n"
    result = run_larkpost(["a@x.test"], stdin=b"x\n", settings=settings, stderr_ok=True)
    assert (result.status, result.stdout) == (0, output(""))  # standard output as ever
    path = result.stderr.decode().split("'")[1]
    assert result.stderr == text(
        f"Warning: settings file '{path}', line 5: unknown key 'Sever' (did you mean Server?)\n"
        f"Warning: settings file '{path}', line 6: unknown key 'Usr' (did you mean User?)\n")
    # A misspelt section: nothing is read from it, which explains the connection failure that follows.
    result = run_larkpost(["--check"], settings=f"[SMPT]\nServer=127.0.0.1\nPort={srv.port}\n", stderr_ok=True)
    warning = result.stderr.decode().replace("\r\n", "\n")
    assert warning.endswith("', line 1: section [SMPT] is not read (did you mean [SMTP]?)\n")
    assert warning in result.stdout.decode().replace("\r\n", "\n")  # --check lists it among its findings
    assert result.status == 1


def test_quiet_run_prints_nothing_unless_it_fails(scripted_smtp, run_larkpost):
    srv = scripted_smtp(RCPT=["250 ok", "550 no such user"])
    assert tuple(run_larkpost(["--quiet", "a@x.test"], stdin=b"x\n", settings=server_settings(srv.port))) == (0, b"")
    status, stdout = run_larkpost(["b@x.test", "c@x.test"], stdin=b"x\n", settings=server_settings(srv.port, Quiet="yes"))
    assert (status, stdout) == (2, text("Error sending mail to user [c@x.test]\n"))
    status, stdout = run_larkpost(["--quiet", "-s", "127.0.0.1", "-p", "1", "a@x.test"], stdin=b"x\n", stderr_ok=True)
    assert status == 1 and stdout.startswith(text("Could not connect to server (127.0.0.1), port (1)"))


def test_dry_run_shows_envelope_and_message_and_connects_nowhere(scripted_smtp, run_larkpost):
    srv = scripted_smtp()
    status, stdout = run_larkpost(["--dry-run", "--max-recipients=2", "-b", "Report", "-h", "a@x.test", "b@x.test",
                                   "c@x.test"], stdin=b"first\n.dot\n..two\nlast", settings=server_settings(srv.port))
    assert status == 0
    assert stdout.startswith(output(""))
    envelope, message = stdout[len(output("")):].split(text("\n\n"), 1)
    assert envelope == text("Transaction 1 of 2\nMAIL FROM:<me@example.test>\nRCPT TO:<c@x.test>\nRCPT TO:<b@x.test>\n"
                            "Transaction 2 of 2\nMAIL FROM:<me@example.test>\nRCPT TO:<a@x.test>")
    assert text("\nSubject: Report\n") in message
    assert message.endswith(text("\n\nfirst\n.dot\n..two\nlast\n"))  # as before dot-stuffing
    # What the real run would refuse before connecting, the dry run refuses too.
    status, stdout = run_larkpost(["--dry-run", "-l", "no-such-list.txt"], stdin=b"x\n",
                                  settings=server_settings(srv.port))
    assert (status, stdout) == (1, output("\nNo valid recpients.\n"))
    assert srv.connection_count == 0


def test_bracketed_ipv6_server_is_the_address(scripted_smtp, run_larkpost):
    try:
        srv = scripted_smtp(host="::1")
    except OSError:
        pytest.skip("no IPv6 loopback here")
    status, stdout = run_larkpost(["-s", "[::1]", "-p", str(srv.port), "a@x.test"], stdin=b"x\n")
    assert (status, stdout) == (0, output(""))
    status, stdout = run_larkpost(["a@x.test"], stdin=b"x\n", settings={"Server": "[::1]", "Port": srv.port})
    assert (status, stdout) == (0, output(""))
    assert srv.connection_count == 2


@pytest.mark.parametrize("closed, args", [
    ("<&-", ["a@x.test"]),  # the socket must not become standard input
    ("<&-", ["-h", "-a", "ATTACHMENT", "a@x.test"]),  # nor the attachment
    ("2>&-", ["--trace", "a@x.test"]),  # nor may the trace go into the session
])
def test_closed_standard_descriptors(scripted_smtp, tmp_path, closed, args):
    from larkpost_runner import larkpost_binary, wrapper
    import subprocess
    srv = scripted_smtp()
    attachment = tmp_path / "attached.txt"
    attachment.write_bytes(b"ATTACHED CONTENT\n")
    settings = tmp_path / "settings.ini"
    settings.write_text("".join(f"{k}={v}\n" for k, v in server_settings(srv.port).items()).join(["[SMTP]\n", ""]))
    argv = wrapper() + [str(larkpost_binary()), "-" + host_path(settings)]
    argv += [host_path(attachment) if a == "ATTACHMENT" else a for a in args]
    stdin = None if closed == "<&-" else subprocess.PIPE
    result = subprocess.run(["sh", "-c", f'"$@" {closed}', "sh"] + argv, input=None if stdin is None else b"hi\n",
                            stdout=subprocess.PIPE, timeout=30, env={**os.environ, "TMPDIR": str(tmp_path)})
    if is_windows_build() and closed == "<&-":
        # Wine hands the program a standard input that cannot be read: said, and the data never ended.
        assert (result.returncode, result.stdout) == (1, output("Could not read standard input, message not sent\n"))
        assert None in srv.data_terminators or "DATA" not in srv.verbs
        return
    assert result.returncode == 0, result
    assert srv.verbs[-1] == "QUIT"
    assert not any(b"* " in c or b"C: " in c for c in srv.commands)  # no trace line in the session
    assert b"ATTACHED CONTENT" not in srv.data.split(b"\r\n\r\n", 1)[-1] or "-a" in args
    if "-a" in args:  # attached as a part, after an empty body
        assert b"QVRUQUNIRUQgQ09OVEVOVAo=" in srv.data or b"ATTACHED CONTENT" in srv.data
        assert srv.message().count(b"ATTACHED CONTENT") <= 1
