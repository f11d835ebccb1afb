"""Signs a file with the token's RSA key 'rsa' (SHA256-RSA-PKCS) through a
PKCS#11 module with PyKCS11 and writes the signature.

usage: pykcs11_sign.py MODULE TOKEN_LABEL PIN INPUT OUTPUT
"""
import sys

import PyKCS11

module, label, pin, source, target = sys.argv[1:6]
lib = PyKCS11.PyKCS11Lib()
lib.load(module)
slot = next(s for s in lib.getSlotList(tokenPresent=True)
            if lib.getTokenInfo(s).label.strip() == label)
session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
session.login(pin)
key = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_LABEL, "rsa")])[0]
with open(source, "rb") as f:
    data = f.read()
signature = bytes(session.sign(key, data, PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS)))
with open(target, "wb") as f:
    f.write(signature)
print(f"slot {slot}, key handle {key.value()}, {len(signature)}-byte signature")
session.logout()
session.closeSession()
