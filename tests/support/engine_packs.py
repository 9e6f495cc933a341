#!/usr/bin/env python3
"""Makes update packs for the engine tests with tools that share no code with the engine.

Usage: engine_packs.py SRC PACK KEY [SRC PACK KEY ...]

Each SRC file is compressed whole with zlib.compress (one zlib stream) into PACK. When KEY is
not empty the stream is then enciphered with RC4 by `openssl enc -rc4` (legacy provider), keyed
with the 16 bytes of KEY (its characters, padded with NUL bytes or cut to 16).
"""

import subprocess
import sys
import zlib


def rc4_openssl(data: bytes, key: str) -> bytes:
    key16 = (key.encode("latin-1") + b"\0" * 16)[:16]
    cmd = ["openssl", "enc", "-rc4", "-nosalt", "-K", key16.hex(),
           "-provider", "legacy", "-provider", "default"]
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout


def main(argv):
    args = argv[1:]
    if not args or len(args) % 3:
        sys.stderr.write(__doc__)
        return 2
    for i in range(0, len(args), 3):
        src, pack, key = args[i:i + 3]
        with open(src, "rb") as f:
            data = zlib.compress(f.read())
        if key:
            data = rc4_openssl(data, key)
        with open(pack, "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
