#!/usr/bin/env python3
"""Checks a published site against its release tree with readers of its own (Python's XML
parser, hashlib, zlib and a separate RC4), so that a fault shared by the publisher and the
updater cannot hide.

usage: publish_check.py DOCUMENT SITE_FILES_DIR RELEASE_DIR

Exit code 0 when every check passes, 1 otherwise (each fault on one line of standard error).
On success prints one line per group, file and delete entry for the caller to inspect:
  group NAME dispName=.. priority=.. default=.. defaultgrp=..
  file NAME groups=G1,G2 key=KEY url=URL packsha=HEX
  delete NAME
"""
import hashlib
import os
import re
import stat
import sys
import xml.etree.ElementTree as ET
import zlib


def rc4(key, data):
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


def release_files(root):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for f in filenames:
            full = os.path.join(dirpath, f)
            out[os.path.relpath(full, root).replace(os.sep, "/")] = full
    return out


def main():
    doc_path, files_dir, release = sys.argv[1:4]
    faults = []
    lines = []
    tree = ET.parse(doc_path)
    root = tree.getroot()
    if root.tag != "update_info":
        print("root element is %s, not update_info" % root.tag, file=sys.stderr)
        return 1
    version = int(root.get("version"))
    info = root.find("info")
    if info is None:
        print("no info element", file=sys.stderr)
        return 1
    for a in ("AppName", "Author", "URL", "FileBase"):
        if info.get(a) is None:
            faults.append("info lacks %s" % a)
    base = info.get("FileBase") or ""
    if not re.match(r"^(http|https|ftp)://", base, re.I):
        faults.append("FileBase %r is not an absolute URL" % base)
    group_names = []
    groups = root.find("groups")
    if groups is not None:
        if version < 2:
            faults.append("version 1 document carries groups")
        for g in groups:
            if g.tag != "group" or not g.get("name"):
                faults.append("bad group element %r" % g.attrib)
                continue
            group_names.append(g.get("name"))
            for a in ("priority", "default", "defaultgrp"):
                int(g.get(a, "0"))
            lines.append("group %s dispName=%s priority=%s default=%s defaultgrp=%s" % (
                g.get("name"), g.get("dispName", ""), g.get("priority", "50"),
                g.get("default", "0"), g.get("defaultgrp", "0")))
    expected = release_files(release)
    seen = set()
    download_names = set()
    files = root.find("files")
    if files is None:
        print("no files element", file=sys.stderr)
        return 1
    for f in files:
        name = f.get("file")
        if name in seen:
            faults.append("%s listed twice" % name)
        seen.add(name)
        if name not in expected:
            faults.append("%s is not in the release" % name)
            continue
        with open(expected[name], "rb") as fh:
            content = fh.read()
        if int(f.get("size", "-1")) != len(content):
            faults.append("%s: size %s, file has %d" % (name, f.get("size"), len(content)))
        mode = os.stat(expected[name]).st_mode & 0o777
        if int(f.get("modes", "-1")) != mode:
            faults.append("%s: modes %s, file has %d" % (name, f.get("modes"), mode))
        url = f.get("url", "")
        key = f.get("key")
        if key is None:
            faults.append("%s: no key attribute" % name)
            key = ""
        if key and not re.fullmatch(r"[A-Za-z0-9]{16}", key):
            faults.append("%s: key %r is not 16 letters and digits" % (name, key))
        if version >= 2:
            if re.match(r"^(http|https|ftp)://", url, re.I):
                faults.append("%s: url %s is not relative to FileBase" % (name, url))
            rel = url
            want_file = hashlib.sha256(content).hexdigest()
            if f.get("sha") != want_file:
                faults.append("%s: sha %s, file has %s" % (name, f.get("sha"), want_file))
            for gname in (f.get("group") or "").split(","):
                if gname and gname not in group_names:
                    faults.append("%s: group %s is not declared" % (name, gname))
        else:
            if not url.startswith(base):
                faults.append("%s: url %s does not start with FileBase" % (name, url))
            rel = url[len(base):]
            want_file = hashlib.md5(content).hexdigest()
            if f.get("md5") != want_file:
                faults.append("%s: md5 %s, file has %s" % (name, f.get("md5"), want_file))
            if f.get("group") is not None:
                faults.append("%s: version 1 record carries a group" % name)
        last = rel.rsplit("/", 1)[-1]
        if last in download_names:
            faults.append("%s: download name %s is shared with another file" % (name, last))
        download_names.add(last)
        pack_path = os.path.join(files_dir, rel)
        try:
            with open(pack_path, "rb") as fh:
                pack = fh.read()
        except OSError as e:
            faults.append("%s: pack %s: %s" % (name, pack_path, e))
            continue
        sha_pack = hashlib.sha256(pack).hexdigest()
        if int(f.get("packsize", "-1")) != len(pack):
            faults.append("%s: packsize %s, pack has %d" % (name, f.get("packsize"), len(pack)))
        if last.split("-")[0] != sha_pack:
            faults.append("%s: pack %s is not named by its SHA-256 %s" % (name, last, sha_pack))
        if version >= 2 and f.get("packsha") != sha_pack:
            faults.append("%s: packsha %s, pack has %s" % (name, f.get("packsha"), sha_pack))
        if version < 2 and f.get("packmd5") != hashlib.md5(pack).hexdigest():
            faults.append("%s: packmd5 does not match the pack" % name)
        plain = rc4(key.encode(), pack) if key else pack
        d = zlib.decompressobj()  # a zlib stream (RFC 1950), nothing after it
        try:
            out = d.decompress(plain) + d.flush()
        except zlib.error as e:
            faults.append("%s: pack does not inflate: %s" % (name, e))
            continue
        if not d.eof or d.unused_data:
            faults.append("%s: pack is not exactly one zlib stream" % name)
        if out != content:
            faults.append("%s: pack inflates to other content" % name)
        lines.append("file %s groups=%s key=%s url=%s packsha=%s" % (
            name, f.get("group") or "", key, url, sha_pack))
    for name in expected:
        if name not in seen:
            faults.append("%s is in the release but not in the document" % name)
    delete = root.find("delete")
    if delete is not None:
        for e in delete:
            name = e.get("file")
            if name in expected:
                faults.append("%s is both published and deleted" % name)
            lines.append("delete %s" % name)
    for f in faults:
        print(f, file=sys.stderr)
    if faults:
        return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
