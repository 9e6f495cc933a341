#!/usr/bin/env python3
"""Builds release fixtures for the updater's tests: packs and an update-information document.

This tool shares no code with the updater. Packs are made with Python's zlib (one-shot
compress of the whole file) and, when a file has a key, enciphered with the RC4 written below
(checked against published test vectors by --self-test). Digests come from hashlib.

Usage:
  make_release.py CONFIG.json OUTDIR   build the release described by CONFIG into OUTDIR and
                                       print a JSON summary on standard output
  make_release.py --rc4 KEY            encipher standard input with RC4 keyed with the text KEY
                                       (padded with NUL bytes to 16 bytes) to standard output
  make_release.py --self-test          check the RC4 code against known keystreams

CONFIG (JSON):
  version     document version: 1 (MD5, absolute URLs) or 2 and more (SHA-256, FileBase)
  base_url    URL under which OUTDIR/packs is served, e.g. http://127.0.0.1:8080/packs
  channel     channel name; the document goes to OUTDIR/updates/CHANNEL.info
              (default kestrl5-full-debian9.x86_64)
  info        attributes of <info> to add or override (AppName, Author, URL, FileBase)
  groups      list of objects; each one's keys become the attributes of a <group> (version 2+)
  files       list of file entries (below)
  delete      list of names for the <delete> section (omitted when absent)
  raw_document  text written as the document instead of building one (packs still built)

File entry:
  file        installed name (required)
  content     file content as text, or
  content_hex file content as hexadecimal, or
  random      {"size": N, "seed": S}: N pseudo-random bytes (incompressible)
  repeat      {"text": T, "count": N}: T repeated N times
  key         RC4 key text ("" = plain pack; default "")
  group       value of the "group" attribute (version 2+)
  modes       value of the "modes" attribute (decimal; omitted when absent)
  pack        name of the pack file under OUTDIR/packs (default: derived from "file")
  absolute    true: the URL is absolute even in version 2 (default: relative to FileBase)
  attrs       attributes to add or override after the computed ones (values taken as text)
  omit        attribute names to leave out
  pack_hex    use these bytes as the pack instead of the one built (checksums still describe
              the built pack unless overridden in attrs)
"""

import hashlib
import json
import os
import random
import re
import sys
import zlib
from xml.sax.saxutils import quoteattr


def rc4(key: bytes, data: bytes) -> bytes:
    """RC4: key scheduling over a 256-entry state, then one keystream byte per data byte."""
    if not key:
        raise ValueError("RC4 key must not be empty")
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    out = bytearray(len(data))
    i = j = 0
    for n, b in enumerate(data):
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out[n] = b ^ s[(s[i] + s[j]) & 0xFF]
    return bytes(out)


def key_bytes(key_text: str) -> bytes:
    """The 16 key bytes the updater uses: the key's characters, NUL-padded or cut to 16."""
    raw = key_text.encode("latin-1")
    return (raw + b"\0" * 16)[:16]


def make_pack(data: bytes, key_text: str) -> bytes:
    packed = zlib.compress(data)
    if key_text:
        packed = rc4(key_bytes(key_text), packed)
    return packed


# Keystream prefixes from RFC 6229 (offset 0, first 16 bytes).
RC4_VECTORS = [
    ("0102030405", "b2396305f03dc027ccc3524a0a1118a8"),
    ("01020304050607", "293f02d47f37c9b633f2af5285feb46b"),
    ("0102030405060708090a0b0c0d0e0f10", "9ac7cc9a609d1ef7b2932899cde41b97"),
    ("833222772a", "80ad97bdc973df8a2e879e92a497efda"),
    ("ebb46227c6cc8b37641910833222772a", "720c94b63edf44e131d950ca211a5a30"),
]


def self_test() -> int:
    failed = 0
    for key_hex, stream_hex in RC4_VECTORS:
        got = rc4(bytes.fromhex(key_hex), bytes(16)).hex()
        if got != stream_hex:
            print(f"RC4 key {key_hex}: got {got}, want {stream_hex}")
            failed += 1
    # Enciphering twice restores the data.
    data = bytes(range(256)) * 3
    if rc4(b"k" * 16, rc4(b"k" * 16, data)) != data:
        print("RC4 is not its own inverse")
        failed += 1
    print("ok" if not failed else f"{failed} failure(s)")
    return 1 if failed else 0


def file_content(entry: dict) -> bytes:
    if "content" in entry:
        return entry["content"].encode("utf-8")
    if "content_hex" in entry:
        return bytes.fromhex(entry["content_hex"])
    if "random" in entry:
        r = entry["random"]
        return random.Random(r.get("seed", 1)).randbytes(int(r["size"]))
    if "repeat" in entry:
        r = entry["repeat"]
        return r["text"].encode("utf-8") * int(r["count"])
    return b""


def default_pack_name(file_name: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", file_name) + ".pak"


def attr_text(attrs: dict) -> str:
    return " ".join(f"{k}={quoteattr(str(v))}" for k, v in attrs.items())


def build(config: dict, outdir: str) -> dict:
    version = int(config.get("version", 2))
    base_url = config.get("base_url", "http://127.0.0.1/packs").rstrip("/")
    channel = config.get("channel", "kestrl5-full-debian9.x86_64")
    pack_dir = os.path.join(outdir, "packs")
    doc_dir = os.path.join(outdir, "updates")
    os.makedirs(pack_dir, exist_ok=True)
    os.makedirs(doc_dir, exist_ok=True)
    v2 = version > 1

    summary = {"document": os.path.join(doc_dir, channel + ".info"), "files": []}
    file_lines = []
    for entry in config.get("files", []):
        name = entry["file"]
        data = file_content(entry)
        key = entry.get("key", "")
        pack = make_pack(data, key)
        pack_name = entry.get("pack", default_pack_name(name))
        pack_path = os.path.join(pack_dir, pack_name)
        served = bytes.fromhex(entry["pack_hex"]) if "pack_hex" in entry else pack
        with open(pack_path, "wb") as f:
            f.write(served)
        absolute_url = base_url + "/" + pack_name
        url = pack_name if v2 and not entry.get("absolute", False) else absolute_url

        attrs = {"file": name, "size": len(data)}
        if "modes" in entry:
            attrs["modes"] = entry["modes"]
        attrs["url"] = url
        if v2 and "group" in entry:
            attrs["group"] = entry["group"]
        attrs["key"] = key
        if v2:
            attrs["sha"] = hashlib.sha256(data).hexdigest()
            attrs["packsha"] = hashlib.sha256(pack).hexdigest()
        else:
            attrs["md5"] = hashlib.md5(data).hexdigest()
            attrs["packmd5"] = hashlib.md5(pack).hexdigest()
        for k, v in entry.get("attrs", {}).items():
            attrs[k] = v
        for k in entry.get("omit", []):
            attrs.pop(k, None)
        file_lines.append(f"    <file {attr_text(attrs)}/>")
        summary["files"].append({
            "file": name,
            "pack": pack_path,
            "url": absolute_url,
            "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(),
            "md5": hashlib.md5(data).hexdigest(),
            "packsha256": hashlib.sha256(pack).hexdigest(),
        })

    if "raw_document" in config:
        document = config["raw_document"]
    else:
        info = {"AppName": "Kestrel", "Author": "Test Vendor", "URL": "http://127.0.0.1/"}
        if v2:
            info["FileBase"] = base_url + "/"
        info.update(config.get("info", {}))
        lines = ['<?xml version="1.0"?>', f'<update_info version="{version}">',
                 f"  <info {attr_text(info)}/>"]
        if v2 and "groups" in config:
            lines.append("  <groups>")
            for g in config["groups"]:
                lines.append(f"    <group {attr_text(g)}/>")
            lines.append("  </groups>")
        lines.append("  <files>")
        lines.extend(file_lines)
        lines.append("  </files>")
        if "delete" in config:
            lines.append("  <delete>")
            for d in config["delete"]:
                lines.append(f"    <file {attr_text({'file': d})}/>")
            lines.append("  </delete>")
        lines.append("</update_info>")
        document = "\n".join(lines) + "\n"
    with open(summary["document"], "w", encoding="utf-8") as f:
        f.write(document)
    return summary


def main(argv: list) -> int:
    if len(argv) == 2 and argv[1] == "--self-test":
        return self_test()
    if len(argv) == 3 and argv[1] == "--rc4":
        data = sys.stdin.buffer.read()
        sys.stdout.buffer.write(rc4(key_bytes(argv[2]), data))
        return 0
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        config = json.load(f)
    summary = build(config, argv[2])
    json.dump(summary, sys.stdout, indent=1)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
