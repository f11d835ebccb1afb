#!/usr/bin/python3
"""Writes malformed and hostile launcher configuration files into a folder:
truncations and byte mutations of a valid file, random bytes, deep nesting,
huge strings and arrays, and odd encodings. The same seed gives the same
files, so a failure can be reproduced."""
import os
import random
import sys

VALID = b'''[splash]
image = "splash.png"
millisec = 3000

[env]
LOCALPATH = ["bin", "lib"]
PATH = ["C:\\\\tools"]

[jre]
main_jar = "app.jar"
main_jar2 = "second.jar"
options = ["-Xmx512m", "-Dfile.encoding=UTF-8"]

[app]
exec = "C:\\\\jre\\\\bin\\\\javaw.exe"
log_dir = "C:\\\\logs"
data_dir = "C:\\\\data"
'''


def cases(rng):
    for cut in range(0, len(VALID), max(1, len(VALID) // 60)):
        yield f"truncated-{cut}", VALID[:cut]
    for i in range(50):
        data = bytearray(VALID)
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        yield f"mutated-{i}", bytes(data)
    for i in range(40):
        yield f"random-{i}", bytes(rng.randrange(256) for _ in range(rng.choice([1, 16, 300, 5000])))
    for depth in (10, 255, 256, 300, 1000, 20000):
        yield f"nested-arrays-{depth}", b"[splash]\nmillisec = " + b"[" * depth + b"1" + b"]" * depth + b"\n"
        yield f"nested-inline-{depth}", b"x = " + b"{a = " * depth + b"1" + b"}" * depth + b"\n"
        yield f"dotted-key-{depth}", b"a" + b".a" * depth + b" = 1\n"
        yield f"table-header-{depth}", b"[a" + b".a" * depth + b"]\nexec = \"x\"\n"
        yield f"unclosed-{depth}", b"x = " + b"[" * depth
    for size in (1 << 16, 1 << 20, 8 << 20):
        yield f"huge-string-{size}", b'[app]\nexec = "' + b"x" * size + b'"\n'
        yield f"huge-key-{size}", b"[app]\n" + b"k" * size + b' = "x"\n'
        yield f"unterminated-string-{size}", b'[app]\nexec = "' + b"y" * size
    for count in (1000, 100000):
        yield f"huge-localpath-{count}", b"[env]\nLOCALPATH = [" + b'"d",' * count + b"]\n"
        yield f"huge-options-{count}", b"[jre]\noptions = [" + b'"-Dx=1",' * count + b"]\n"
        yield f"many-tables-{count}", b"".join(b"[t%d]\nk = 1\n" % i for i in range(count))
    specials = {
        "nul-bytes": b"[app]\nexec = \"a\x00b\"\n",
        "nul-escape": b"[app]\nexec = \"a\\u0000b\"\n",
        "ctrl-z": b"[app]\nexec = \"a\"\n\x1a[splash]\nmillisec = 5\n",
        "invalid-utf8-string": b"[app]\nexec = \"\xff\xfe\"\n",
        "overlong-utf8": b"[app]\nexec = \"\xc0\xaf\"\n",
        "surrogate-escape": b"[app]\nexec = \"\\ud800\"\n",
        "max-escape": b"[app]\nexec = \"\\U0010FFFF\"\n",
        "beyond-unicode": b"[app]\nexec = \"\\U00110000\"\n",
        "bom-only": b"\xef\xbb\xbf",
        "utf16-bom": "[app]\nexec = \"x\"\n".encode("utf-16"),
        "lone-cr": b"[app]\rexec = \"x\"\r",
        "duplicate-key": b"[app]\nexec = \"a\"\nexec = \"b\"\n",
        "duplicate-table": b"[app]\n[app]\n",
        "integer-overflow": b"[splash]\nmillisec = 9223372036854775808\n",
        "integer-min": b"[splash]\nmillisec = -9223372036854775808\n",
        "float-millisec": b"[splash]\nmillisec = inf\n",
        "nan-millisec": b"[splash]\nmillisec = nan\n",
        "date-millisec": b"[splash]\nmillisec = 1979-05-27T07:32:00Z\n",
        "hex-millisec": b"[splash]\nmillisec = 0xDEADBEEF\n",
        "table-redefined-as-key": b"[app]\nexec = \"x\"\n[app.exec]\n",
        "array-of-tables-mix": b"[[app]]\n[app]\n",
        "long-line": b"# " + b"c" * (1 << 20) + b"\n",
        "multiline-unterminated": b'[app]\nexec = """abc\n',
        "literal-unterminated": b"[app]\nexec = '''abc\n",
        "control-char": b"[app]\nexec = \"a\x07b\"\n",
        "only-brackets": b"[[[[]]]]",
        "equals-only": b"=",
        "key-without-value": b"[app]\nexec =\n",
    }
    yield from specials.items()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    rng = random.Random(20240528)
    count = 0
    for name, data in cases(rng):
        with open(os.path.join(out, name + ".toml"), "wb") as f:
            f.write(data)
        count += 1
    print(f"{count} configuration files in {out}")


if __name__ == "__main__":
    main()
