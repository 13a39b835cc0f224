"""A local OAuth 2.0 provider for the tests: Python's http.server over TLS with the test CA.

Endpoints: /devicecode (RFC 8628), /authorize (plays the user consenting: redirects at once
to redirect_uri with a code), /token (device_code, authorization_code with PKCE S256,
refresh_token with or without rotation, client_credentials). It records every token
request and issues access tokens "at-1", "at-2", ... so a test can tell which one the SMTP
server saw. Failures on demand: `script` is a list of (status, body or callable) answers
the token endpoint gives first, before answering normally.
"""

import base64
import hashlib
import http.server
import json
import secrets
import ssl
import threading
import time
import urllib.parse

CLIENT_ID = "larkpost-test-client"
CLIENT_SECRET = "client-secret-7d1c"


class OAuthProvider:
    def __init__(self, cert, rotate=True, expires_in=3600, interval=1, pending_polls=1,
                 device_expires_in=60, require_secret=False):
        self.rotate = rotate
        self.expires_in = expires_in
        self.interval = interval
        self.pending_polls = pending_polls
        self.device_expires_in = device_expires_in
        self.require_secret = require_secret
        self.script = []  # answers the token endpoint gives before its own
        self.device_script = []  # errors the device polls get instead of authorization_pending
        self.requests = []  # (path, form) of every POST
        self.lock = threading.Lock()
        self.issued = 0
        self.refresh_tokens = set()  # the ones still valid
        self.codes = {}  # code -> (challenge, redirect_uri)
        self.polls = 0
        self.poll_times = []
        self.revoked = False
        self.delay = 0  # seconds each token answer waits, outside the lock
        provider = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                provider._get(self)

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode(), keep_blank_values=True))
                provider._post(self, form)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(cert.cert, cert.key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"https://127.0.0.1:{self.port}{path}"

    def settings(self, ca_file, **extra):
        return {"OAuthProvider": "custom", "OAuthClientId": CLIENT_ID,
                "OAuthTokenUrl": self.url("/token"), "OAuthDeviceUrl": self.url("/devicecode"),
                "OAuthAuthorizeUrl": self.url("/authorize"), "OAuthScope": "smtp offline_access",
                "OAuthCAFile": ca_file, **extra}

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    @property
    def current_access_token(self):
        return f"at-{self.issued}"

    def token_requests(self, grant_type):
        return [form for path, form in self.requests if path == "/token" and form.get("grant_type") == grant_type]

    # --- the endpoints ---------------------------------------------------------------

    def _send(self, handler, status, body, content_type="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        handler.send_response(status)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(data)))
        handler.send_header("Cache-Control", "no-store")
        handler.end_headers()
        handler.wfile.write(data)

    def _tokens(self, with_refresh=True):
        self.issued += 1
        answer = {"access_token": f"at-{self.issued}", "token_type": "Bearer", "expires_in": self.expires_in}
        payload = base64.urlsafe_b64encode(json.dumps({"preferred_username": "ann@example.test"}).encode())
        answer["id_token"] = "e30." + payload.decode().rstrip("=") + ".sig"
        if with_refresh:
            refresh = f"rt-{self.issued}-{secrets.token_hex(4)}"
            self.refresh_tokens.add(refresh)
            answer["refresh_token"] = refresh
        return answer

    def _get(self, handler):
        url = urllib.parse.urlsplit(handler.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path != "/authorize":
            return self._send(handler, 404, {"error": "not_found"})
        with self.lock:
            self.requests.append(("/authorize", query))
            code = "code-" + secrets.token_hex(6)
            self.codes[code] = (query.get("code_challenge"), query.get("code_challenge_method"),
                                query.get("redirect_uri"))
        target = query["redirect_uri"] + "?" + urllib.parse.urlencode({"code": code, "state": query.get("state", "")})
        handler.send_response(302)
        handler.send_header("Location", target)
        handler.send_header("Content-Length", "0")
        handler.end_headers()

    def _post(self, handler, form):
        path = urllib.parse.urlsplit(handler.path).path
        if path == "/token" and self.delay:
            time.sleep(self.delay)
        with self.lock:
            self.requests.append((path, form))
            if path == "/devicecode":
                return self._send(handler, 200, {
                    "device_code": "dev-" + secrets.token_hex(4), "user_code": "ABCD-EFGH",
                    "verification_uri": "https://127.0.0.1/verify", "expires_in": self.device_expires_in,
                    "interval": self.interval})
            if path != "/token":
                return self._send(handler, 404, {"error": "not_found"})
            if self.script:
                status, body = self.script.pop(0)
                if callable(body):
                    body = body()
                return self._send(handler, status, body)
            status, body = self._token(form)
        self._send(handler, status, body)

    def _token(self, form):
        if form.get("client_id") != CLIENT_ID:
            return 401, {"error": "invalid_client"}
        if self.require_secret and form.get("client_secret") != CLIENT_SECRET:
            return 401, {"error": "invalid_client", "error_description": "wrong client secret"}
        grant = form.get("grant_type")
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            self.polls += 1
            self.poll_times.append(time.monotonic())
            if self.device_script:
                return 400, {"error": self.device_script.pop(0)}
            if self.polls <= self.pending_polls:
                return 400, {"error": "authorization_pending"}
            return 200, self._tokens()
        if grant == "authorization_code":
            found = self.codes.pop(form.get("code"), None)
            if not found:
                return 400, {"error": "invalid_grant", "error_description": "unknown code"}
            challenge, method, redirect = found
            verifier = form.get("code_verifier", "")
            computed = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).decode().rstrip("=")
            if method != "S256" or computed != challenge or redirect != form.get("redirect_uri"):
                return 400, {"error": "invalid_grant", "error_description": "PKCE verification failed"}
            return 200, self._tokens()
        if grant == "refresh_token":
            token = form.get("refresh_token")
            if self.revoked or token not in self.refresh_tokens:
                return 400, {"error": "invalid_grant", "error_description": "AADSTS70000: the grant is no longer valid"}
            if self.rotate:
                self.refresh_tokens.discard(token)
                return 200, self._tokens()
            answer = self._tokens(with_refresh=False)
            return 200, answer
        if grant == "client_credentials":
            if form.get("client_secret") != CLIENT_SECRET:
                return 401, {"error": "invalid_client", "error_description": "wrong client secret"}
            answer = self._tokens(with_refresh=False)
            del answer["id_token"]
            return 200, answer
        return 400, {"error": "unsupported_grant_type"}
