"""The sendmail mode, through a link named sendmail, with the argument lists real callers pass.

Native only: the mode serves POSIX systems, where programs pipe mail into /usr/sbin/sendmail.
"""

import email
import email.policy
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from larkpost_runner import is_windows_build, larkpost_binary, skip_or_fail
from smtp_script import CLOSE

pytestmark = pytest.mark.skipif(is_windows_build(), reason="the sendmail mode is for POSIX systems")

EX_USAGE, EX_NOUSER, EX_UNAVAILABLE, EX_IOERR, EX_TEMPFAIL, EX_CONFIG = 64, 67, 69, 74, 75, 78
DSN_EHLO = "250-test\r\n250-PIPELINING\r\n250 DSN"


def settings_file(path, port, **extra):
    values = {"Server": "127.0.0.1", "Port": port, "Address": "robot@example.test",
              "Qualify": "example.test", "Aliases": "", **extra}
    path.write_text("[SMTP]\n" + "".join(f"{k}={v}\n" for k, v in values.items()))
    return path


@pytest.fixture
def sendmail(tmp_path):
    """sendmail(args, stdin, port=None, name="sendmail", prefix=(), **settings) -> CompletedProcess.

    Runs the program through a link called `name`, its settings in the user's default file
    (not named on the command line, as callers never name one), in a clean environment.
    """
    binary = larkpost_binary()
    if not binary.is_file():
        skip_or_fail(f"no larkpost binary at {binary}", "BIN")
    bin_dir, xdg, home = tmp_path / "bin", tmp_path / "xdg", tmp_path / "home"
    for d in (bin_dir, xdg, home):
        d.mkdir(exist_ok=True)

    def run(args, stdin=b"", port=None, name="sendmail", prefix=(), **settings):
        link = bin_dir / name
        if not link.exists():
            link.symlink_to(binary)
        if port is not None:
            settings_file(xdg / "larkpost.ini", port, **settings)
        env = {k: v for k, v in os.environ.items() if k == "PATH" or k.startswith(("ASAN_", "UBSAN_"))}
        env.update(HOME=str(home), XDG_CONFIG_HOME=str(xdg), TMPDIR=str(tmp_path))
        result = subprocess.run([*prefix, str(link), *args], input=stdin, capture_output=True, env=env,
                                timeout=30)
        assert result.stdout == b"", "the sendmail mode writes nothing on standard output"
        return result

    return run


def sent_lines(srv):
    return [c.decode("latin-1").rstrip("\r\n") for c in srv.commands]


def rcpt_addresses(srv):
    return [re.match(r"RCPT TO:<([^>]*)>", c).group(1) for c in sent_lines(srv) if c.startswith("RCPT")]


CRON_MESSAGE = (b"From: root (Cron Daemon)\nTo: root\nSubject: Cron <root@vm> run-parts\n"
                b"MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
                b"Content-Transfer-Encoding: 8bit\nX-Cron-Env: <SHELL=/bin/sh>\n\n"
                b"line one\n.\nafter a lone full stop\n")


def test_cron_argument_list(sendmail, scripted_smtp, tmp_path):
    srv = scripted_smtp(EHLO="250-test\r\n250 8BITMIME")
    aliases = tmp_path / "aliases"
    aliases.write_text("# local names\nroot: admin@example.net\n")
    result = sendmail(["-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"], CRON_MESSAGE, srv.port,
                      Aliases=aliases)
    assert (result.returncode, result.stderr) == (0, b"")
    assert sent_lines(srv)[1] == "MAIL FROM:<robot@example.test> BODY=8BITMIME"
    assert rcpt_addresses(srv) == ["admin@example.net"]
    message = srv.message()
    # -i: the lone full stop is part of the message. The header gets only what it lacks.
    head, _, body = message.partition(b"\r\n\r\n")
    assert body == b"line one\r\n.\r\nafter a lone full stop\r\n"
    assert head.startswith(CRON_MESSAGE.split(b"\n\n")[0].replace(b"\n", b"\r\n") + b"\r\nDate: ")
    assert re.search(rb"\r\nMessage-ID: <[^>]+@localhost\.localdomain>$", head)
    assert b"\r\nFrom: " not in head[1:] and head.count(b"Content-Type") == 1


def test_without_i_a_lone_full_stop_ends_the_message(sendmail, scripted_smtp):
    srv = scripted_smtp()
    result = sendmail(["a@example.net"], b"Subject: s\nFrom: x@example.test\n\nkept\n.\nlost\n", srv.port)
    assert result.returncode == 0
    assert srv.message().endswith(b"\r\n\r\nkept\r\n")


def test_git_send_email_mailx_and_logwatch_argument_lists(sendmail, scripted_smtp):
    message = (b"From: Dev <dev@example.net>\nTo: a@example.net\nBcc: bcc@example.net\n"
               b"Subject: [PATCH] fix\n\nbody\n")
    cases = [
        # git send-email's own sendmail: -i, then the envelope's recipients
        (["-i", "a@example.net", "b@example.net"], ["a@example.net", "b@example.net"]),
        # mailx (bsd-mailx, s-nail): -i and the recipients after --
        (["-i", "--", "c@example.net"], ["c@example.net"]),
        # a Bcc field goes, -t or not
        (["-i", "bcc@example.net"], ["bcc@example.net"]),
        # logwatch: -t, the recipients in the header
        (["-t"], ["a@example.net", "bcc@example.net"]),
        # many scripts: -oi -f and one argument naming two addresses
        (["-oi", "-f", "bounce@example.net", "d@example.net, Eve <e@example.net>"],
         ["d@example.net", "e@example.net"]),
    ]
    for args, expected in cases:
        srv = scripted_smtp()
        result = sendmail(args, message, srv.port)
        assert (result.returncode, result.stderr) == (0, b""), args
        assert rcpt_addresses(srv) == expected, args
        sender = "bounce@example.net" if "-f" in args else "robot@example.test"
        assert sent_lines(srv)[1] == f"MAIL FROM:<{sender}>", args
        assert srv.message().startswith(b"From: Dev <dev@example.net>\r\nTo: a@example.net\r\n"
                                        b"Subject: [PATCH] fix\r\nDate: "), args


def test_php_mail_header_recipients_add_to_the_command_lines_and_bcc_goes(sendmail, scripted_smtp):
    srv = scripted_smtp()
    message = (b"To: web@example.net\nCc: www-data\nBcc: hidden@example.net\nSubject: order\n\n"
               b"Thank you\n")
    result = sendmail(["-t", "-i", "-F", "Shop Robot", "extra@example.net"], message, srv.port)
    assert (result.returncode, result.stderr) == (0, b"")
    assert rcpt_addresses(srv) == ["extra@example.net", "web@example.net", "www-data@example.test",
                                   "hidden@example.net"]
    head = srv.message().partition(b"\r\n\r\n")[0]
    assert b"hidden" not in head and b"Bcc" not in head
    assert b"\r\nFrom: Shop Robot <robot@example.test>\r\n" in head


def test_aliases_with_default_and_qualify(sendmail, scripted_smtp, tmp_path):
    aliases = tmp_path / "aliases"
    aliases.write_text("postmaster: root\nops: one@example.net,\n  two@example.net\n"
                       "default: admin@example.net\n")
    srv = scripted_smtp()
    result = sendmail(["ops", "www-data", "postmaster", "ROOT", "x@example.net"],
                      b"Subject: s\n\nbody\n", srv.port, Aliases=aliases)
    assert result.returncode == 0
    # Each once: www-data and ROOT both reach the default; postmaster names root, qualified.
    assert rcpt_addresses(srv) == ["one@example.net", "two@example.net", "admin@example.net",
                                   "root@example.test", "x@example.net"]


def test_host_name_qualifies_only_when_it_has_a_dot(sendmail, scripted_smtp):
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("needs root and unshare to give the run a host name of its own")
    srv = scripted_smtp()
    dotted = sendmail(["root"], b"Subject: s\n\nx\n", srv.port, Qualify="",
                      prefix=["unshare", "--uts", "sh", "-c", 'hostname box.example.org && exec "$@"', "-"])
    assert (dotted.returncode, dotted.stderr) == (0, b"")
    assert rcpt_addresses(srv) == ["root@box.example.org"]
    assert sent_lines(srv)[1] == "MAIL FROM:<robot@example.test>"

    srv = scripted_smtp()
    bare = sendmail(["root"], b"Subject: s\n\nx\n", srv.port, Qualify="",
                    prefix=["unshare", "--uts", "sh", "-c", 'hostname box && exec "$@"', "-"])
    assert bare.returncode == EX_CONFIG
    assert bare.stderr == (b"sendmail: recipient 'root' has no domain, and the host name (box) is "
                           b"none to add: set Qualify in the settings file\n")
    assert srv.commands == []


def test_exit_statuses_against_the_scripted_server(sendmail, scripted_smtp, tmp_path):
    message = b"Subject: s\n\nbody\n"
    cases = [
        (dict(RCPT=["550 5.1.1 no such user", "250 ok"]), EX_NOUSER,
         b"sendmail: a@example.net: 550 5.1.1 no such user\n"),
        (dict(RCPT=["550 5.1.1 no such user", "550 5.1.1 nor this one"]), EX_NOUSER,
         b"sendmail: a@example.net: 550 5.1.1 no such user\n"
         b"sendmail: b@example.net: 550 5.1.1 nor this one\n"),
        (dict(RCPT="451 4.3.0 try later"), EX_TEMPFAIL,
         b"sendmail: a@example.net: 451 4.3.0 try later\nsendmail: b@example.net: 451 4.3.0 try later\n"),
        (dict(MAIL="452 4.3.1 queue full"), EX_TEMPFAIL,
         b"sendmail: Error sending mail from user [robot@example.test]: 452 4.3.1 queue full\n"),
        (dict(MAIL="553 5.7.1 sender refused"), EX_UNAVAILABLE,
         b"sendmail: Error sending mail from user [robot@example.test]: 553 5.7.1 sender refused\n"),
        (dict(DATA_END="554 5.7.1 looks like spam"), EX_UNAVAILABLE,
         b"sendmail: Server did not accept the message: 554 5.7.1 looks like spam\n"),
        # The server may have the message: asking the caller to try again could deliver it twice.
        (dict(DATA_END=CLOSE), EX_UNAVAILABLE, None),
        (dict(greeting="421 4.3.2 busy"), EX_TEMPFAIL, None),
    ]
    for script, status, stderr in cases:
        srv = scripted_smtp(**script)
        result = sendmail(["a@example.net", "b@example.net"], message, srv.port)
        assert result.returncode == status, (script, result.stderr)
        if stderr is not None:
            assert result.stderr == stderr, script
        else:
            assert result.stderr.count(b"\n") == 1 and result.stderr.startswith(b"sendmail: "), script

    # Nobody listens: a later attempt may find the server.
    srv = scripted_smtp()
    port = srv.port
    srv.stop()
    result = sendmail(["a@example.net"], message, port)
    assert result.returncode == EX_TEMPFAIL and result.stderr.count(b"\n") == 1

    srv = scripted_smtp()
    for settings, args in [(dict(Security="tsl"), ["a@example.net"]),
                           (dict(Aliases=tmp_path / "missing"), ["a@example.net"]),
                           ({}, ["-C", str(tmp_path / "missing.ini"), "a@example.net"]),
                           (dict(Address="robot", Qualify=""), ["-f", "me", "a@example.net"])]:
        result = sendmail(args, message, srv.port, **settings)
        assert result.returncode == EX_CONFIG, (settings, args, result.stderr)
        assert result.stderr.count(b"\n") == 1 and result.stderr.startswith(b"sendmail: ")
    for args in (["-bs"], ["-X"], ["-k", "a@example.net"], ["--verbose", "a@example.net"], [],
                 ["-N", "sometimes", "a@example.net"]):
        result = sendmail(args, message, srv.port)
        assert result.returncode == EX_USAGE, args
        assert result.stderr.count(b"\n") == 1, args
    # -t and a header without recipients: nothing to send to.
    result = sendmail(["-t"], b"Subject: nobody\n\nx\n", srv.port)
    assert (result.returncode, result.stderr) == (EX_USAGE, b"sendmail: no valid recipients\n")
    assert srv.commands == []

    # Standard input that cannot be read: a directory.
    directory = os.open(tmp_path, os.O_RDONLY)
    try:
        result = subprocess.run([str(tmp_path / "bin" / "sendmail"), "a@example.net"], stdin=directory,
                                capture_output=True, env={"XDG_CONFIG_HOME": str(tmp_path / "xdg")})
    finally:
        os.close(directory)
    assert result.returncode == EX_IOERR, result.stderr
    assert result.stderr == b"sendmail: Could not read standard input, message not sent\n"

    assert sendmail(["-q"], b"", srv.port).returncode == 0


def test_other_names_and_the_option(sendmail, scripted_smtp):
    for name, prefix_args in [("sendmail.larkpost", []), ("larkpost", ["--sendmail"])]:
        srv = scripted_smtp(RCPT="550 5.1.1 no")
        result = sendmail([*prefix_args, "a@example.net"], b"Subject: s\n\nx\n", srv.port, name=name)
        assert result.returncode == EX_NOUSER
        assert result.stderr == f"{name}: a@example.net: 550 5.1.1 no\n".encode()


def test_dsn_parameters_when_offered(sendmail, scripted_smtp):
    srv = scripted_smtp(EHLO=DSN_EHLO)
    message = b"Message-ID: <abc+1@example.test>\nSubject: s\n\nx\n"
    result = sendmail(["-N", "success,failure", "-R", "hdrs", "a+b@example.net", "root"], message, srv.port)
    assert (result.returncode, result.stderr) == (0, b"")
    lines = sent_lines(srv)
    assert lines[1] == "MAIL FROM:<robot@example.test> RET=HDRS ENVID=abc+2B1@example.test"
    assert lines[2:4] == ["RCPT TO:<a+b@example.net> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;a+2Bb@example.net",
                          "RCPT TO:<root@example.test> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;root@example.test"]

    # From the settings file, and with the Message-ID Larkpost writes as the ENVID.
    srv = scripted_smtp(EHLO=DSN_EHLO)
    result = sendmail(["a@example.net"], b"Subject: s\n\nx\n", srv.port, DsnNotify="never")
    assert result.returncode == 0
    message_id = re.search(rb"\r\nMessage-ID: <([^>]+)>\r\n", srv.message()).group(1).decode()
    assert sent_lines(srv)[1] == f"MAIL FROM:<robot@example.test> ENVID={message_id}"
    assert sent_lines(srv)[2] == "RCPT TO:<a@example.net> NOTIFY=NEVER ORCPT=rfc822;a@example.net"


def test_dsn_not_offered(sendmail, scripted_smtp, run_larkpost):
    srv = scripted_smtp(EHLO="250-test\r\n250 PIPELINING")
    result = sendmail(["-N", "delay", "-V", "env1", "a@example.net"], b"Subject: s\n\nx\n", srv.port)
    assert result.returncode == 0
    assert result.stderr == b"sendmail: the server does not offer DSN, sending without it\n"
    assert sent_lines(srv)[1:3] == ["MAIL FROM:<robot@example.test>", "RCPT TO:<a@example.net>"]

    srv = scripted_smtp(EHLO="250 test")
    result = sendmail(["-N", "delay", "a@example.net"], b"Subject: s\n\nx\n", srv.port, DsnRequired="yes")
    assert result.returncode == EX_UNAVAILABLE
    assert result.stderr == b"sendmail: Server (127.0.0.1) does not offer DSN, message not sent\n"
    assert "MAIL" not in srv.verbs and srv.quit_received


def test_postfix_takes_dsn_and_reports_success(postfix, sendmail):
    sender, rcpt = postfix.address("dsn-sender"), postfix.address("dsn-rcpt")
    message = f"Message-ID: <dsn-{rcpt}>\nSubject: dsn check\n\nhello\n".encode()
    result = sendmail(["-N", "success", "-R", "hdrs", "-f", sender, rcpt], message, postfix.port,
                      Domain="client.example.test")
    assert (result.returncode, result.stderr) == (0, b"")
    [copy] = postfix.wait_for_messages(rcpt)
    assert b"\nhello\n" in copy
    # Postfix honours NOTIFY=SUCCESS: a delivery report reaches the envelope sender, naming
    # the ENVID and the original recipient it was given.
    [report] = postfix.wait_for_messages(sender)
    parsed = email.message_from_bytes(report, policy=email.policy.default)
    assert parsed.get_content_type() == "multipart/report"
    text = report.decode("utf-8", "replace")
    assert f"Original-Envelope-Id: dsn-{rcpt}" in text
    assert re.search(rf"Original-Recipient: rfc822; ?{re.escape(rcpt)}", text, re.IGNORECASE)
    assert "Action: delivered" in text


def _throwaway_root(path):
    """An empty root with a dpkg database of its own: nothing is installed on this machine."""
    admin = path / "var" / "lib" / "dpkg"
    for d in ("info", "updates", "triggers"):
        (admin / d).mkdir(parents=True)
    for f in ("status", "available"):
        (admin / f).touch()
    return path


def _dpkg(root, *args):
    return subprocess.run(["dpkg", f"--root={root}", "--log=/dev/null", "--force-depends", *args],
                          capture_output=True, text=True, timeout=120)


def test_sendmail_package(tmp_path):
    build = larkpost_binary().parent
    tools = [shutil.which(t) for t in ("dpkg", "dpkg-deb", "cpack")]
    if not all(tools) or not (build / "CPackConfig.cmake").is_file() or os.geteuid() != 0:
        pytest.skip("needs root, dpkg, cpack and a configured build directory")
    if re.search(r"^LARKPOST_SANITIZE:STRING=.", (build / "CMakeCache.txt").read_text(), re.MULTILINE):
        pytest.skip("the package is made from the plain build, not a sanitizer build")
    repo = Path(__file__).resolve().parent.parent
    main_deb = subprocess.run([repo / "scripts" / "package-deb.sh", build], capture_output=True, text=True,
                              check=True, timeout=600).stdout.splitlines()[-1]
    deb = subprocess.run([repo / "scripts" / "package-sendmail-deb.sh", main_deb], capture_output=True,
                         text=True, check=True, timeout=120).stdout.splitlines()[-1]

    fields = subprocess.run(["dpkg-deb", "--field", deb], capture_output=True, text=True, check=True).stdout
    version = subprocess.run(["dpkg-deb", "--field", main_deb, "Version"], capture_output=True, text=True,
                             check=True).stdout.strip()
    for line in ("Package: larkpost-sendmail", f"Depends: larkpost (= {version})",
                 "Provides: mail-transport-agent", "Conflicts: mail-transport-agent",
                 "Replaces: mail-transport-agent"):
        assert line in fields.splitlines()
    listing = subprocess.run(["dpkg-deb", "--contents", deb], capture_output=True, text=True,
                             check=True).stdout
    entries = {line.split()[5]: line.split()[0] for line in listing.splitlines()}
    assert "./usr/sbin/sendmail -> ../bin/larkpost" in listing
    assert "./usr/lib/sendmail -> ../sbin/sendmail" in listing
    assert entries["./etc/larkpost.ini"] == "-rw-r--r--"
    for doc in ("copyright", "changelog.gz"):
        assert entries[f"./usr/share/doc/larkpost-sendmail/{doc}"] == "-rw-r--r--"
    conffiles = subprocess.run(["dpkg-deb", "--info", deb, "conffiles"], capture_output=True, text=True,
                               check=True).stdout
    assert conffiles.split() == ["/etc/larkpost.ini"]

    # Another mail transport agent in place: the two conflict (apt removes the other one;
    # dpkg alone refuses), and once it is gone the package takes its place.
    root = _throwaway_root(tmp_path / "root")
    fake = tmp_path / "fake-mta"
    (fake / "DEBIAN").mkdir(parents=True)
    (fake / "usr" / "sbin").mkdir(parents=True)
    (fake / "usr" / "sbin" / "sendmail").write_text("#!/bin/sh\nexit 1\n")
    (fake / "DEBIAN" / "control").write_text(
        "Package: fake-mta\nVersion: 1\nArchitecture: all\nMaintainer: nobody <n@example.test>\n"
        "Provides: mail-transport-agent\nConflicts: mail-transport-agent\nDescription: a stand-in\n")
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", fake, tmp_path / "fake.deb"],
                   capture_output=True, check=True)
    assert _dpkg(root, "-i", tmp_path / "fake.deb").returncode == 0
    refused = _dpkg(root, "-i", main_deb, deb)
    assert refused.returncode != 0 and "fake-mta conflicts with mail-transport-agent" in refused.stderr
    assert (root / "usr" / "sbin" / "sendmail").read_text() == "#!/bin/sh\nexit 1\n"
    assert _dpkg(root, "--purge", "fake-mta").returncode == 0
    installed = _dpkg(root, "-i", deb)
    assert installed.returncode == 0, installed.stderr
    assert (root / "etc" / "larkpost.ini").read_text().startswith("; /etc/larkpost.ini")
    # The example sets nothing: every key is commented out.
    keys = [line for line in (root / "etc" / "larkpost.ini").read_text().splitlines()
            if line and not line.startswith(";")]
    assert keys == ["[SMTP]"]
    for link in ("usr/sbin/sendmail", "usr/lib/sendmail"):
        assert (root / link).resolve() == (root / "usr" / "bin" / "larkpost").resolve()
        ran = subprocess.run([root / link, "-bs"], capture_output=True, timeout=30)
        assert (ran.returncode, ran.stderr) == (EX_USAGE, b"sendmail: -bs (SMTP on standard input) "
                                                           b"is not supported\n")
    removed = _dpkg(root, "--purge", "larkpost-sendmail")
    assert removed.returncode == 0, removed.stderr
    assert not (root / "usr" / "sbin" / "sendmail").exists() and not (root / "etc" / "larkpost.ini").exists()
