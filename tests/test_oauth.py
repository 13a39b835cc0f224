"""The built-in OAuth login against a local provider: --oauth-login (device grant and the
browser with PKCE), sending with the stored token, refresh and rotation, the lock between
two runs, client credentials, and the provider's failures. No token ever reaches the output."""

import os
import re
import shutil
import ssl
import stat
import subprocess
import threading
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

import larkpost_runner
from larkpost_runner import host_path, is_windows_build, server_settings
from oauth_provider import CLIENT_SECRET, OAuthProvider

USER = "me@example.test"
EHLO_OAUTH = "250-test\r\n250 AUTH XOAUTH2 OAUTHBEARER PLAIN"
MESSAGE = b"Subject: hi\n\nhello\n"


@pytest.fixture
def provider(certs):
    made = []

    def start(**options):
        made.append(OAuthProvider(certs.localhost, **options))
        return made[-1]

    yield start
    for p in made:
        p.stop()


@pytest.fixture
def state_dir(tmp_path):
    """Where the token store lives across the runs of one test."""
    if not larkpost_runner.under_wine():
        path = tmp_path / "state"
        path.mkdir()
        yield path
        return
    # Wine takes LOCALAPPDATA from the prefix, not from the environment: the store is
    # the prefix's, and each test leaves it as empty as it found it. Logins already
    # there may be someone's own: they are left alone, and the test does not run.
    path = larkpost_runner.wine_local_app_data()
    if store_files(path):
        pytest.fail(f"the Wine prefix holds OAuth logins already ({path / 'Larkpost'}): run the "
                    "tests in a prefix of their own (scripts/test-wine.sh makes one)", pytrace=False)
    yield path
    shutil.rmtree(path / "Larkpost", ignore_errors=True)


def store_env(state_dir):
    return {"XDG_STATE_HOME": str(state_dir), "LOCALAPPDATA": host_path(state_dir)}


def store_files(state_dir):
    return sorted(p for p in state_dir.glob("*/oauth-*.json"))


def oauth_settings(p, certs, port=25, **extra):
    return {**server_settings(port), **p.settings(host_path(certs.ca)), "User": USER, "Auth": "xoauth2",
            **extra}


def assert_no_secrets(result, p):
    shown = result.stdout + getattr(result, "stderr", b"")
    for secret in [f"at-{n}" for n in range(1, p.issued + 1)] + ["rt-", CLIENT_SECRET, "code-"]:
        assert secret.encode() not in shown, secret


def log_in(run_larkpost, p, certs, state_dir, *options, **extra):
    result = run_larkpost(["--oauth-login", *options], settings=oauth_settings(p, certs, **extra),
                          env=store_env(state_dir))
    assert_no_secrets(result, p)
    return result


def send(run_larkpost, p, certs, state_dir, srv, **extra):
    result = run_larkpost([f"you@example.test"], stdin=MESSAGE,
                          settings=oauth_settings(p, certs, srv.port, **extra), env=store_env(state_dir))
    assert_no_secrets(result, p)
    return result


def bearer_of(exchange):
    """The access token an XOAUTH2 or OAUTHBEARER initial response carries."""
    found = re.search(rb"auth=Bearer ([^\x01]*)\x01", exchange.initial_response or b"")
    return found.group(1).decode() if found else None


@pytest.mark.parametrize("mechanism", ["xoauth2", "oauthbearer"])
def test_device_login_then_send_carries_the_stored_token(provider, certs, state_dir, scripted_smtp,
                                                        run_larkpost, mechanism, tmp_path):
    p = provider(pending_polls=2)
    result = log_in(run_larkpost, p, certs, state_dir)
    assert result.status == 0, result
    shown = result.stdout.decode()
    assert "open https://127.0.0.1/verify in a browser and enter the code ABCD-EFGH" in shown
    assert "Logged in as ann@example.test at custom" in shown
    assert p.polls == 3
    [store] = store_files(state_dir)
    if not is_windows_build():
        assert stat.S_IMODE(store.stat().st_mode) == 0o600
        assert stat.S_IMODE(store.parent.stat().st_mode) == 0o700
    else:
        assert b"rt-" not in store.read_bytes()  # encrypted with DPAPI

    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    trace = tmp_path / "trace.txt"
    result = send(run_larkpost, p, certs, state_dir, srv, Auth=mechanism, Trace=host_path(trace))
    assert result.status == 0, result
    assert [bearer_of(a) for a in srv.auth] == ["at-1"]
    assert srv.auth[0].mechanism == mechanism.upper()
    assert p.token_requests("refresh_token") == []  # the cached token was good
    assert b"at-1" not in trace.read_bytes() and b"rt-" not in trace.read_bytes()


@pytest.mark.parametrize("rotate", [True, False])
def test_expired_access_token_is_refreshed_and_the_new_refresh_token_kept(
        provider, certs, state_dir, scripted_smtp, run_larkpost, rotate):
    p = provider(rotate=rotate, expires_in=30)  # under a minute: every run refreshes
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    for run in range(2):
        assert send(run_larkpost, p, certs, state_dir, srv).status == 0
    assert [bearer_of(a) for a in srv.auth] == ["at-2", "at-3"]
    spent = [form["refresh_token"] for form in p.token_requests("refresh_token")]
    assert len(spent) == 2
    # With rotation each refresh spent the token the one before stored; without, the first.
    assert (spent[0] != spent[1]) == rotate


def test_refused_cached_token_is_renewed_once(provider, certs, state_dir, scripted_smtp, run_larkpost):
    p = provider()
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    srv = scripted_smtp(EHLO=EHLO_OAUTH, AUTH=["535 5.7.8 token expired", "235 ok"])
    assert send(run_larkpost, p, certs, state_dir, srv).status == 0
    assert [bearer_of(a) for a in srv.auth] == ["at-1", "at-2"]
    assert srv.verbs.count("EHLO") == 1  # on the same connection

    srv = scripted_smtp(EHLO=EHLO_OAUTH, AUTH="535 5.7.8 no")
    result = send(run_larkpost, p, certs, state_dir, srv)
    assert result.status == 1
    assert b"Authentication failed at server (127.0.0.1): 535 5.7.8 no" in result.stdout
    assert len(srv.auth) == 2 and len(p.token_requests("refresh_token")) == 2  # once each run


def test_two_runs_at_once_spend_one_rotating_refresh_token(provider, certs, state_dir, scripted_smtp,
                                                          run_larkpost):
    p = provider(rotate=True, expires_in=1)
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    p.expires_in, p.delay = 3600, 1.0  # a slow refresh, so the second run must wait for it
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    results = [None, None]

    def run(i):
        results[i] = send(run_larkpost, p, certs, state_dir, srv)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r.status for r in results] == [0, 0], results
    assert len(p.token_requests("refresh_token")) == 1
    assert [bearer_of(a) for a in srv.auth] == ["at-2", "at-2"]


def test_revoked_login_says_to_log_in_again(provider, certs, state_dir, scripted_smtp, run_larkpost):
    p = provider(expires_in=30)
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    p.revoked = True
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    result = send(run_larkpost, p, certs, state_dir, srv)
    assert result.status == 1
    assert (f"The OAuth login for {USER} has expired or was revoked: run larkpost --oauth-login"
            .encode() in result.stdout)
    assert srv.connection_count == 0


def test_no_login_yet_and_a_token_file_others_can_read_are_refused(provider, certs, state_dir,
                                                                  scripted_smtp, run_larkpost):
    p = provider()
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    result = send(run_larkpost, p, certs, state_dir, srv)
    assert result.status == 1 and b"No OAuth login for me@example.test yet" in result.stdout
    if is_windows_build():
        return  # DPAPI guards the content; there are no permission bits to check
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    [store] = store_files(state_dir)
    store.chmod(0o644)
    result = send(run_larkpost, p, certs, state_dir, srv)
    assert result.status == 1 and b"can be read by others; chmod 600 it" in result.stdout
    assert srv.connection_count == 0


def private_settings(tmp_path, settings):
    path = tmp_path / "private.ini"
    path.write_text(larkpost_runner.settings_text(settings))
    path.chmod(0o600)
    return "-" + host_path(path)


def test_client_credentials_fetch_a_token_for_the_mailbox(provider, certs, state_dir, scripted_smtp,
                                                         run_larkpost, tmp_path):
    p = provider()
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    settings = {**oauth_settings(p, certs, srv.port), "OAuthGrant": "client-credentials",
                "OAuthClientSecret": CLIENT_SECRET}
    for run in range(2):
        result = run_larkpost([private_settings(tmp_path, settings), "you@example.test"], stdin=MESSAGE,
                              env=store_env(state_dir))
        assert result.status == 0, result
        assert_no_secrets(result, p)
    assert [bearer_of(a) for a in srv.auth] == ["at-1", "at-1"]  # cached by the first run
    [request] = p.token_requests("client_credentials")
    assert request["scope"] == "smtp offline_access" and request["client_secret"] == CLIENT_SECRET

    if not is_windows_build():  # a secret in a file others can read is refused, as Password is
        exposed = tmp_path / "exposed.ini"
        exposed.write_text(larkpost_runner.settings_text(settings))
        exposed.chmod(0o644)
        result = run_larkpost(["-" + host_path(exposed), "you@example.test"], stdin=MESSAGE,
                              env=store_env(state_dir))
        assert result.status == 1
        assert b"holds OAuthClientSecret and can be read by others; chmod 600 it" in result.stdout


@pytest.mark.parametrize("error, words", [
    ("access_denied", "The login was declined at the OAuth provider"),
    ("expired_token", "The code expired before the login was completed; run --oauth-login again"),
])
def test_device_login_ends_on_the_providers_refusal(provider, certs, state_dir, run_larkpost, error, words):
    p = provider()
    p.device_script = [error]
    result = log_in(run_larkpost, p, certs, state_dir)
    assert result.status == 1 and words.encode() in result.stdout
    assert store_files(state_dir) == []


def test_device_login_slows_down_when_asked(provider, certs, state_dir, run_larkpost):
    p = provider(pending_polls=0)
    p.device_script = ["slow_down"]
    result = log_in(run_larkpost, p, certs, state_dir)
    assert result.status == 0, result
    assert p.poll_times[1] - p.poll_times[0] >= 5.9  # one second became six


@pytest.mark.parametrize("answer, words", [
    ((500, b"<html>Internal Server Error</html>"), "gave no usable answer: the answer (HTTP 500) is no JSON object"),
    ((400, {"error": "invalid_client", "error_description": "AADSTS7000215"}),
     "The OAuth provider refused the token request: invalid_client (AADSTS7000215)"),
    ((200, b"{" + b" " * 100000 + b"}"), "is longer than 64 KiB"),
    ("slow", "within 2 seconds"),
])
def test_token_endpoint_failures_end_the_run_before_connecting(provider, certs, state_dir, scripted_smtp,
                                                               run_larkpost, answer, words):
    p = provider(expires_in=30)
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    extra = {"Timeout": 2}
    if answer == "slow":
        p.delay = 4
    else:
        p.script.append(answer)
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    result = send(run_larkpost, p, certs, state_dir, srv, **extra)
    assert result.status == 1, result
    assert words.encode() in result.stdout
    assert srv.connection_count == 0


@pytest.mark.parametrize("presented, trusted", [
    ("unknown_issuer", "ca"),  # signed by a CA the file does not hold
    ("localhost", "untrusted_ca"),
    ("other_name", "ca"),  # a good chain, for another name
    ("expired", "ca"),
    ("localhost", None),  # the system's store, which knows nothing of the test CA
])
def test_token_endpoint_not_trusted_gets_no_secret(provider, certs, state_dir, scripted_smtp, run_larkpost,
                                                   presented, trusted):
    p = provider(expires_in=30)  # every run refreshes
    assert log_in(run_larkpost, p, certs, state_dir, OAuthClientSecret=CLIENT_SECRET).status == 0
    p.present(getattr(certs, presented))
    received = len(p.received)
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    extra = {"OAuthCAFile": host_path(getattr(certs, trusted)) if trusted else ""}
    result = send(run_larkpost, p, certs, state_dir, srv, OAuthClientSecret=CLIENT_SECRET, **extra)
    assert result.status == 1, result
    assert f"Could not reach the OAuth provider (127.0.0.1:{p.port})".encode() in result.stdout
    if is_windows_build():  # WinHTTP's refusal in words, not as a bare number
        assert b"secure connection" in result.stdout or b"certificate" in result.stdout, result
    # The request may have got as far as its headers, never to its body.
    assert p.received[received:] in ([], [b""]), p.received[received:]
    assert p.token_requests("refresh_token") == [] and srv.connection_count == 0


def start_larkpost(tmp_path, args, settings, env):
    """larkpost running in the background, its output readable line by line as it comes."""
    path = tmp_path / "browser.ini"
    path.write_text(larkpost_runner.settings_text(settings))
    argv = larkpost_runner.wrapper() + [str(larkpost_runner.larkpost_binary()), "-" + host_path(path), *args]
    child_env = {k: v for k, v in os.environ.items() if k == "PATH" or k.startswith(("ASAN_", "UBSAN_", "WINE"))}
    child_env.update(HOME=str(tmp_path), **env)
    if larkpost_runner.under_wine():
        child_env.setdefault("WINEPREFIX", str(Path.home() / ".wine"))
        child_env.setdefault("WINEDEBUG", "-all")
        child_env.update({k: v for k, v in os.environ.items() if k == "TMPDIR"})
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env)


def test_browser_login_with_pkce_takes_one_redirect_with_the_right_state(provider, certs, state_dir,
                                                                        run_larkpost, tmp_path):
    if not larkpost_runner.larkpost_binary().is_file():
        pytest.skip("no larkpost binary")
    p = provider()
    proc = start_larkpost(tmp_path, ["--oauth-login=browser"], oauth_settings(p, certs), store_env(state_dir))
    try:
        url = None
        for line in proc.stdout:
            if line.startswith(b"https://"):
                url = line.decode().strip()
                break
        assert url and url.startswith(p.url("/authorize?")), url
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
        assert query["code_challenge_method"] == "S256" and len(query["code_challenge"]) == 43
        redirect = query["redirect_uri"]
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/", redirect)
        # Something else knocks first: turned away, and the listener keeps waiting.
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(redirect + "?code=forged&state=wrong", timeout=10)
        assert refused.value.code == 400
        # The test is the browser: the provider redirects it to Larkpost's listener.
        context = ssl.create_default_context(cafile=str(certs.ca))
        with urllib.request.urlopen(url, context=context, timeout=10) as page:
            assert b"Larkpost has the login" in page.read()
        rest, errors = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0, (rest, errors)
    assert b"Logged in as ann@example.test" in rest
    [exchange] = p.token_requests("authorization_code")
    assert exchange["redirect_uri"] == redirect
    with pytest.raises(OSError):  # it stopped listening
        urllib.request.urlopen(redirect + "?state=x", timeout=5)


def test_check_shows_the_oauth_state_and_no_token(provider, certs, state_dir, scripted_smtp, run_larkpost):
    p = provider()
    assert log_in(run_larkpost, p, certs, state_dir).status == 0
    srv = scripted_smtp(EHLO=EHLO_OAUTH)
    result = run_larkpost(["--check"], settings=oauth_settings(p, certs, srv.port), env=store_env(state_dir))
    assert_no_secrets(result, p)
    shown = result.stdout.decode().replace("\r\n", "\n")
    assert "OAuth: provider custom, account ann@example.test\n" in shown
    assert re.search(r"\nOAuth: access token valid for (59|60) more minutes\n", shown), shown
    assert "OAuth: refresh works: yes\n" in shown
    assert result.status == 0, result
    assert [bearer_of(a) for a in srv.auth] == ["at-2"]  # the token the check's refresh stored
