"""A test certificate authority made at test time, the server certificates
the https tests serve, and the authority's trust inside a test Wine prefix.

Nothing here is kept: the keys and certificates go to a folder of the
session's, and the authority is trusted only in the prefix's own registry
(its machine root store, which Wine's crypt32 reads for WinINet's chain
checks), never in the machine's store.
"""

import datetime
import hashlib
import ipaddress
import struct
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

# Wine's crypt32 reads the machine root store from here: one subkey per
# certificate, named by its SHA-1 thumbprint, whose "Blob" holds the
# certificate as a serialized store element.
ROOT_STORE = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
# The serialized element's property that holds the encoded certificate.
CERT_CERT_PROP_ID = 32

LOOPBACK_NAMES = ("localhost",)
LOOPBACK_ADDRESSES = ("127.0.0.1",)
OTHER_NAME = "updates.quorval.invalid"
DAY = datetime.timedelta(days=1)


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Quorval tests"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _pem_key(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                             serialization.NoEncryption())


class Certificate:
    """A server certificate and its key as PEM files, for nginx."""

    def __init__(self, kind, cert_path, key_path):
        self.kind = kind
        self.cert = Path(cert_path)
        self.key = Path(key_path)

    def __repr__(self):
        return "Certificate(%s, %s)" % (self.kind, self.cert)


class CertificateAuthority:
    """A certificate authority and the server certificates the tests need,
    written below `folder`:

    - "trusted":     issued by the authority for 127.0.0.1 and localhost
    - "self-signed": for the same names, signed by its own key
    - "expired":     issued by the authority for the same names, expired yesterday
    - "other-name":  issued by the authority for another host name only
    """

    KINDS = ("trusted", "self-signed", "expired", "other-name")

    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.name = _name("Quorval Test Authority %s" % now.strftime("%Y%m%d%H%M%S"))
        self.cert = (x509.CertificateBuilder()
                     .subject_name(self.name).issuer_name(self.name)
                     .public_key(self.key.public_key())
                     .serial_number(x509.random_serial_number())
                     .not_valid_before(now - DAY).not_valid_after(now + 30 * DAY)
                     .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                     .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                                  key_encipherment=False, data_encipherment=False,
                                                  key_agreement=False, key_cert_sign=True, crl_sign=True,
                                                  encipher_only=False, decipher_only=False), critical=True)
                     .add_extension(x509.SubjectKeyIdentifier.from_public_key(self.key.public_key()),
                                    critical=False)
                     .sign(self.key, hashes.SHA256()))
        self.der = self.cert.public_bytes(serialization.Encoding.DER)
        (self.folder / "authority.pem").write_bytes(self.cert.public_bytes(serialization.Encoding.PEM))
        # One key serves every server certificate.
        self.server_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.server_key_path = self.folder / "server.key"
        self.server_key_path.write_bytes(_pem_key(self.server_key))
        self.certificates = {
            "trusted": self._issue("trusted", now - DAY, now + 30 * DAY),
            "self-signed": self._issue("self-signed", now - DAY, now + 30 * DAY, self_signed=True),
            "expired": self._issue("expired", now - 10 * DAY, now - DAY),
            "other-name": self._issue("other-name", now - DAY, now + 30 * DAY, names=(OTHER_NAME,), addresses=()),
        }

    @property
    def thumbprint(self):
        """The SHA-1 of the encoded certificate in capitals: the name of its key in a registry store."""
        return hashlib.sha1(self.der).hexdigest().upper()

    def _issue(self, kind, not_before, not_after, names=LOOPBACK_NAMES, addresses=LOOPBACK_ADDRESSES,
               self_signed=False):
        subject = _name((list(addresses) + list(names))[0])
        # Wine's crypt32 matches the server's name against DNS names only,
        # so an address is listed as one too (other clients match the IP entry).
        alt_names = ([x509.DNSName(n) for n in list(names) + list(addresses)] +
                     [x509.IPAddress(ipaddress.ip_address(a)) for a in addresses])
        builder = (x509.CertificateBuilder()
                   .subject_name(subject)
                   .issuer_name(subject if self_signed else self.name)
                   .public_key(self.server_key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(not_before).not_valid_after(not_after)
                   .add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
                   .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                   .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False))
        if not self_signed:
            builder = builder.add_extension(
                x509.AuthorityKeyIdentifier.from_issuer_public_key(self.key.public_key()), critical=False)
        cert = builder.sign(self.server_key if self_signed else self.key, hashes.SHA256())
        path = self.folder / ("%s.pem" % kind)
        path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        return Certificate(kind, path, self.server_key_path)

    # --- trust inside a Wine prefix

    def registry_blob(self):
        """The certificate as a serialized store element: the one property
        that holds the encoded certificate (id, encoding type 1, length, bytes)."""
        return struct.pack("<III", CERT_CERT_PROP_ID, 1, len(self.der)) + self.der

    def trust(self, wine):
        """Adds the authority to the prefix's machine root store. Authorities
        an interrupted session left there are taken out first (the prefix
        keeps a list of the ones it was given)."""
        listed = _listed(wine)
        for thumbprint in listed:
            _delete(wine, thumbprint)
        _record(wine, [self.thumbprint])
        result = wine.run(["reg", "add", "%s\\%s" % (ROOT_STORE, self.thumbprint), "/v", "Blob", "/t", "REG_BINARY",
                           "/d", self.registry_blob().hex().upper(), "/f"])
        assert result.returncode == 0, "reg add failed: %r %r" % (result.stdout, result.stderr)

    def distrust(self, wine):
        _delete(wine, self.thumbprint)
        _record(wine, [t for t in _listed(wine) if t != self.thumbprint])


def _list_path(wine):
    return Path(wine.prefix) / ".harness-test-authorities"


def _listed(wine):
    path = _list_path(wine)
    return path.read_text().split() if path.is_file() else []


def _record(wine, thumbprints):
    _list_path(wine).write_text("".join(t + "\n" for t in thumbprints))


def _delete(wine, thumbprint):
    wine.run(["reg", "delete", "%s\\%s" % (ROOT_STORE, thumbprint), "/f"])
