"""Print a PEM public key (ECDSA P-256) as the launcher's 64 key bytes: X then Y, big-endian, as a C list."""
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

try:
    with open(sys.argv[1], "rb") as f:
        key = serialization.load_pem_public_key(f.read())
except (OSError, ValueError) as e:
    sys.exit("%s: not a readable PEM public key (%s)" % (sys.argv[1], e))
if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
    sys.exit("%s: not an ECDSA P-256 public key (make one with tools/publish keygen)" % sys.argv[1])
numbers = key.public_numbers()
point = numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
print(", ".join("0x%02x" % b for b in point))
