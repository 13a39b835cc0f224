#!/usr/bin/env python3
# Writes the benchmark inputs: text bodies, complete messages and random attachments.
import os
import random
import sys

USAGE = """Usage: make_inputs.py [--only KIND,...] [--recipients COUNT,...] DIR [SIZE_MIB ...]
For each size N it writes, in DIR (--only: just the kinds named: body, msg, random, small):
  body-N.txt   plain text of ~72-character lines ending in LF; about 3 lines in 1000
               start with "." (".x", "..x" or "..."; never a line of a lone "."), so
               the dot-stuffing path is exercised
  msg-N.eml    a complete message (From, To, Subject, Date, Message-ID, MIME-Version)
               whose body is the same kind of text, with CR LF line ends throughout
  random-N.bin random bytes
and once: small.eml, a complete 1 KiB message with CR LF line ends.
and for each COUNT of --recipients, rcpts-COUNT.txt: that many distinct addresses,
rcpt00001@example.test and on, one a line.
Every file is exactly N MiB (the message: header and body together) and ends on a line
break; small.eml is exactly 1024 bytes.
The text repeats a block of 8192 distinct lines, the same in every run.
"""

MIB = 1 << 20
WORDS = (
    "the of and to in is was for on that with as by at from this be are it an or "
    "which not have has had were but all their there been one its new more other "
    "message server relay header body address domain sender recipient mailbox queue "
    "delivery attachment encoding transfer content boundary line break text plain "
    "report status notice weekly summary figures invoice meeting agenda schedule "
    "project review draft final update release version change request approved"
).split()


def line_pool(count=8192, seed=1993):
    """Distinct lines of 66 to 78 characters (about 72 on average)."""
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        target = rng.randint(72, 84)
        words = []
        length = 0
        while length < target:
            w = rng.choice(WORDS)
            words.append(w)
            length += len(w) + 1
        text = " ".join(words)
        text = text[: rng.randint(66, 78)].rstrip()
        if text and text[0].islower() and rng.random() < 0.3:
            text = text[0].upper() + text[1:]
        if i % 997 == 5:
            text = "." + text
        elif i % 997 == 500:
            text = ".." + text
        elif i % 997 == 900:
            text = "." * 3
        lines.append(text)
    return lines


def text_block(lines, ending):
    return ending.join(lines).encode("ascii") + ending.encode("ascii")


def write_repeated(path, block, size, prefix=b""):
    """prefix, then `block` repeated, ending on a line break, exactly `size` bytes."""
    ending = b"\r\n" if block.endswith(b"\r\n") else b"\n"
    with open(path, "wb") as out:
        out.write(prefix)
        left = size - len(prefix)
        while left >= len(block):
            out.write(block)
            left -= len(block)
        # The rest: whole lines from the block, then one filler line of the exact length.
        cut = block.rfind(b"\n", 0, left) + 1
        while cut and left - cut <= len(ending):
            cut = block.rfind(b"\n", 0, cut - 1) + 1
        out.write(block[:cut])
        rest = left - cut
        if rest > len(ending):
            out.write(b"x" * (rest - len(ending)) + ending)
        elif rest:
            out.write(ending[-rest:])


def header(size_label):
    return (
        "From: Bench Sender <a@example.test>\r\n"
        "To: rcpt@example.test\r\n"
        f"Subject: Larkpost benchmark message ({size_label})\r\n"
        "Date: Mon, 02 Mar 2026 10:00:00 +0000\r\n"
        "Message-ID: <bench." + size_label + "@example.test>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=us-ascii\r\n"
        "\r\n"
    ).encode("ascii")


def write_random(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            chunk = min(left, 16 * MIB)
            out.write(os.urandom(chunk))
            left -= chunk


def write_recipients(path, count):
    with open(path, "w", encoding="ascii") as out:
        out.writelines(f"rcpt{i:05d}@example.test\n" for i in range(1, count + 1))


def main():
    args = sys.argv[1:]
    kinds = {"body", "msg", "random", "small"}
    recipient_counts = []
    while len(args) >= 2 and args[0] in ("--only", "--recipients"):
        if args[0] == "--only":
            kinds = set(args[1].split(","))
        else:
            recipient_counts = [int(n) for n in args[1].split(",")]
        args = args[2:]
    if not args or (len(args) < 2 and not recipient_counts):
        sys.exit(USAGE)
    directory = args[0]
    os.makedirs(directory, exist_ok=True)
    for count in recipient_counts:
        write_recipients(os.path.join(directory, f"rcpts-{count}.txt"), count)
    if len(args) < 2:
        return
    pool = line_pool()
    lf_block = text_block(pool, "\n")
    crlf_block = text_block(pool, "\r\n")
    for arg in args[1:]:
        n = int(arg)
        size = n * MIB
        if "body" in kinds:
            write_repeated(os.path.join(directory, f"body-{n}.txt"), lf_block, size)
        if "msg" in kinds:
            write_repeated(os.path.join(directory, f"msg-{n}.eml"), crlf_block,
                           size, prefix=header(f"{n}MiB"))
        if "random" in kinds:
            write_random(os.path.join(directory, f"random-{n}.bin"), size)
    if "small" not in kinds:
        return
    small_head = header("1KiB")
    small_body = crlf_block[: 1024 - len(small_head)]
    cut = small_body.rfind(b"\r\n") + 2
    filler = 1024 - len(small_head) - cut
    small = small_head + small_body[:cut] + b"y" * (filler - 2) + b"\r\n"
    assert len(small) == 1024, len(small)
    with open(os.path.join(directory, "small.eml"), "wb") as out:
        out.write(small)


if __name__ == "__main__":
    main()
