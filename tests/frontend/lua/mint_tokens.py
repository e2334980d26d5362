#!/usr/bin/python3
"""Mints the signed URLs' test tokens with Debian's python3-jwt and
python3-cryptography, never with the node's own code, and prints them as
one JSON object: the key set ("jwks": a JWK Set made by jwt's own to_jwk),
the clock ("now") and "cases", each a token with the request it is asked
for ("uri", "client") and what the node must answer ("want": "ok" or a
refusal's reason). Keys are made afresh on every run.

    mint_tokens.py            the table test's cases
    mint_tokens.py --seeds    only the good tokens, one a line (fuzz seeds)
"""

import base64
import hashlib
import json
import os
import sys

import jwt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec
from jwt.algorithms import ECAlgorithm, HMACAlgorithm

NOW = 1900000000
LEEWAY = 30
SITE = "https://video.example"
URI = SITE + "/vod/show/index.m3u8"


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def jwk(text, **members):
    key = json.loads(text)
    key.update(members)
    return key


secret, other_secret = os.urandom(32), os.urandom(32)
issuer_secret = os.urandom(48)
ec_key, other_ec_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
public = ec_key.public_key()


def short_ec_key():
    """A P-256 key whose x is below 2^248, which jwt's to_jwk writes in 31
    bytes or fewer (the integer's shortest form): one key in 128."""
    while True:
        key = ec.generate_private_key(ec.SECP256R1())
        if key.public_key().public_numbers().x < 1 << 248:
            return key


short_key = short_ec_key()
JWKS = {"keys": [
    jwk(HMACAlgorithm.to_jwk(secret), kid="hs", alg="HS256"),
    jwk(ECAlgorithm.to_jwk(public), kid="es", use="sig"),
    jwk(ECAlgorithm.to_jwk(short_key.public_key()), kid="es-short"),
    jwk(HMACAlgorithm.to_jwk(issuer_secret), kid="iss", iss="https://signer.example"),
]}


def hs(claims, key=secret, kid="hs", **headers):
    return jwt.encode(claims, key, algorithm="HS256", headers=dict(kid=kid, **headers))


def es(claims, key=ec_key, kid="es"):
    return jwt.encode(claims, key, algorithm="ES256", headers={"kid": kid})


def valid(**claims):
    return dict({"exp": NOW + 600, "cdniuc": "regex:https://video\\.example/vod/show/.*"}, **claims)


def tampered(token):
    """The token with another payload and its old signature."""
    head, _, sig = token.split(".")
    return ".".join([head, b64(json.dumps(valid(cdniuc="regex:.*")).encode()), sig])


def flipped(token):
    """The token with one bit of its signature changed."""
    head, body, sig = token.split(".")
    raw = bytearray(base64.urlsafe_b64decode(sig + "=" * (-len(sig) % 4)))
    raw[10] ^= 1
    return ".".join([head, body, b64(bytes(raw))])


point = public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
uri_hash = b64(hashlib.sha256(URI.encode()).digest())
plain = hs(valid())

# (name, token, want, request changes)
CASES = [
    ("HS256, good", plain, "ok", {}),
    ("ES256, good", es(valid()), "ok", {}),
    ("ES256, its key's x written without its leading zero byte", es(valid(), key=short_key, kid="es-short"),
     "ok", {}),
    ("no claims at all", hs({}), "ok", {}),
    ("expired", hs(valid(exp=NOW - LEEWAY - 1)), "expired", {}),
    ("expired as the leeway ends", hs(valid(exp=NOW - LEEWAY)), "expired", {}),
    ("expired, within the leeway", hs(valid(exp=NOW - LEEWAY + 1)), "ok", {}),
    ("not yet valid", hs(valid(nbf=NOW + LEEWAY + 1)), "not-yet-valid", {}),
    ("not yet valid, within the leeway", hs(valid(nbf=NOW + LEEWAY)), "ok", {}),
    ("wrong secret", hs(valid(), key=other_secret), "bad-signature", {}),
    ("tampered payload", tampered(plain), "bad-signature", {}),
    ("ES256, wrong key", es(valid(), key=other_ec_key), "bad-signature", {}),
    ("ES256, a bit of the signature flipped", flipped(es(valid())), "bad-signature", {}),
    ("ES256, tampered payload", tampered(es(valid())), "bad-signature", {}),
    ("alg none", jwt.encode(valid(), None, algorithm="none", headers={"kid": "hs"}), "malformed", {}),
    ("HS256 keyed with the ES256 public key's bytes", hs(valid(), key=point, kid="es"), "unknown-key", {}),
    ("ES256 under an HS256 kid", es(valid(), kid="hs"), "unknown-key", {}),
    ("unknown kid", hs(valid(), kid="gone"), "unknown-key", {}),
    ("no kid", jwt.encode(valid(), secret, algorithm="HS256"), "unknown-key", {}),
    ("cdniv 1", hs(valid(cdniv=1)), "ok", {}),
    ("cdniv 2", hs(valid(cdniv=2)), "critical-claim", {}),
    ("cdnicrit names an unknown claim", hs(valid(cdnicrit=["cdnixyz"], cdnixyz=1)), "critical-claim", {}),
    ("cdnicrit names a known claim", hs(valid(cdnicrit=["cdniuc", "exp"])), "ok", {}),
    ("cdnicrit names a claim it lacks", hs(valid(cdnicrit=["cdniip"])), "critical-claim", {}),
    ("an unknown claim, not critical", hs(valid(cdnixyz="whatever")), "ok", {}),
    ("the header's crit", hs(valid(), crit=["b64"], b64=False), "critical-claim", {}),
    ("cdnistt 2 (query-string transport)", hs(valid(cdniets=30, cdnistt=2)), "critical-claim", {}),
    ("cdniuc regex, another directory", hs(valid()), "uri-not-covered", {"uri": SITE + "/vod/other/a.ts"}),
    ("cdniuc regex with an alternation", hs(valid(cdniuc="regex:https://video\\.example/vod/(show|x)/.*")),
     "ok", {}),
    ("cdniuc regex with a class", hs(valid(cdniuc="regex:[^:]*://video\\.example/vod/show/index\\.m3u8")),
     "ok", {}),
    ("cdniuc regex with a class, another file",
     hs(valid(cdniuc="regex:[^:]*://video\\.example/vod/show/index\\.m3u8")), "uri-not-covered",
     {"uri": SITE + "/vod/show/index.m3u"}),
    ("cdniuc regex of a literal URI", hs(valid(cdniuc="regex:https://video\\.example/vod/show/index\\.m3u8")),
     "ok", {}),
    ("cdniuc regex matches a prefix only", hs(valid(cdniuc="regex:https://video\\.example/vod")),
     "uri-not-covered", {}),
    ("cdniuc regex, another site in the query",
     hs(valid(cdniuc="regex:https://video\\.example/vod/show/.*")), "uri-not-covered",
     {"uri": "https://evil.example/x?https://video.example/vod/show/a.ts"}),
    # A literal expression is compared with the request's scheme, host and
    # path as they come: at the edges of each.
    ("cdniuc literal, a plain HTTP request", hs(valid()), "uri-not-covered",
     {"uri": "http://video.example/vod/show/a.ts"}),
    ("cdniuc literal, a longer host", hs(valid()), "uri-not-covered",
     {"uri": "https://video.example.org/vod/show/a.ts"}),
    ("cdniuc literal, its host and path further on", hs(valid()), "uri-not-covered",
     {"uri": "https://evil.example/video.example/vod/show/a.ts"}),
    ("cdniuc literal, its directory without the slash", hs(valid()), "uri-not-covered",
     {"uri": SITE + "/vod/show?/vod/show/a.ts"}),
    ("cdniuc literal, with a query", hs(valid()), "ok", {"uri": URI + "?session=7"}),
    ("cdniuc literal URI, with a query", hs(valid(cdniuc="regex:https://video\\.example/vod/show/index\\.m3u8")),
     "uri-not-covered", {"uri": URI + "?session=7"}),
    ("cdniuc literal URI and query", hs(valid(cdniuc="regex:https://video\\.example/vod/show/index\\.m3u8\\?a=1")),
     "ok", {"uri": URI + "?a=1"}),
    ("cdniuc literal ending in the host", hs(valid(cdniuc="regex:https://video\\.exam.*")), "ok", {}),
    ("cdniuc literal ending in a name", hs(valid(cdniuc="regex:https://video\\.example/vod/sh.*")), "ok", {}),
    ("cdniuc hash", hs(valid(cdniuc="hash:" + uri_hash)), "ok", {}),
    ("cdniuc hash of another URI", hs(valid(cdniuc="hash:" + uri_hash)), "uri-not-covered",
     {"uri": URI + "?x=1"}),
    ("cdniuc of another kind", hs(valid(cdniuc="glob:*")), "malformed", {}),
    ("cdniuc regex that does not compile", hs(valid(cdniuc="regex:(")), "malformed", {}),
    ("cdniip IPv4 network", hs(valid(cdniip="192.0.2.0/24")), "ok", {"client": "192.0.2.7"}),
    ("cdniip IPv4, another client", hs(valid(cdniip="192.0.2.0/24")), "address-not-covered",
     {"client": "198.51.100.7"}),
    ("cdniip IPv4, a mapped IPv6 client", hs(valid(cdniip="192.0.2.7")), "ok",
     {"client": "::ffff:192.0.2.7"}),
    ("cdniip IPv6 network", hs(valid(cdniip="2001:db8:1::/48")), "ok", {"client": "2001:db8:1:2::9"}),
    ("cdniip IPv6, another client", hs(valid(cdniip="2001:db8:1::/48")), "address-not-covered",
     {"client": "2001:db8:2::9"}),
    ("cdniip IPv6, an IPv4 client", hs(valid(cdniip="2001:db8:1::/48")), "address-not-covered",
     {"client": "192.0.2.7"}),
    ("cdniip not an address", hs(valid(cdniip="192.0.2.300")), "malformed", {}),
    ("cdniip with bits set past its prefix", hs(valid(cdniip="192.0.2.7/24")), "malformed", {}),
    ("aud, this node", hs(valid(aud="node.example")), "ok", {}),
    ("aud, a list with this node", hs(valid(aud=["x.example", "node.example"])), "ok", {}),
    ("aud, another", hs(valid(aud="x.example")), "wrong-audience", {}),
    ("iss of its key", hs(valid(iss="https://signer.example"), key=issuer_secret, kid="iss"), "ok", {}),
    ("iss missing, its key has one", hs(valid(), key=issuer_secret, kid="iss"), "unknown-key", {}),
    ("iss of a key without one", hs(valid(iss="https://signer.example")), "unknown-key", {}),
    ("sub, iat and jti", hs(valid(sub="opaque", iat=NOW - 5, jti="one")), "ok", {}),
    ("jti without exp", hs({"jti": "two"}), "malformed", {}),
    ("exp not a number", hs(valid(exp="soon")), "malformed", {}),
    ("cdniets 0", hs(valid(cdniets=0)), "malformed", {}),
    ("regression: a cdniets whose renewal JSON cannot write exactly", hs(valid(cdniets=2 ** 53 + 1)),
     "malformed", {}),
    ("renewal claims", hs(valid(cdniets=30, cdnistt=1, cdnistd=2)), "ok", {}),
    ("a JWE (five parts)", "eyJhbGciOiJSU0EtT0FFUCJ9.a.b.c.d", "malformed", {}),
    ("two parts", plain.rsplit(".", 1)[0], "malformed", {}),
    ("padding", plain + "=", "malformed", {}),
    ("a byte outside base64url", plain[:20] + "+" + plain[21:], "malformed", {}),
    ("oversized", hs(valid(pad="x" * 4000)), "malformed", {}),
    ("a signed payload that is an array",
     jwt.api_jws.encode(b"[1]", secret, algorithm="HS256", headers={"kid": "hs"}), "malformed", {}),
]


def main():
    if sys.argv[1:] == ["--seeds"]:
        for _, token, want, _ in CASES:
            if want == "ok":
                print(token)
        return
    cases = []
    for name, token, want, changes in CASES:
        case = {"name": name, "token": token, "want": want, "uri": URI, "client": "192.0.2.7"}
        case.update(changes)
        cases.append(case)
    print(json.dumps({"jwks": JWKS, "now": NOW, "leeway": LEEWAY, "audience": "node.example",
                      "secret": b64(secret), "cases": cases}))


main()
