"""Many runs against a server that answers at random: refusals for good and for now, limits,
closes and silences. Whatever it does, nobody gets the message twice, the exit status and
the report say what the server took, and every recipient is settled.

Seeded: LARKPOST_RANDOM_SEED picks the seed (printed when a run fails), LARKPOST_RANDOM_RUNS
how many runs (25 by default; a few thousand by hand)."""

import os
import random

import pytest

from delivery_check import check_against_server, report_from
from larkpost_runner import host_path, server_settings
from smtp_script import CLOSE, STALL

RUNS = int(os.environ.get("LARKPOST_RANDOM_RUNS", "25"))
SEED = int(os.environ.get("LARKPOST_RANDOM_SEED", str(random.randrange(1 << 32))))

RCPT_REPLIES = ["250 ok"] * 12 + ["250 2.1.5 ok", "550 5.1.1 no such user", "553", "451 4.7.1 greylisted",
                                  "450 4.2.1 busy", "452 4.5.3 too many", "452", "552", "552 5.5.3 too many",
                                  "421 4.3.2 closing", CLOSE]
DATA_END_REPLIES = ["250 queued"] * 8 + ["554 5.6.0 no", "552", "451 4.3.0 later", "421 4.3.2 closing", CLOSE]
OTHER_REPLIES = {"MAIL": ["451 4.3.0 busy", "421 closing"], "DATA": ["451 4.3.0 later", "554 no"]}


def random_run(rng):
    """The arguments and the scripted server's answers of one run."""
    recipients = [f"r{i}@x{rng.randrange(3)}.test" for i in range(rng.randint(1, 9))]
    args = [f"--max-recipients={rng.choice([0, 0, 1, 2, 3])}", f"--retry={rng.choice([0, 1, 2])}",
            "--retry-delay=0"] + recipients

    def sometimes(verb):
        return lambda t, **_: rng.choice(OTHER_REPLIES[verb]) if rng.random() < 0.05 else None

    stall = rng.random() < 0.03  # a silence costs the whole time limit: rarely
    script = {
        "EHLO": rng.choice(["250 test", "250-test\r\n250 PIPELINING"]),
        "RCPT": lambda a, n, t: rng.choice(RCPT_REPLIES),
        "DATA_END": lambda t: STALL if stall else rng.choice(DATA_END_REPLIES),
        "MAIL": sometimes("MAIL"), "DATA": sometimes("DATA"),
    }
    return args, list(reversed(recipients)), script


def test_random_servers_never_make_the_program_lie(scripted_smtp, run_larkpost, tmp_path):
    rng = random.Random(SEED)
    for run in range(RUNS):
        args, recipients, script = random_run(rng)
        srv = scripted_smtp(script)
        path = tmp_path / f"report{run}.json"
        result = run_larkpost([f"--report={host_path(path)}"] + args, stdin=b"Subject: r\n\nbody\n",
                              settings=server_settings(srv.port, Timeout=1))
        try:
            assert result.status in (0, 1, 2) and b"Internal error" not in result.stdout
            check_against_server(srv, result.status, report_from(result, path), recipients)
        except AssertionError as error:
            pytest.fail(f"LARKPOST_RANDOM_SEED={SEED}, run {run}: {args}\n{result!r}\n{srv.log}\n{error}",
                        pytrace=False)
        srv.stop()
