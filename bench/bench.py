#!/usr/bin/env python3
"""Benchmark harness: times the project's programs against the tools a user would otherwise use.

Started by bench/run.sh after it has built build-bench/. Prepares its data in a scratch
directory, serves it with nginx on 127.0.0.1, runs every case several times alternating the
project's program and its peer, and prints one table: median wall time of each side, the ratio
(median of the pairwise project/peer ratios), peak resident memory of each side and the target.

Every timed command is started under GNU time (no shell unless the peer itself is two tools in a
row); the harness takes the wall time, GNU time the peak resident set size (the largest of the
process and the children it waited for).
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

GNU_TIME = "/usr/bin/time"

MiB = 1 << 20
GiB = 1 << 30

# Channel path the updater asks for with its default options.
CHANNEL = "updates/kestrl5-full-debian9.x86_64.info"

TARGETS = {
    1: ("ratio", 1.05),
    2: ("ratio", 1.05),
    3: ("ratio", 1.10),
    4: ("ratio", 1.5),
    5: ("rss_mib", 64),
    6: ("ratio", 1.5),
    7: ("ratio", 1.0),
    8: ("ratio", 0.6),
    9: ("ratio", 1.2),
    10: ("rss_time", (250, 3.0)),
}

# One-way delay the latency proxy adds in case 9.
PROXY_DELAY_MS = 20


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------------------------------------
# Running and measuring


class Run:
    def __init__(self, wall, cpu, rss_kib, rc, output):
        self.wall = wall
        self.cpu = cpu  # user + system seconds of the command and its children
        self.rss_kib = rss_kib
        self.rc = rc
        self.output = output


def run_measured(argv, cwd=None, timeout=3600, capture=True):
    """Runs argv with stdin from /dev/null; returns a Run (output = stdout+stderr as text).

    The command runs under GNU time, which reports its peak resident set size: a process forked
    from this (large) interpreter would start with the interpreter's high-water mark."""
    out = tempfile.TemporaryFile() if capture else open(os.devnull, "wb")
    rss_file = tempfile.NamedTemporaryFile(prefix="rss-", delete=False)
    rss_file.close()
    try:
        start = time.perf_counter()
        proc = subprocess.Popen([GNU_TIME, "-f", "%M %U %S", "-o", rss_file.name, "--"] + argv,
                                cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)
        try:
            proc.wait(timeout)
            killed = False
        except subprocess.TimeoutExpired:
            proc.kill()  # still running, so its id is still ours
            proc.wait()
            killed = True
        wall = time.perf_counter() - start
        rc = proc.returncode
        rss_kib, cpu = 0, 0.0
        with open(rss_file.name) as f:
            for line in f:
                fields = line.split()
                if line.startswith("Command exited with non-zero status"):
                    rc = int(fields[-1])
                elif len(fields) == 3 and fields[0].isdigit():
                    rss_kib, cpu = int(fields[0]), float(fields[1]) + float(fields[2])
        text = ""
        if capture:
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if killed:
            text += "\n[killed after %d s]" % timeout
            rc = rc or -9
        return Run(wall, cpu, rss_kib, rc, text)
    finally:
        out.close()
        os.unlink(rss_file.name)


def tail(text, lines=6):
    return "\n".join(text.rstrip().splitlines()[-lines:])


def drop_dirty_pages():
    # Write back what earlier runs left dirty so it is not charged to the next timed run.
    os.sync()


class CaseResult:
    def __init__(self, number, title):
        self.number = number
        self.title = title
        self.project = []
        self.peer = []
        self.error = None  # text shown instead of numbers
        self.notes = []

    def pair_ratios(self):
        return [p.wall / q.wall for p, q in zip(self.project, self.peer) if q.wall > 0]


def alternate(result, runs, project, peer, label_project, label_peer):
    """Runs project() and peer() runs times each, alternating which goes first.

    Each callable returns a Run or raises BenchError. Stops the case at the first failure."""
    for i in range(runs):
        order = [(project, result.project, label_project), (peer, result.peer, label_peer)]
        if peer is None:
            order = order[:1]
        elif i % 2 == 1:
            order.reverse()
        for fn, bucket, label in order:
            r = fn(i)
            bucket.append(r)
            log("   run %d/%d %-9s %8.3f s wall %8.3f s cpu %8.1f MiB" % (
                i + 1, runs, label, r.wall, r.cpu, r.rss_kib / 1024.0))


class BenchError(Exception):
    pass


def check(run, ok, what):
    if run.rc != 0 or not ok:
        raise BenchError("%s failed (exit %d): %s" % (what, run.rc, tail(run.output, 4)))
    return run


# ---------------------------------------------------------------------------------------------
# Data


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MiB)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def random_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 4 * MiB)
            f.write(os.urandom(n))
            left -= n


def text_pool(rng, size):
    """Text-like bytes: lines of words from a small vocabulary (compresses about 3:1)."""
    letters = "abcdefghijklmnopqrstuvwxyz_"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 10))) for _ in range(512)]
    words += ["{", "}", "(", ");", "=", "return", "if", "0", "1", "->", "//"]
    out = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(words, k=rng.randint(3, 14))) + "\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def release_sizes(rng, count, total):
    """count sizes summing to total: mostly small files, a few large ones (log-normal)."""
    raw = [rng.lognormvariate(0, 1.6) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(r * scale)) for r in raw]
    sizes[0] += total - sum(sizes)
    if sizes[0] < 1:
        # Rounding took more than the first file has: take it from the largest instead.
        big = max(range(count), key=lambda i: sizes[i])
        sizes[big] += sizes[0] - 1
        sizes[0] = 1
    return sizes


def write_pack(src_path, pack_path):
    """zlib stream of the whole file (the same bytes zlib's one-shot compress makes)."""
    comp = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION)
    h_file = hashlib.sha256()
    h_pack = hashlib.sha256()
    os.makedirs(os.path.dirname(pack_path), exist_ok=True)
    with open(src_path, "rb") as src, open(pack_path, "wb") as dst:
        while True:
            block = src.read(4 * MiB)
            if not block:
                break
            h_file.update(block)
            out = comp.compress(block)
            h_pack.update(out)
            dst.write(out)
        out = comp.flush()
        h_pack.update(out)
        dst.write(out)
    return h_file.hexdigest(), h_pack.hexdigest()


def write_document(path, port, entries):
    """Update-information document (version 2, one group selected by default)."""
    lines = [
        '<?xml version="1.0"?>',
        '<update_info version="2">',
        '  <info AppName="Bench" Author="bench" URL="http://127.0.0.1:%d/" '
        'FileBase="http://127.0.0.1:%d/packs/"/>' % (port, port),
        '  <groups>',
        '    <group name="base" dispName="Base" desc="Everything" default="1" defaultgrp="1"/>',
        '  </groups>',
        '  <files>',
    ]
    for e in entries:
        lines.append('    <file file="%s" size="%d" modes="420" url="%s" group="base" key="" '
                     'sha="%s" packsha="%s"/>' % (e["rel"], e["size"], e["rel"] + ".z", e["sha"],
                                                 e["packsha"]))
    lines += ['  </files>', '</update_info>', '']
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def write_big_document(path, port, count):
    """A document of count file records in 1,000 directories (nothing of it is served)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write('<?xml version="1.0"?>\n<update_info version="2">\n'
                '  <info AppName="Big" Author="bench" URL="http://127.0.0.1:%d/" '
                'FileBase="http://127.0.0.1:%d/packs/"/>\n  <groups>\n'
                '    <group name="base" dispName="Base" desc="Everything" default="1" '
                'defaultgrp="1"/>\n  </groups>\n  <files>\n' % (port, port))
        lines = []
        for i in range(count):
            h = hashlib.sha256(b"%d" % i).hexdigest()
            rel = "d%03d/sub%02d/file%06d.dat" % (i % 1000, i % 37, i)
            lines.append('    <file file="%s" size="%d" modes="420" url="%s.z" group="base" '
                         'key="" sha="%s" packsha="%s"/>\n' % (rel, i * 7 + 1, rel, h, h[::-1]))
            if len(lines) == 10000:
                f.write("".join(lines))
                lines = []
        f.write("".join(lines))
        f.write("  </files>\n</update_info>\n")


class Data:
    """Everything the cases read, made once per scratch directory (reused when it matches)."""

    def __init__(self, work, scale):
        self.work = work
        self.scale = scale
        self.big_size = max(MiB, int(GiB * scale))
        self.file_count = max(10, int(round(10000 * scale)))
        self.release_total = max(self.file_count * 1024, int(GiB * scale))
        self.www = os.path.join(work, "www")
        self.release_root = os.path.join(self.www, "release")  # served on port A
        self.bigrel_root = os.path.join(self.www, "bigrel")  # served on port B
        self.big = os.path.join(self.release_root, "files", "big.bin")
        self.old_big = os.path.join(work, "old-big.bin")
        self.tree = os.path.join(work, "tree")
        self.manifest_path = os.path.join(work, "manifest.json")
        self.manifest = None
        self.small_root = os.path.join(self.www, "small")  # 2,000 small files (case 9)
        self.small_count = max(20, int(round(2000 * scale)))
        self.small = []
        self.huge_root = os.path.join(self.www, "huge")  # 500,000-record document (case 10)
        self.huge_count = max(1000, int(round(500000 * scale)))

    def prepare(self):
        stamp = {"scale": self.scale, "big": self.big_size, "count": self.file_count,
                 "total": self.release_total, "layout": 1}
        if os.path.exists(self.manifest_path):
            with open(self.manifest_path) as f:
                m = json.load(f)
            if m.get("stamp") == stamp:
                log("== reusing prepared data in %s" % self.work)
                self.manifest = m
                return
        log("== preparing data in %s" % self.work)
        for d in (self.www, self.tree, self.old_big):
            if os.path.isdir(d):
                shutil.rmtree(d)
        os.makedirs(os.path.dirname(self.big), exist_ok=True)
        t0 = time.time()
        random_file(self.big, self.big_size)
        big_sha, big_packsha = write_pack(self.big, os.path.join(self.bigrel_root, "packs",
                                                                  "big.bin.z"))
        # The installed copy the update replaces: same size, different bytes.
        random_file(self.old_big, self.big_size)
        log("   %s big file and its pack (%.0f s)" % (human(self.big_size), time.time() - t0))

        t0 = time.time()
        rng = random.Random(3)
        pool = text_pool(rng, 8 * MiB)
        pool2 = pool + pool
        sizes = release_sizes(rng, self.file_count, self.release_total)
        entries = []
        for i, size in enumerate(sizes):
            binary = rng.random() < 0.4  # images, archives: incompressible
            rel = "d%02d/f%05d.%s" % (i % 100, i, "bin" if binary else "txt")
            path = os.path.join(self.tree, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                if binary:
                    f.write(rng.randbytes(size))
                else:
                    left = size
                    while left > 0:
                        n = min(left, len(pool))
                        off = rng.randrange(len(pool))
                        f.write(pool2[off:off + n])
                        left -= n
            sha, packsha = write_pack(path, os.path.join(self.release_root, "packs", rel + ".z"))
            entries.append({"rel": rel, "size": size, "sha": sha, "packsha": packsha})
        log("   release of %d files, %s, and its packs (%.0f s)" % (
            len(entries), human(sum(sizes)), time.time() - t0))
        self.manifest = {"stamp": stamp, "files": entries,
                         "big": {"rel": "big.bin", "size": self.big_size, "sha": big_sha,
                                 "packsha": big_packsha}}
        with open(self.manifest_path, "w") as f:
            json.dump(self.manifest, f)

    def prepare_extra(self, small, huge):
        """The small-file release of case 9 and the big document of case 10 (made each run)."""
        if small:
            rng = random.Random(9)
            self.small = []
            for i in range(self.small_count):
                rel = "s%02d/small%04d.txt" % (i % 20, i)
                path = os.path.join(self.small_root, "tree", rel)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(rng.randbytes(rng.randint(512, 8192)))
                sha, packsha = write_pack(path, os.path.join(self.small_root, "packs",
                                                             rel + ".z"))
                self.small.append({"rel": rel, "size": os.path.getsize(path), "sha": sha,
                                   "packsha": packsha})
            log("   small-file release of %d files" % len(self.small))
        if huge:
            self.huge_doc = os.path.join(self.huge_root, CHANNEL)

    def write_documents(self, port_release, port_big, port_small, port_huge, proxy_port=None):
        write_document(os.path.join(self.release_root, CHANNEL), port_release,
                       self.manifest["files"])
        write_document(os.path.join(self.bigrel_root, CHANNEL), port_big, [self.manifest["big"]])
        if self.small:
            write_document(os.path.join(self.small_root, CHANNEL), proxy_port or port_small,
                           self.small)
        if getattr(self, "huge_doc", None):
            write_big_document(self.huge_doc, port_huge, self.huge_count)

    @property
    def files(self):
        return self.manifest["files"]

    @property
    def release_bytes(self):
        return sum(e["size"] for e in self.files)


def human(n):
    if n >= GiB:
        return "%.2f GiB" % (n / GiB)
    return "%.1f MiB" % (n / MiB)


# ---------------------------------------------------------------------------------------------
# nginx


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Nginx:
    """One nginx process (no master) serving each root on its own loopback port."""

    def __init__(self, work, roots):
        self.dir = os.path.join(work, "nginx")
        os.makedirs(self.dir, exist_ok=True)
        self.ports = [free_port() for _ in roots]
        self.proc = None
        servers = "".join(
            "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }\n" % (port, root)
            for port, root in zip(self.ports, roots))
        conf = ("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                + ("user root root;\n" if os.geteuid() == 0 else "")
                + "pid %s/nginx.pid;\nerror_log %s/error.log;\n" % (self.dir, self.dir)
                + "events { worker_connections 256; }\n"
                + "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                + "  keepalive_requests 1000000;\n  default_type application/octet-stream;\n"
                + "".join("  %s_temp_path %s/%s;\n" % (k, self.dir, k)
                          for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                + servers + "}\n")
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)

    def start(self):
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self.proc = subprocess.Popen(
            [nginx, "-c", self.conf, "-p", self.dir, "-e", os.path.join(self.dir, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not all(wait_port(p, 10) for p in self.ports):
            self.stop()
            with open(os.path.join(self.dir, "error.log"), errors="replace") as f:
                raise BenchError("nginx did not start: " + f.read()[-500:])

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


# ---------------------------------------------------------------------------------------------
# Cases


class Bench:
    def __init__(self, args, work, data):
        self.bin = args.bin
        self.runs = args.runs
        self.work = work
        self.data = data
        self.port_release = None
        self.port_big = None
        self.inst = os.path.join(work, "inst")  # up-to-date installation of the release
        self.installed_ok = False

    def program(self, name):
        path = os.path.join(self.bin, name)
        return path if os.access(path, os.X_OK) else None

    def updater_argv(self, port, directory):
        return [self.program("updater"), "--server", "127.0.0.1:%d" % port, "-d", directory]

    def run_updater(self, port, directory):
        # Run inside the installation, as a user would: the group states (".updater.ini") and
        # the temporary document are kept in the working directory.
        return run_measured(self.updater_argv(port, directory), cwd=directory)

    def fresh_dir(self, path):
        if os.path.isdir(path):
            shutil.rmtree(path)
        os.makedirs(path)

    # 1 -----------------------------------------------------------------------------------
    def case_download(self):
        d = self.data
        res = CaseResult(1, "download %s (updater-fetch vs curl -o)" % human(d.big_size))
        fetch = self.program("updater-fetch")
        if not fetch:
            res.error = "not built yet (updater-fetch)"
            return res
        url = "http://127.0.0.1:%d/files/big.bin" % self.port_release
        out = os.path.join(self.work, "out", "big.bin")
        os.makedirs(os.path.dirname(out), exist_ok=True)
        want = d.manifest["big"]["sha"]

        def prep():
            if os.path.exists(out):
                os.remove(out)
            drop_dirty_pages()

        def verify(run, what, i):
            ok = os.path.exists(out) and os.path.getsize(out) == d.big_size
            if ok and i == 0:
                ok = sha256_file(out) == want
            return check(run, ok, what)

        def project(i):
            prep()
            return verify(run_measured([fetch, url, out]), "updater-fetch", i)

        def peer(i):
            prep()
            return verify(run_measured(["curl", "-sS", "--fail", "-o", out, url]), "curl", i)

        try:
            alternate(res, self.runs, project, peer, "fetch", "curl")
        except BenchError as e:
            res.error = str(e)
        if os.path.exists(out):
            os.remove(out)
        return res

    # 2 -----------------------------------------------------------------------------------
    def case_hash(self):
        d = self.data
        res = CaseResult(2, "SHA-256 of %s (hash_file vs openssl dgst)" % human(d.big_size))
        prog = self.program("bench-hashfile")
        if not prog:
            res.error = "not built yet (hash_file)"
            return res
        want = d.manifest["big"]["sha"]
        sha256_file(d.big)  # into the page cache for both sides

        def project(i):
            r = run_measured([prog, "sha256", d.big])
            return check(r, r.output.split()[:1] == [want], "hash_file")

        def peer(i):
            r = run_measured(["openssl", "dgst", "-sha256", d.big])
            return check(r, r.output.strip().endswith(want), "openssl dgst")

        try:
            alternate(res, self.runs, project, peer, "hash", "openssl")
        except BenchError as e:
            res.error = str(e)
        return res

    # install used by cases 3 and 4 ---------------------------------------------------------
    def verify_install(self, directory):
        for e in self.data.files:
            path = os.path.join(directory, e["rel"])
            if not os.path.isfile(path) or sha256_file(path) != e["sha"]:
                return "%s missing or wrong after install" % e["rel"]
        return None

    def ready_installed(self, res):
        """True when the updater is built and self.inst is installed; else res.error says why."""
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return False
        problem = self.ensure_installed()
        if problem:
            res.error = problem
            return False
        return True

    def ensure_installed(self):
        """Makes self.inst an up-to-date installation, with the updater itself."""
        if self.installed_ok:
            return None
        self.fresh_dir(self.inst)
        r = self.run_updater(self.port_release, self.inst)
        if r.rc != 0 or "Update Complete!" not in r.output:
            return "first install failed (exit %d): %s" % (r.rc, tail(r.output, 4))
        problem = self.verify_install(self.inst)
        if problem:
            return problem
        self.installed_ok = True
        return None

    # 3 -----------------------------------------------------------------------------------
    def case_uptodate(self):
        d = self.data
        res = CaseResult(3, "up-to-date check, %d files, %s (updater vs sha256sum)" % (
            len(d.files), human(d.release_bytes)))
        if not self.ready_installed(res):
            return res
        rels = [e["rel"] for e in d.files]

        def project(i):
            r = self.run_updater(self.port_release, self.inst)
            return check(r, "Nothing to be done" in r.output, "updater check")

        def peer(i):
            r = run_measured(["sha256sum", "--"] + rels, cwd=self.inst, capture=False)
            return check(r, True, "sha256sum")

        try:
            alternate(res, self.runs, project, peer, "updater", "sha256sum")
        except BenchError as e:
            res.error = str(e)
        return res

    # 4 -----------------------------------------------------------------------------------
    def case_install(self):
        d = self.data
        res = CaseResult(4, "full install, %d files, %s (updater vs curl + sha256sum)" % (
            len(d.files), human(d.release_bytes)))
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return res
        problem = self.ensure_installed()  # the peer hashes this installation
        if problem:
            res.error = problem
            return res
        target = os.path.join(self.work, "inst4")
        packs = os.path.join(self.work, "packs-curl")
        cfg = os.path.join(self.work, "curl-packs.cfg")
        with open(cfg, "w") as f:
            for e in d.files:
                f.write('url = "http://127.0.0.1:%d/packs/%s.z"\noutput = "%s/%s.z"\n' % (
                    self.port_release, e["rel"], packs, os.path.basename(e["rel"])))
        script = os.path.join(self.work, "curl-and-sha256sum.sh")
        with open(script, "w") as f:
            f.write('set -e\ncurl -sS --fail -K "%s"\ncd "%s"\nexec sha256sum -- %s >/dev/null\n'
                    % (cfg, self.inst, " ".join(e["rel"] for e in d.files)))

        def project(i):
            self.fresh_dir(target)
            drop_dirty_pages()
            r = self.run_updater(self.port_release, target)
            check(r, "Update Complete!" in r.output, "updater install")
            if i == 0:
                problem = self.verify_install(target)
                if problem:
                    raise BenchError(problem)
            return r

        def peer(i):
            self.fresh_dir(packs)
            drop_dirty_pages()
            r = run_measured(["sh", script])
            return check(r, len(os.listdir(packs)) == len(d.files), "curl + sha256sum")

        try:
            alternate(res, self.runs, project, peer, "updater", "curl+sum")
        except BenchError as e:
            res.error = str(e)
        for p in (target, packs):
            if os.path.isdir(p):
                shutil.rmtree(p)
        return res

    # 5 -----------------------------------------------------------------------------------
    def case_memory(self):
        d = self.data
        res = CaseResult(5, "peak memory updating one %s file (updater)" % human(d.big_size))
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return res
        target = os.path.join(self.work, "inst5")
        installed = os.path.join(target, "big.bin")

        def project(i):
            self.fresh_dir(target)
            shutil.copyfile(d.old_big, installed)
            drop_dirty_pages()
            r = self.run_updater(self.port_big, target)
            ok = "Update Complete!" in r.output and os.path.getsize(installed) == d.big_size
            if ok and i == 0:
                ok = sha256_file(installed) == d.manifest["big"]["sha"]
            return check(r, ok, "updater update")

        try:
            alternate(res, self.runs, project, None, "updater", None)
        except BenchError as e:
            res.error = str(e)
        if os.path.isdir(target):
            shutil.rmtree(target)
        return res

    # 6 -----------------------------------------------------------------------------------
    def case_publish(self):
        d = self.data
        res = CaseResult(6, "publish %d files, %s (updater-publish vs tar -czf)" % (
            len(d.files), human(d.release_bytes)))
        pub = self.program("updater-publish")
        if not pub:
            res.error = "not built yet (updater-publish)"
            return res
        out = os.path.join(self.work, "published")
        tgz = os.path.join(self.work, "tree.tgz")

        def project(i):
            if os.path.isdir(out):
                shutil.rmtree(out)
            drop_dirty_pages()
            r = run_measured(publish_argv(pub, d.tree, out))
            return check(r, os.path.isdir(out), "updater-publish")

        def peer(i):
            if os.path.exists(tgz):
                os.remove(tgz)
            drop_dirty_pages()
            r = run_measured(["tar", "-czf", tgz, "-C", d.tree, "."])
            return check(r, os.path.exists(tgz), "tar -czf")

        try:
            alternate(res, self.runs, project, peer, "publish", "tar")
        except BenchError as e:
            res.error = str(e)
        if res.project and res.peer:
            mb = d.release_bytes / 1e6
            res.notes.append("throughput: updater-publish %.1f MB/s, tar -czf %.1f MB/s" % (
                mb / statistics.median(r.wall for r in res.project),
                mb / statistics.median(r.wall for r in res.peer)))
        for p in (out, tgz):
            if os.path.isdir(p):
                shutil.rmtree(p)
            elif os.path.exists(p):
                os.remove(p)
        return res

    # helpers of cases 7 to 10 -------------------------------------------------------------
    def updater_supports(self, option):
        """True when the built updater's usage screen names option."""
        if not hasattr(self, "_usage"):
            self._usage = run_measured([self.program("updater"), "--help"]).output
        return option in self._usage

    def start_proxy(self, target_port):
        self.stop_proxy()
        port_file = os.path.join(self.work, "proxy.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.proxy = subprocess.Popen(
            [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                          "latency_proxy.py"),
             "--target-port", str(target_port), "--delay-ms", str(PROXY_DELAY_MS),
             "--port-file", port_file], stdin=subprocess.DEVNULL)
        deadline = time.time() + 20
        while time.time() < deadline and not os.path.exists(port_file):
            time.sleep(0.05)
        if not os.path.exists(port_file):
            self.stop_proxy()
            raise BenchError("latency proxy did not start")
        with open(port_file) as f:
            return int(f.read())

    def stop_proxy(self):
        proxy = getattr(self, "proxy", None)
        if proxy and proxy.poll() is None:
            proxy.terminate()
            try:
                proxy.wait(10)
            except subprocess.TimeoutExpired:
                proxy.kill()
                proxy.wait()
        self.proxy = None

    def extra_runs(self, res, label, fn):
        """Times fn (returns a Run) self.runs times; adds its median as a note."""
        runs = []
        for i in range(self.runs):
            r = fn(i)
            runs.append(r)
            log("   run %d/%d %-9s %8.3f s wall %8.3f s cpu %8.1f MiB" % (
                i + 1, self.runs, label, r.wall, r.cpu, r.rss_kib / 1024.0))
        med = statistics.median(r.wall for r in runs)
        ratio = statistics.median(p.wall / q.wall for p, q in zip(res.project, runs) if q.wall > 0)
        res.notes.append("%s: median %.3f s, cpu %.2f s; project/%s ratio %.3f" % (
            label, med, statistics.median(r.cpu for r in runs), label, ratio))

    # 7 -----------------------------------------------------------------------------------
    def case_quick_check(self):
        d = self.data
        res = CaseResult(7, "up-to-date check, %d files, %s (updater vs rsync quick check)" % (
            len(d.files), human(d.release_bytes)))
        if not self.ready_installed(res):
            return res
        # Let the racy window of the last installed files pass, then one run records them.
        time.sleep(2.5)
        r = self.run_updater(self.port_release, self.inst)
        if "Nothing to be done" not in r.output:
            res.error = "warm-up run failed: " + tail(r.output, 4)
            return res
        copy = os.path.join(self.work, "inst-copy")
        if os.path.isdir(copy):
            shutil.rmtree(copy)
        subprocess.run(["cp", "-a", self.inst, copy], check=True)

        def project(i):
            r = self.run_updater(self.port_release, self.inst)
            return check(r, "Nothing to be done" in r.output, "updater check")

        def peer(i):
            r = run_measured(["rsync", "-a", "--dry-run", "--itemize-changes",
                              self.inst + "/", copy + "/"])
            # Directory times may differ (the runs keep their state in tmp/updater); no file may.
            return check(r, not any(line[1:2] == "f" for line in r.output.splitlines()),
                         "rsync --dry-run")

        try:
            alternate(res, self.runs, project, peer, "updater", "rsync")
        except BenchError as e:
            res.error = str(e)
        shutil.rmtree(copy, ignore_errors=True)
        return res

    # 8 -----------------------------------------------------------------------------------
    def case_verify(self):
        d = self.data
        res = CaseResult(8, "--verify, %d files, %s (all cores vs one hashing thread)" % (
            len(d.files), human(d.release_bytes)))
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return res
        if not self.updater_supports("--verify") or not self.updater_supports("--hash-threads"):
            res.error = "not built yet (updater --verify --hash-threads)"
            return res
        if not self.ready_installed(res):
            return res
        rels = [e["rel"] for e in d.files]
        base = self.updater_argv(self.port_release, self.inst) + ["--verify"]

        def project(i):
            r = run_measured(base, cwd=self.inst)
            return check(r, "Nothing to be done" in r.output, "updater --verify")

        def peer(i):
            r = run_measured(base + ["--hash-threads", "1"], cwd=self.inst)
            return check(r, "Nothing to be done" in r.output, "updater --verify, one thread")

        def sha256sum(i):
            r = run_measured(["sha256sum", "--"] + rels, cwd=self.inst, capture=False)
            return check(r, True, "sha256sum")

        try:
            alternate(res, self.runs, project, peer, "verify", "1 thread")
            self.extra_runs(res, "sha256sum", sha256sum)
        except BenchError as e:
            res.error = str(e)
        return res

    # 9 -----------------------------------------------------------------------------------
    def case_latency(self):
        d = self.data
        res = CaseResult(9, "first install, %d small files, %d ms each way (updater vs curl"
                         " --parallel 4 + sha256sum)" % (len(d.small), PROXY_DELAY_MS))
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return res
        proxy = self.start_proxy(self.port_small)
        write_document(os.path.join(d.small_root, CHANNEL), proxy, d.small)
        target = os.path.join(self.work, "inst9")
        packs = os.path.join(self.work, "packs9")
        tree = os.path.join(d.small_root, "tree")
        cfg = os.path.join(self.work, "curl-small.cfg")
        with open(cfg, "w") as f:
            for e in d.small:
                f.write('url = "http://127.0.0.1:%d/packs/%s.z"\noutput = "%s/%s.z"\n' % (
                    proxy, e["rel"], packs, os.path.basename(e["rel"])))
        script = os.path.join(self.work, "curl-parallel-and-sha256sum.sh")
        with open(script, "w") as f:
            f.write('set -e\ncurl -sS --fail --parallel --parallel-max 4 -K "%s"\ncd "%s"\n'
                    'exec sha256sum -- %s >/dev/null\n'
                    % (cfg, tree, " ".join(e["rel"] for e in d.small)))
        parallel = self.updater_supports("--parallel")

        def install(extra, what):
            self.fresh_dir(target)
            r = run_measured(self.updater_argv(proxy, target) + extra, cwd=target)
            check(r, "Update Complete!" in r.output, what)
            for e in d.small[:: max(1, len(d.small) // 50)]:
                if sha256_file(os.path.join(target, e["rel"])) != e["sha"]:
                    raise BenchError("%s: %s wrong after install" % (what, e["rel"]))
            return r

        def project(i):
            return install(["--parallel", "4"] if parallel else [], "updater install")

        def peer(i):
            self.fresh_dir(packs)
            r = run_measured(["sh", script])
            return check(r, len(os.listdir(packs)) == len(d.small), "curl --parallel")

        try:
            alternate(res, self.runs, project, peer, "updater", "curl -Z")
            if parallel:
                self.extra_runs(res, "serial", lambda i: install(["--parallel", "1"],
                                                                 "updater --parallel 1"))
            else:
                res.notes.append("this updater fetches one pack at a time over HTTP/1.0:"
                                 " its figure is the serial one")
        except BenchError as e:
            res.error = str(e)
        self.stop_proxy()
        for p in (target, packs):
            shutil.rmtree(p, ignore_errors=True)
        return res

    # 10 ----------------------------------------------------------------------------------
    def case_big_document(self):
        d = self.data
        res = CaseResult(10, "parse + plan of a %d-record document (updater --list)" %
                         d.huge_count)
        if not self.program("updater"):
            res.error = "not built yet (updater)"
            return res
        target = os.path.join(self.work, "inst10")
        self.fresh_dir(target)
        size = os.path.getsize(d.huge_doc)

        def project(i):
            extra = ["--list"]
            if self.updater_supports("--max-info-size"):
                extra += ["--max-info-size", str(size + 1)]
            r = run_measured(self.updater_argv(self.port_huge, target) + extra, cwd=target,
                             capture=False)
            return check(r, True, "updater --list")

        try:
            alternate(res, self.runs, project, None, "updater", None)
            res.notes.append("document: %s" % human(size))
        except BenchError as e:
            res.error = str(e)
        shutil.rmtree(target, ignore_errors=True)
        return res


def publish_argv(program, tree, out):
    return [program, "publish", tree, out, "--site-url", "http://127.0.0.1/", "--quiet"]


# ---------------------------------------------------------------------------------------------
# Table


def target_text(number):
    kind, limit = TARGETS[number]
    if kind == "rss_time":
        return "<= %d MiB, %.0f s" % limit
    return ("ratio <= %.2f" % limit) if kind == "ratio" else ("peak <= %d MiB" % limit)


def verdict(res):
    kind, limit = TARGETS[res.number]
    if kind == "ratio":
        ratios = res.pair_ratios()
        if not ratios:
            return None, "-"
        ratio = statistics.median(ratios)
        return ratio, "yes" if ratio <= limit else "NO"
    peak = max(r.rss_kib for r in res.project) / 1024.0
    if kind == "rss_time":
        wall = statistics.median(r.wall for r in res.project)
        return None, "yes" if peak <= limit[0] and wall <= limit[1] else "NO"
    return None, "yes" if peak <= limit else "NO"


def print_table(results, scale, runs):
    log("")
    log("Results (scale %g, %d runs per side): median wall time, median CPU time (user+system),"
        " peak resident memory" % (scale, runs))
    head = "%-67s %9s %9s %6s %8s %8s %8s %8s  %-15s %s" % (
        "case", "project", "peer", "ratio", "proj cpu", "peer cpu", "proj MiB", "peer MiB",
        "target", "met")
    log(head)
    log("-" * len(head))

    def med(runs_, attr):
        return statistics.median(getattr(r, attr) for r in runs_)

    for res in results:
        title = "%d. %s" % (res.number, res.title)
        if res.error or not res.project:
            log("%-67s %s" % (title, res.error or "no runs"))
            continue
        ratio, met = verdict(res)
        peer = res.peer
        log("%-67s %8.3fs %9s %6s %7.2fs %8s %8.1f %8s  %-15s %s" % (
            title, med(res.project, "wall"),
            "%8.3fs" % med(peer, "wall") if peer else "-",
            "%.3f" % ratio if ratio is not None else "-",
            med(res.project, "cpu"),
            "%7.2fs" % med(peer, "cpu") if peer else "-",
            max(r.rss_kib for r in res.project) / 1024.0,
            "%8.1f" % (max(r.rss_kib for r in peer) / 1024.0) if peer else "-",
            target_text(res.number), met))
        if peer:
            cpu_ratios = [p.cpu / q.cpu for p, q in zip(res.project, peer) if q.cpu > 0]
            if cpu_ratios:
                log("%-67s CPU-time ratio (median of pairs): %.3f" % (
                    "", statistics.median(cpu_ratios)))
        for note in res.notes:
            log("%-67s %s" % ("", note))
    log("")
    log("Ratio: median of the pairwise project/peer wall-time ratios. Machine: %d CPU(s); on a"
        " shared machine wall times are noisy, CPU times less so." % os.cpu_count())


# ---------------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bin", required=True, help="directory of the built programs")
    args = ap.parse_args()
    scale = float(os.environ.get("BENCH_SCALE", "1"))
    args.runs = max(1, int(os.environ.get("BENCH_RUNS", "5")))
    cases = [int(c) for c in os.environ.get("BENCH_CASES", "1 2 3 4 5 6 7 8 9 10").split()]
    if scale <= 0:
        sys.exit("BENCH_SCALE must be positive")

    keep = os.environ.get("BENCH_KEEP") == "1"
    work = os.environ.get("BENCH_WORKDIR")
    if work:
        os.makedirs(work, exist_ok=True)
        keep = True
    else:
        base = os.environ.get("BENCH_TMPDIR") or None
        work = tempfile.mkdtemp(prefix="updater-bench-", dir=base)
    work = os.path.abspath(work)

    # Stop cleanly (servers, scratch data) on Ctrl-C and on termination.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    nginx = None
    bench = None
    results = []
    try:
        data = Data(work, scale)
        data.prepare()
        if any(c in cases for c in (9, 10)):
            data.prepare_extra(9 in cases, 10 in cases)
        nginx = Nginx(work, [data.release_root, data.bigrel_root, data.small_root,
                             data.huge_root])
        data.write_documents(*nginx.ports)
        nginx.start()
        log("== nginx on 127.0.0.1:%d (release), :%d (one big file), :%d (small files),"
            " :%d (big document)" % tuple(nginx.ports))
        bench = Bench(args, work, data)
        bench.port_release, bench.port_big, bench.port_small, bench.port_huge = nginx.ports
        table = {1: bench.case_download, 2: bench.case_hash, 3: bench.case_uptodate,
                 4: bench.case_install, 5: bench.case_memory, 6: bench.case_publish,
                 7: bench.case_quick_check, 8: bench.case_verify, 9: bench.case_latency,
                 10: bench.case_big_document}
        for number in cases:
            log("== case %d" % number)
            res = table[number]()
            if res.error:
                log("   " + res.error)
            results.append(res)
        print_table(results, scale, args.runs)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    except BenchError as e:
        log("bench: %s" % e)
        return 1
    finally:
        if nginx:
            nginx.stop()
        if bench is not None:
            bench.stop_proxy()
        if keep:
            log("scratch data kept in %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
