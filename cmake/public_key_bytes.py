"""Print the PEM public keys (ECDSA P-256) of a file as the launcher's key bytes.

Output: the number of keys, a semicolon, then each key's X and Y (big-endian,
64 bytes) as a braced C list. A file may hold more than one key while a new one
replaces an old one.
"""
import re
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

BLOCK = re.compile(rb"-----BEGIN PUBLIC KEY-----.+?-----END PUBLIC KEY-----", re.S)

try:
    with open(sys.argv[1], "rb") as f:
        blocks = BLOCK.findall(f.read())
    keys = [serialization.load_pem_public_key(block) for block in blocks]
except (OSError, ValueError) as e:
    sys.exit("%s: not readable PEM public keys (%s)" % (sys.argv[1], e))
if not keys:
    sys.exit("%s: no PEM public key in it (make one with tools/publish keygen)" % sys.argv[1])
points = []
for key in keys:
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
        sys.exit("%s: holds a key that is not ECDSA P-256 (make one with tools/publish keygen)" % sys.argv[1])
    numbers = key.public_numbers()
    point = numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    points.append("{%s}" % ", ".join("0x%02x" % b for b in point))
print("%d;%s" % (len(keys), ", ".join(points)))
