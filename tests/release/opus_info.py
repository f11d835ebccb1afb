#!/usr/bin/python3
"""Prints the program name and the URL that an Authenticode signature (a
detached PKCS#7 SignedData in DER, as osslsigncode extract-signature writes
it) names in its signed SpcSpOpusInfo attribute: "NAME URL". Fails when the
attribute or either field is missing.
Usage: opus_info.py SIGNATURE"""
import sys

OPUS_INFO = bytes.fromhex("060a2b06010401823702010c")  # OID 1.3.6.1.4.1.311.2.1.12


def element(data, at):
    """(tag, start of contents, end) of the DER element at `at`."""
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return tag, at, at + length


def children(data, start, end):
    while start < end:
        tag, begin, stop = element(data, start)
        yield tag, begin, stop
        start = stop


def text(data, start, end, link):
    """SpcString (program name): [0] BMPString or [1] IA5String; SpcLink
    (more information): [0] IA5String, the URL."""
    tag, begin, stop = next(children(data, start, end))
    return data[begin:stop].decode("utf-16-be" if tag == 0x80 and not link else "ascii")


with open(sys.argv[1], "rb") as f:
    der = f.read()
at = der.find(OPUS_INFO)
if at < 0 or der.find(OPUS_INFO, at + 1) >= 0:
    sys.exit("opus_info: no single SpcSpOpusInfo attribute")
_, values, _ = element(der, at + len(OPUS_INFO))  # SET OF
_, fields, fields_end = element(der, values)  # SpcSpOpusInfo SEQUENCE
found = {tag: text(der, begin, stop, tag == 0xA1) for tag, begin, stop in children(der, fields, fields_end)}
if set(found) != {0xA0, 0xA1}:
    sys.exit(f"opus_info: program name and URL expected, found fields {sorted(found)}")
print(found[0xA0], found[0xA1])
