#!/usr/bin/env python3
"""The module host as a program: it serves a mock backend on its standard
input and output, answers C_Initialize, C_GetSlotList and C_Finalize in
order with the request's codes (matched by code), and refuses a malformed request
(CKR_ARGUMENTS_BAD), an unknown call (CKR_FUNCTION_NOT_SUPPORTED) and a
frame over the 16 MiB limit (CKR_DATA_LEN_RANGE, read past) each alone: the
connection goes on.
   host_smoke.py RUNNER HOST MODULE   (RUNNER: the Wine runner, or "" natively)"""
import os, struct, subprocess, sys

runner, host, module = sys.argv[1:4]

def frame(code, body):
    return struct.pack('>III', code, 0, len(body)) + body

def start(call_id, signature):
    return struct.pack('>II', call_id, len(signature)) + signature

handshake = b"PRIVATE-GNOME-KEYRING-PKCS11-PROTOCOL-V-1"
initialize = (start(1, b'ayyay') + b'\x01' + struct.pack('>I', len(handshake)) + handshake
              + b'\x00\x01' + struct.pack('>I', 1) + b'\x00')
slot_count = start(4, b'yfu') + b'\x00' + struct.pack('>I', 0)
finalize = start(2, b'')
truncated = start(6, b'u') + b'\x00\x00'  # C_GetTokenInfo with half a slot id
login_user = start(66, b'uuayay') + bytes(8)  # a PKCS#11 3.0 call the host does not serve
stream = (b'\x00' + frame(7, initialize) + frame(8, slot_count) + frame(9, finalize)
          + frame(10, initialize) + frame(11, truncated) + frame(12, slot_count) + frame(13, login_user)
          + frame(14, bytes((16 << 20) + 1)) + frame(15, slot_count))
command = ([runner] if runner else []) + [host, module]
out = subprocess.run(command, input=stream, stdout=subprocess.PIPE, timeout=300,
                     env=dict(os.environ, TOKENHUB_MOCK_SLOTS="1:7:Rd"), check=False).stdout
assert out[:1] == b'\x00', out[:1]
answers, at = [], 1
while at + 12 <= len(out):
    code, options, length = struct.unpack('>III', out[at:at + 12])
    body = out[at + 12 + options:at + 12 + options + length]
    at += 12 + options + length
    call_id, n = struct.unpack('>II', body[:8])
    answers.append((code, call_id, body[8:8 + n], body[8 + n:]))
slots = (4, b'au', b'\x00' + struct.pack('>I', 1))
refused = lambda code, rv: (code, 0, b'u', struct.pack('>Q', rv))
expected = [(7, 1, b'', b''), (8,) + slots, (9, 2, b'', b''), (10, 1, b'', b''), refused(11, 0x7), (12,) + slots,
            refused(13, 0x54), refused(14, 0x21), (15,) + slots]
# Calls run side by side: answers are matched by their codes.
assert sorted(answers) == expected, answers
print("the host answered", len(answers), "requests in order, each refusal alone")
