"""The demo's second half: a local Postfix that takes mail only over STARTTLS with a login,
one message through Larkpost, and what arrived."""

import os
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import certificates  # noqa: E402
from postfix_instance import SASL_PASSWORD, SASL_USER, Postfix, unavailable_reason  # noqa: E402


def show(command, body=None, env=None):
    print("$ " + shlex.join(command) + (" <<'EOF'\n" + body + "EOF" if body else ""))
    run = subprocess.run(command, input=(body or "").encode(), capture_output=True, env=env)
    print(run.stdout.decode(), end="")
    print(f"(exit status {run.returncode})\n")
    return run.returncode


def main(binary):
    reason = unavailable_reason() or certificates.unavailable_reason()
    if reason:
        sys.exit(f"demo: {reason}")
    with tempfile.TemporaryDirectory() as work:
        (Path(work) / "certs").mkdir()
        certs = certificates.Certificates(Path(work) / "certs")
        server = Postfix(certs.localhost)
        try:
            settings = Path(work) / "larkpost.ini"
            settings.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={server.starttls_port}\nSecurity=starttls\n"
                                f"CAFile={certs.ca}\nUser={SASL_USER}\n"
                                f"Domain=demo.example.test\nAddress=reports@example.test\nFrom=Nightly Reports\n")
            attachment = Path(work) / "figures.csv"
            attachment.write_text("day,orders\nmon,12\ntue,17\n")
            recipient = server.address("ops")
            env = dict(os.environ, LARKPOST_PASSWORD=SASL_PASSWORD)
            print(f"# Postfix on 127.0.0.1:{server.starttls_port} takes mail only over STARTTLS, after a login.")
            print(f"# The password comes from the environment (LARKPOST_PASSWORD), never the command line.\n")
            show([binary, f"-{settings}", "--check"], env=env)
            body = "Good morning,\n\nthe figures of the night are attached.\n.\n"
            status = show([binary, f"-{settings}", "-h", "-b", "Nightly report", "-a", str(attachment),
                           recipient], body, env)
            if status != 0:
                sys.exit("demo: the message was not sent")
            [delivered] = server.wait_for_messages(recipient)
            print(f"--- delivered to {recipient} by Postfix ---")
            print(delivered.decode(errors="replace"))
        finally:
            server.stop()


if __name__ == "__main__":
    main(sys.argv[1])
