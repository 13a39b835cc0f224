"""The demo's second half: a local Postfix, one message through Larkpost, what arrived."""

import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from postfix_instance import Postfix, unavailable_reason  # noqa: E402


def main(binary):
    reason = unavailable_reason()
    if reason:
        sys.exit(f"demo: {reason}")
    server = Postfix()
    try:
        with tempfile.TemporaryDirectory() as work:
            settings = Path(work) / "larkpost.ini"
            settings.write_text(f"[SMTP]\nServer=127.0.0.1\nPort={server.port}\n"
                                f"Domain=demo.example.test\nAddress=reports@example.test\nFrom=Nightly Reports\n")
            attachment = Path(work) / "figures.csv"
            attachment.write_text("day,orders\nmon,12\ntue,17\n")
            recipient = server.address("ops")
            command = [binary, f"-{settings}", "-h", "-b", "Nightly report", "-a", str(attachment), recipient]
            body = "Good morning,\n\nthe figures of the night are attached.\n.\n"
            print("$ " + shlex.join(command) + " <<'EOF'")
            print(body + "EOF")
            run = subprocess.run(command, input=body.encode(), capture_output=True)
            print(run.stdout.decode(), end="")
            print(f"(exit status {run.returncode})\n")
            if run.returncode != 0:
                sys.exit("demo: the message was not sent")
            [delivered] = server.wait_for_messages(recipient)
            print(f"--- delivered to {recipient} by Postfix on 127.0.0.1:{server.port} ---")
            print(delivered.decode(errors="replace"))
    finally:
        server.stop()


if __name__ == "__main__":
    main(sys.argv[1])
