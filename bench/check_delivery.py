#!/usr/bin/env python3
# Checks that a message kept by smtp_sink (--save) carries its input unchanged.
import email
import email.policy
import sys

USAGE = """Usage: check_delivery.py KIND SAVED INPUT
  attachment  SAVED is a MIME message whose attachment must decode to INPUT's bytes
  text        SAVED is the program's header, an empty line, then INPUT with LF made CR LF
  relay       SAVED must be INPUT byte for byte
Prints one line; exits 1 on a mismatch.
"""

REQUIRED_FIELDS = ("Date", "From", "Message-ID")


def fail(text):
    print("MISMATCH: " + text)
    sys.exit(1)


def check_fields(message, subject_needed):
    for name in REQUIRED_FIELDS + (("Subject",) if subject_needed else ()):
        if message[name] is None:
            fail(f"no {name} field in the header")


def check_attachment(saved, expected):
    message = email.message_from_bytes(saved, policy=email.policy.default)
    check_fields(message, subject_needed=True)
    if message.get_content_type() != "multipart/mixed":
        fail("not multipart/mixed: " + message.get_content_type())
    parts = [p for p in message.iter_parts() if p.get_content_disposition() == "attachment"]
    if len(parts) != 1:
        fail(f"{len(parts)} attachment parts")
    part = parts[0]
    if part["Content-Transfer-Encoding"] is None or \
            part["Content-Transfer-Encoding"].lower() != "base64":
        fail("attachment not in base64")
    body = saved.split(b"\r\n\r\n", 1)[1]
    if any(len(line) > 998 for line in body.split(b"\r\n")):
        fail("a line longer than 998 characters")
    data = part.get_payload(decode=True)
    if data != expected:
        fail(f"attachment decodes to {len(data)} bytes, differing from the {len(expected)} sent")
    return f"attachment of {len(expected)} bytes decodes intact"


def check_text(saved, expected):
    head, sep, body = saved.partition(b"\r\n\r\n")
    if not sep:
        fail("no empty line after the header")
    message = email.message_from_bytes(head + b"\r\n\r\n", policy=email.policy.default)
    check_fields(message, subject_needed=True)
    wire = expected.replace(b"\n", b"\r\n")
    if body != wire:
        at = next((i for i, (a, b) in enumerate(zip(body, wire)) if a != b), min(len(body), len(wire)))
        fail(f"body of {len(body)} bytes, expected {len(wire)}; first difference at byte {at}")
    return f"text body of {len(expected)} bytes arrives with CR LF line ends"


def check_relay(saved, expected):
    if saved != expected:
        at = next((i for i, (a, b) in enumerate(zip(saved, expected)) if a != b),
                  min(len(saved), len(expected)))
        fail(f"{len(saved)} bytes arrived, {len(expected)} sent; first difference at byte {at}")
    return f"message of {len(expected)} bytes arrives byte for byte"


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("attachment", "text", "relay"):
        sys.exit(USAGE)
    kind, saved_path, input_path = sys.argv[1:]
    with open(saved_path, "rb") as f:
        saved = f.read()
    with open(input_path, "rb") as f:
        expected = f.read()
    check = {"attachment": check_attachment, "text": check_text, "relay": check_relay}[kind]
    print("ok: " + check(saved, expected))


if __name__ == "__main__":
    main()
