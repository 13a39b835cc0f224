"""What a run reported, checked against what the scripted server itself saw."""

import json

STATUSES = {"delivered", "refused", "temporary", "unknown"}


def report_from(result, path=None):
    """The report of a run: the file at `path`, else standard output (--report=-)."""
    text = path.read_text(encoding="utf-8") if path is not None else result.stdout.decode("utf-8")
    return json.loads(text)


def check_against_server(srv, status, report, recipients):
    """The three promises of a delivery: nobody gets the message twice, the exit status and
    the report say what the server took, and every recipient is settled."""
    seen = srv.delivered()
    for address, (taken, maybe) in seen.items():
        assert taken + maybe <= 1, f"{address} got the message {taken} times, {maybe} more maybe"
    entries = report["recipients"]
    assert [e["address"] for e in entries] == recipients
    for entry in entries:
        taken, maybe = seen.get(entry["address"], (0, 0))
        assert entry["status"] in STATUSES, entry
        if taken or maybe:
            assert entry["status"] == ("delivered" if taken else "unknown"), (entry, taken, maybe)
        else:
            assert entry["status"] in ("refused", "temporary"), (entry, taken, maybe)
        assert entry["accepted"] == (entry["status"] == "delivered")
    delivered = sum(e["status"] == "delivered" for e in entries)
    unknown = any(e["status"] == "unknown" for e in entries)
    assert status == (0 if delivered == len(entries) else 2 if delivered else 1)
    assert report["outcome"] == ("unknown" if unknown else "sent" if status == 0 else
                                 "partial" if status == 2 else "failed")
    # Trying again may help when somebody is refused for now, unless somebody may have it.
    assert report["temporary"] is (not unknown and any(e["status"] == "temporary" for e in entries))
