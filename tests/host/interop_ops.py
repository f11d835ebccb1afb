#!/usr/bin/python3
# The operations of the host's interop proof, through one PKCS#11 module:
# each prints one line, "name: result", where the result is what the
# operation gave (a hash of it where the same keys give the same bytes) or
# "verified" where the module itself checked it. The same script through
# SoftHSM2 directly and through a host path must print the same lines.
#   interop_ops.py MODULE TOKEN_LABEL PIN
import hashlib
import sys

import PyKCS11 as P

module, label, pin = sys.argv[1:4]
lib = P.PyKCS11Lib()
lib.load(module)
slot = next(s for s in lib.getSlotList(tokenPresent=True) if lib.getTokenInfo(s).label.strip() == label)
session = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
session.login(pin)


def out(name, value):
    print("%s: %s" % (name, value), flush=True)


def digest(data):
    return hashlib.sha256(bytes(data)).hexdigest()[:16]


def secret(value, **more):
    template = [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_TOKEN, False), (P.CKA_VALUE, value),
                (P.CKA_EXTRACTABLE, True), (P.CKA_SENSITIVE, False)]
    return session.createObject(template + [(getattr(P, "CKA_" + k.upper()), v) for k, v in more.items()])


def attempt(name, operation):
    try:
        out(name, operation())
    except P.PyKCS11Error as error:
        out(name, P.CKR[error.value] if error.value in P.CKR else error.value)


data = bytes(range(200))
aes = secret(bytes(range(16)), key_type=P.CKK_AES, encrypt=True, decrypt=True, wrap=True, unwrap=True)
hmac = secret(b"k" * 32, key_type=P.CKK_GENERIC_SECRET, sign=True, verify=True)

out("slot", lib.getTokenInfo(slot).label.strip())
attempt("found", lambda: len(session.findObjects([(P.CKA_CLASS, P.CKO_SECRET_KEY)])))
attempt("hmac", lambda: digest(session.sign(hmac, data, P.Mechanism(P.CKM_SHA256_HMAC))))
attempt("digest", lambda: digest(session.digest(data, P.Mechanism(P.CKM_SHA256))))
gcm = P.AES_GCM_Mechanism(bytes(12), b"header", 128)
attempt("aes-gcm", lambda: digest(session.encrypt(aes, data, gcm)))
attempt("aes-gcm-back", lambda: digest(session.decrypt(aes, session.encrypt(aes, data, gcm), gcm)))
cbc = P.Mechanism(P.CKM_AES_CBC_PAD, bytes(16))
attempt("aes-cbc", lambda: digest(session.encrypt(aes, data, cbc)))

# Key pairs made by the module; what they sign it verifies.
rsa_pub, rsa_priv = session.generateKeyPair(
    [(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_TOKEN, False), (P.CKA_MODULUS_BITS, 2048),
     (P.CKA_PUBLIC_EXPONENT, (1, 0, 1)), (P.CKA_ENCRYPT, True), (P.CKA_VERIFY, True), (P.CKA_WRAP, True)],
    [(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_TOKEN, False), (P.CKA_DECRYPT, True), (P.CKA_SIGN, True),
     (P.CKA_UNWRAP, True)],
    P.MechanismRSAGENERATEKEYPAIR)
out("rsa-keypair", "made")
pss = P.RSA_PSS_Mechanism(P.CKM_SHA256_RSA_PKCS_PSS, P.CKM_SHA256, P.CKG_MGF1_SHA256, 32)
attempt("sign-rsa-pss", lambda: "verified" if session.verify(rsa_pub, data, session.sign(rsa_priv, data, pss), pss)
        else "wrong")
raw_pss = P.RSA_PSS_Mechanism(P.CKM_RSA_PKCS_PSS, P.CKM_SHA256, P.CKG_MGF1_SHA256, 32)
hashed = hashlib.sha256(data).digest()
attempt("sign-rsa-pss-raw", lambda: "verified"
        if session.verify(rsa_pub, hashed, session.sign(rsa_priv, hashed, raw_pss), raw_pss) else "wrong")
oaep = P.RSAOAEPMechanism(P.CKM_SHA_1, P.CKG_MGF1_SHA1)
attempt("decrypt-rsa-oaep",
        lambda: digest(session.decrypt(rsa_priv, session.encrypt(rsa_pub, data[:64], oaep), oaep)))

p256 = bytes.fromhex("06082a8648ce3d030107")
ec_pub, ec_priv = session.generateKeyPair(
    [(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_TOKEN, False), (P.CKA_EC_PARAMS, p256), (P.CKA_VERIFY, True)],
    [(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_TOKEN, False), (P.CKA_SIGN, True), (P.CKA_DERIVE, True)],
    P.Mechanism(P.CKM_EC_KEY_PAIR_GEN))
out("ec-keypair", "made")
ecdsa = P.Mechanism(P.CKM_ECDSA)
attempt("sign-ecdsa", lambda: "verified" if session.verify(ec_pub, hashed, session.sign(ec_priv, hashed, ecdsa), ecdsa)
        else "wrong")

# ECDH: both halves made here; each side's derivation gives the same secret.
peer_pub, peer_priv = session.generateKeyPair(
    [(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_TOKEN, False), (P.CKA_EC_PARAMS, p256)],
    [(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_TOKEN, False), (P.CKA_DERIVE, True)],
    P.Mechanism(P.CKM_EC_KEY_PAIR_GEN))


def point(public):
    value = bytes(session.getAttributeValue(public, [P.CKA_EC_POINT], allAsBinary=True)[0])
    return value[2:] if value[0] == 4 and value[1] == len(value) - 2 else value


def ecdh(private, public):
    derived = session.deriveKey(private, [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_GENERIC_SECRET),
                                          (P.CKA_TOKEN, False), (P.CKA_SENSITIVE, False), (P.CKA_EXTRACTABLE, True),
                                          (P.CKA_VALUE_LEN, 32)],
                                P.ECDH1_DERIVE_Mechanism(point(public)))
    return bytes(session.getAttributeValue(derived, [P.CKA_VALUE], allAsBinary=True)[0])


attempt("derive-ecdh", lambda: "agreed" if ecdh(ec_priv, peer_pub) == ecdh(peer_priv, ec_pub) else "differs")

# Wrap the AES key under RSA-OAEP and unwrap it with a template of its own:
# the unwrapped key encrypts as the original does.
def unwrapped():
    wrapped = session.wrapKey(rsa_pub, aes, oaep)
    key = session.unwrapKey(rsa_priv, wrapped, [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_AES),
                                                (P.CKA_TOKEN, False), (P.CKA_ENCRYPT, True)], oaep)
    return digest(session.encrypt(key, data, cbc))


attempt("wrap-unwrap", unwrapped)
attempt("random", lambda: len(session.generateRandom(64)))


# A key with a wrap template (nested attributes going in), and the template
# read back: its size, then its attributes into the caller's own.
def wrap_template():
    key = secret(bytes(16), key_type=P.CKK_AES, wrap=True,
                 wrap_template=[(P.CKA_KEY_TYPE, P.CKK_AES), (P.CKA_EXTRACTABLE, True)])
    return len(session.getAttributeValue(key, [P.CKA_WRAP_TEMPLATE], allAsBinary=True)[0])


attempt("wrap-template", wrap_template)
# A length query and the values of every attribute of one key.
attempt("modulus-length", lambda: len(session.getAttributeValue(rsa_pub, [P.CKA_MODULUS], allAsBinary=True)[0]))
session.logout()
session.closeSession()
