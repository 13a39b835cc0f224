"""Throw-away certificates for the TLS tests, made with the openssl command in one directory."""

import datetime
import os
import shutil
import ssl
import subprocess
from pathlib import Path
from typing import NamedTuple

# `openssl ca` needs a configuration; one file serves every certificate. The subjectAltName
# comes from the environment so that each server certificate can have its own.
_CONFIG = """\
[ca]
default_ca = signing

[signing]
database = {dir}/index.txt
new_certs_dir = {dir}/issued
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no

[any_name]
organizationName = optional
commonName = supplied

[req]
distinguished_name = empty_dn

[empty_dn]

[ca_cert]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_cert]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = ${{ENV::LARKPOST_SAN}}

[self_signed_cert]
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = ${{ENV::LARKPOST_SAN}}
"""

LOCALHOST_NAMES = "DNS:localhost, IP:127.0.0.1, IP:::1"


class ServerCert(NamedTuple):
    cert: Path  # PEM, the server's certificate alone
    key: Path  # PEM, unencrypted
    fingerprint: str  # SHA-256 of the DER certificate, "AB:CD:..." as openssl prints it


class Certificates:
    """A CA the tests trust (`ca`), one they do not (`untrusted_ca`), and server certificates.

    localhost      for localhost, 127.0.0.1 and ::1, signed by `ca`
    other_name     for other.invalid only, signed by `ca`
    expired        for localhost, signed by `ca`, valid from two years ago to one year ago
    not_yet_valid  for localhost, signed by `ca`, valid from next year on
    self_signed    for localhost, signed by itself
    unknown_issuer for localhost, signed by `untrusted_ca`
    cn_only        CN=localhost, but only IP:127.0.0.1 among its alternative names
    idn            for xn--bcher-kva.example (bücher.example) and 127.0.0.1, signed by `ca`
    """

    def __init__(self, directory):
        self._dir = Path(directory)
        (self._dir / "issued").mkdir()
        (self._dir / "index.txt").touch()
        self._config = self._dir / "openssl.cnf"
        self._config.write_text(_CONFIG.format(dir=self._dir))
        now = datetime.datetime.now(datetime.timezone.utc)
        year = datetime.timedelta(days=365)
        # The CAs' validity encloses every certificate they sign, so that an expired
        # server certificate is the only thing wrong with its chain.
        self.ca = self._make_ca("ca", "Larkpost Test CA", now - 3 * year, now + 10 * year)
        self.untrusted_ca = self._make_ca("untrusted-ca", "Untrusted Test CA", now - 3 * year,
                                          now + 10 * year)
        valid = (now - datetime.timedelta(days=1), now + year)
        self.localhost = self._make_localhost("localhost", self.ca, *valid)
        self.other_name = self._issue("other-name", "other.invalid", "DNS:other.invalid", self.ca,
                                      *valid)
        self.expired = self._make_localhost("expired", self.ca, now - 2 * year, now - year)
        self.not_yet_valid = self._make_localhost("not-yet-valid", self.ca, now + year, now + 2 * year)
        self.unknown_issuer = self._make_localhost("unknown-issuer", self.untrusted_ca, *valid)
        self.self_signed = self._make_localhost("self-signed", None, *valid)
        self.cn_only = self._issue("cn-only", "localhost", "IP:127.0.0.1", self.ca, *valid)
        self.idn = self._issue("idn", "xn--bcher-kva.example", "DNS:xn--bcher-kva.example,IP:127.0.0.1",
                               self.ca, *valid)

    def _make_ca(self, name, common_name, start, end):
        """The CA's certificate; its key lies beside it."""
        return self._issue(name, common_name, "", None, start, end, section="ca_cert").cert

    def _make_localhost(self, name, ca, start, end):
        return self._issue(name, "localhost", LOCALHOST_NAMES, ca, start, end)

    def _issue(self, name, common_name, alt_names, ca, start, end, section=None):
        """A new key and a certificate for it, signed by `ca` (a CA's certificate) or by itself."""
        key, request, cert = (self._dir / f"{name}{suffix}" for suffix in (".key", ".csr", ".pem"))
        section = section or ("server_cert" if ca else "self_signed_cert")
        # Every section is parsed, so the variable must be set even where none uses it.
        env = {**os.environ, "LARKPOST_SAN": alt_names or "DNS:unused"}
        self._openssl(env, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                      "-out", key)
        self._openssl(env, "req", "-new", "-config", self._config, "-key", key, "-out", request,
                      "-subj", f"/O=Larkpost Tests/CN={common_name}")
        signer = ["-selfsign", "-keyfile", key] if ca is None else ["-cert", ca,
                                                                    "-keyfile", ca.with_suffix(".key")]
        # Wine's crypt32 lays an ECDSA signature's r and s side by side as they are encoded:
        # a value with a leading zero byte (about one signature in 128) leaves it a byte
        # short, and it never verifies. The Windows build under Wine would then find that
        # certificate's chain badly signed, in that run only. Sign again until both are
        # full width.
        for _ in range(40):
            self._openssl(env, "ca", "-batch", "-notext", "-config", self._config, *signer,
                          "-in", request, "-out", cert, "-extensions", section,
                          "-startdate", _asn1_time(start), "-enddate", _asn1_time(end))
            if _signature_is_full_width(cert):
                break
        else:
            raise RuntimeError(f"openssl signed {cert} with a short ECDSA value 40 times")
        printed = self._openssl(env, "x509", "-in", cert, "-noout", "-fingerprint", "-sha256")
        return ServerCert(cert, key, printed.strip().partition("=")[2])

    def _openssl(self, env, *args):
        result = subprocess.run(["openssl", *map(str, args)], env=env, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"openssl {args[0]} failed:\n{result.stderr}")
        return result.stdout


def unavailable_reason():
    if shutil.which("openssl") is None:
        return "the openssl command is not installed (scripts/install-deps.sh installs it)"
    return None


def _asn1_time(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


def _der_items(data):
    """The (tag, contents) of each DER item in `data`, one level deep."""
    items, at = [], 0
    while at < len(data):
        tag, length, at = data[at], data[at + 1], at + 2
        if length & 0x80:
            size = length & 0x7F
            length, at = int.from_bytes(data[at:at + size], "big"), at + size
        items.append((tag, data[at:at + length]))
        at += length
    return items


def _signature_is_full_width(pem_path):
    """Whether the certificate's P-256 ECDSA signature has an r and an s of 32 bytes each."""
    der = ssl.PEM_cert_to_DER_cert(pem_path.read_text())
    [(_, certificate)] = _der_items(der)
    _, _, (_, signature_bits) = _der_items(certificate)
    [(_, pair)] = _der_items(signature_bits[1:])  # after the count of unused bits
    return all(len(value.lstrip(b"\0")) == 32 for _, value in _der_items(pair))
