"""Text outside ASCII in arguments, files, settings and secrets: the same wire bytes from every build.

Under Wine with LARKPOST_NATIVE_BIN set, each case also runs the native build on the same input
and compares what the two sent.
"""

import email
import email.policy
import os
import re
import shutil
import subprocess
import threading

import pytest

from larkpost_runner import host_path, is_windows_build, output, server_settings, under_wine, wrapper
from smtp_script import AuthExchange, Trickle

INTERNATIONAL = "250-test\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n250 AUTH PLAIN"
SUBJECT = "Gr\u00fc\u00dfe \u0141\u00f3d\u017a \u65e5\u672c"
BODY = b"body\n"


def wire(srv):
    """What a run sent, without what differs from run to run (date, message id, boundary)."""
    message = re.sub(rb"(?m)^(Date|Message-ID): [^\r]*\r\n", b"", srv.message())
    boundary = re.search(rb'boundary="([^"]+)"', message)
    if boundary:
        message = message.replace(boundary.group(1), b"BOUNDARY")
    return srv.commands, srv.auth, message


class FileArg:
    """A file argument: Wine's name for it to the Windows build, the host's to the native one."""

    def __init__(self, path, prefix=""):
        self.native, self.shown = prefix + str(path), prefix + host_path(path)


def send_both(scripted_smtp, run_larkpost, tmp_path, args, settings_lines, env=None, encoding="utf-8"):
    """Runs the build under test, and the native one on the same input when it is beside it
    (LARKPOST_NATIVE_BIN): both must send the same. Returns the server of the first run."""
    env = env or {}

    def settings(port):
        # The first line of a key counts.
        lines = ["[SMTP]", "Server=127.0.0.1", f"Port={port}", *settings_lines, "Address=me@example.test",
                 "Charset=utf-8"]
        return "".join(f"{line}\r\n" for line in lines).encode(encoding)

    srv = scripted_smtp(EHLO=INTERNATIONAL)
    result = run_larkpost([a.shown if isinstance(a, FileArg) else a for a in args], stdin=BODY, env=env,
                          settings=settings(srv.port))
    assert (result.status, result.stdout) == (0, output("")), result
    native = os.environ.get("LARKPOST_NATIVE_BIN")
    if is_windows_build() and native:
        native_srv = scripted_smtp(EHLO=INTERNATIONAL)
        ini = tmp_path / "native.ini"
        ini.write_bytes(settings(native_srv.port))
        run = subprocess.run([native, f"-{ini}", *[a.native if isinstance(a, FileArg) else a for a in args]],
                             input=BODY, capture_output=True, timeout=30,
                             env={"PATH": os.environ["PATH"], "HOME": str(tmp_path), **env})
        assert run.returncode == 0, run
        assert wire(srv) == wire(native_srv)
    return srv


def parse(message):
    return email.message_from_bytes(message, policy=email.policy.default)


def rcpts(srv):
    return [c[len(b"RCPT TO:<"):-len(b">\r\n")].decode() for c in srv.commands if c.startswith(b"RCPT")]


def test_arguments_keep_every_character(scripted_smtp, run_larkpost, tmp_path):
    (tmp_path / "\u0141\u00f3d\u017a.txt").write_bytes(b"the right file")
    (tmp_path / "L\u00f3dz.txt").write_bytes(b"a lookalike")  # what a best-fit conversion would pick
    (tmp_path / "\u65e5\u672c.txt").write_bytes(b"japanese")
    args = ["-h", "-b", SUBJECT, "-a", FileArg(tmp_path / "\u0141\u00f3d\u017a.txt"),
            FileArg(tmp_path / "\u65e5\u672c.txt", "--attach="), "\u0142ukasz@example.com", "\u65e5\u672c@example.com"]
    srv = send_both(scripted_smtp, run_larkpost, tmp_path, args, [])
    assert rcpts(srv) == ["\u65e5\u672c@example.com", "\u0142ukasz@example.com"]
    message = parse(srv.message())
    assert message["Subject"] == SUBJECT
    _, first, second = message.iter_parts()
    assert (first.get_filename(), first.get_content()) == ("\u0141\u00f3d\u017a.txt", b"the right file")
    assert (second.get_filename(), second.get_content()) == ("\u65e5\u672c.txt", b"japanese")


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "utf-16", "windows-1252"])
def test_settings_file_in_each_encoding(scripted_smtp, run_larkpost, tmp_path, encoding):
    name = "Zo\u00eb Lecka" + ("" if encoding == "windows-1252" else " \u65e5\u672c")
    srv = send_both(scripted_smtp, run_larkpost, tmp_path, ["-h", "r@example.test"],
                    ["Address=zo\u00eb@example.com", f"From={name}"],
                    encoding=encoding)
    assert srv.commands[1] == "MAIL FROM:<zo\u00eb@example.com> BODY=8BITMIME SMTPUTF8\r\n".encode()
    message = parse(srv.message())
    assert message["From"].addresses[0].display_name == name


@pytest.mark.parametrize("content, expected", [
    ("j\u00fcrgen@example.com\r\n".encode("windows-1252"), ["j\u00fcrgen@example.com"]),
    ("\ufeffon\u00e9@example.com\r\n\u65e5@example.com\r\n".encode("utf-16-le"),  # PowerShell 5.1's >
     ["\u65e5@example.com", "on\u00e9@example.com"]),
    (b"a@example.com\r\n\x1a\r\nb@example.com\r\n\x1a", ["b@example.com", "a@example.com"]),
])
def test_list_files_are_decoded_and_read_whole(scripted_smtp, run_larkpost, tmp_path, content, expected):
    listing = tmp_path / "list.txt"
    listing.write_bytes(content)
    srv = send_both(scripted_smtp, run_larkpost, tmp_path, ["-h", "-l", FileArg(listing)], [])
    assert sorted(rcpts(srv)) == sorted(expected)


def test_user_and_password_go_in_utf8(scripted_smtp, run_larkpost, tmp_path):
    secret = "p\u00e4ss\u0141\u65e5"
    srv = send_both(scripted_smtp, run_larkpost, tmp_path, ["-h", "--user=j\u00fcrgen", "r@example.test"], [],
                    env={"LARKPOST_PASSWORD": secret})
    assert srv.auth == [AuthExchange("PLAIN", "\0j\u00fcrgen\0".encode() + secret.encode(), [], False)]


def test_attachment_past_260_characters(scripted_smtp, run_larkpost, tmp_path):
    deep = tmp_path
    while len(host_path(deep)) < 300:
        deep = deep / ("\u00e9" + "d" * 40)
    deep.mkdir(parents=True)
    (deep / "long.txt").write_bytes(b"far down")
    srv = send_both(scripted_smtp, run_larkpost, tmp_path, ["-h", "-a", FileArg(deep / "long.txt"), "r@example.test"],
                    [])
    _, part = parse(srv.message()).iter_parts()
    assert (part.get_filename(), part.get_content()) == ("long.txt", b"far down")


windows_only = pytest.mark.skipif(not (is_windows_build() and under_wine()), reason="about the Windows program")


@windows_only
def test_a_planted_cmd_is_never_run(scripted_smtp, run_larkpost, tmp_path, monkeypatch):
    # Beside the program is where the search order would look first.
    program = tmp_path / "program"
    program.mkdir()
    shutil.copy(os.environ["LARKPOST_BIN"], program / "larkpost.exe")
    shutil.copy(os.environ["LARKPOST_BIN"], program / "cmd.exe")  # would fail with status 1
    monkeypatch.setenv("LARKPOST_BIN", str(program / "larkpost.exe"))
    srv = scripted_smtp(EHLO=INTERNATIONAL)
    result = run_larkpost(["-h", "--user=u", "r@example.test"], stdin=BODY,
                          settings=server_settings(srv.port, PasswordCommand="echo from-system-cmd"))
    assert (result.status, result.stdout) == (0, output("")), result
    assert srv.auth == [AuthExchange("PLAIN", b"\0u\0from-system-cmd", [], False)]


@windows_only
@pytest.mark.parametrize("command, secret", [
    ("cmd /u /c echo p\u00e4ss\u0141\u65e5", "p\u00e4ss\u0141\u65e5"),  # UTF-16, as cmd /u writes
    ("type SECRETFILE", "p\u00e4ss\u0141\u65e5"),  # UTF-8 bytes
])
def test_password_command_output_is_decoded(scripted_smtp, run_larkpost, tmp_path, command, secret):
    secret_file = tmp_path / "secret.txt"
    secret_file.write_bytes(f"{secret}\r\nsecond line\r\n".encode())
    srv = scripted_smtp(EHLO=INTERNATIONAL)
    result = run_larkpost(["-h", "--user=u", "r@example.test"], stdin=BODY, settings=server_settings(
        srv.port, PasswordCommand=command.replace("SECRETFILE", host_path(secret_file))))
    assert (result.status, result.stdout) == (0, output("")), result
    assert srv.auth == [AuthExchange("PLAIN", b"\0u\0" + secret.encode(), [], False)]


def wine_reg(*args):
    env = {k: v for k, v in os.environ.items() if k.startswith("WINE") or k in ("PATH", "TMPDIR")}
    # Wine reads arguments in the locale's encoding.
    # The run's own loader: Debian's `wine` command takes the 32-bit one where it is installed.
    return subprocess.run([*wrapper(), "reg", *args], capture_output=True, timeout=60,
                          env={**env, "LANG": "C.UTF-8"})


@windows_only
def test_temporary_list_in_a_temp_directory_outside_the_code_page(scripted_smtp, run_larkpost, tmp_path):
    # Wine gives every program the TEMP of its registry, whatever the environment says.
    temp = tmp_path / "t\u00ebmp \u65e5\u672c"
    temp.mkdir()
    key = r"HKCU\Environment"
    before = {name: wine_reg("query", key, "/v", name).stdout for name in ("TEMP", "TMP")}
    for name in before:
        assert wine_reg("add", key, "/v", name, "/d", host_path(temp), "/f").returncode == 0
    try:
        # The message's spool is there while the server takes its time to accept it.
        srv = scripted_smtp(EHLO=INTERNATIONAL, DATA_END=Trickle("250 2.0.0 queued", 0.1))
        spooled, done = set(), threading.Event()

        def watch():
            while not done.wait(0.05):
                spooled.update(p.name[:3].lower() for p in temp.iterdir())

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            # -t spools the recipients, --retry=1 the message.
            result = run_larkpost(["-t", "--retry=1"], stdin=b"To: r@example.test\n\nbody\n",
                                  settings=server_settings(srv.port))
        finally:
            done.set()
            watcher.join()
    finally:
        for name, query in before.items():
            value = re.search(rb"REG_\w+\s+(.*?)\r?\n", query)
            if value:
                wine_reg("add", key, "/v", name, "/t", "REG_EXPAND_SZ", "/d", value.group(1).decode(), "/f")
    assert (result.status, result.stdout) == (0, output("")), result
    assert spooled == {"lkp"}
    assert srv.commands[2] == b"RCPT TO:<r@example.test>\r\n"
    assert list(temp.iterdir()) == []  # the spool went there, and is gone


@pytest.mark.skipif(not is_windows_build(), reason="about the Windows program")
def test_program_declares_itself_to_windows():
    data = open(os.environ.get("LARKPOST_BIN"), "rb").read()
    header = int.from_bytes(data[0x3C:0x40], "little")
    assert data[header:header + 4] == b"PE\0\0"
    dll_characteristics = int.from_bytes(data[header + 24 + 70:header + 24 + 72], "little")
    assert dll_characteristics & 0x8000, "not terminal-server aware"
    manifest = [b'level="asInvoker"', b">true</longPathAware>", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
    assert all(part in data for part in manifest)
    assert "VS_VERSION_INFO".encode("utf-16-le") in data
    version = subprocess.run([*wrapper(), os.environ["LARKPOST_BIN"], "--version"], capture_output=True).stdout
    number = re.search(rb"Larkpost (\d+\.\d+)", version).group(1).decode()
    assert re.search("FileVersion\0+".encode("utf-16-le") + f"{number}\0".encode("utf-16-le"), data)
