#!/usr/bin/env python3
"""Delta benchmark: the project's patches against bsdiff, xdelta3 and zstd on real releases.

Started by bench/delta_run.sh after it has built build-bench/. Fetches two versions of Debian
packages with `apt-get download PACKAGE=VERSION`, unpacks them with `dpkg-deb -x` into two
release trees, and then, on every file that differs between the trees:

  * makes a patch with each tool (timed), checks that applying it gives the new file, and times
    the apply (median of the runs, peak resident memory by GNU time);
  * publishes both trees as two releases with `updater-publish publish`, installs the first with
    the updater and counts the bytes the update to the second downloads with patches and without
    (`--list` of the real updater against the real site, then the update itself).

Prints one table per measure and the targets. Nothing here is part of the test suite.
"""

import argparse
import functools
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import free_port, log, run_measured, wait_port  # noqa: E402

PACKAGES = ["libssl3", "openssl"]
OLD_VERSION = "3.0.17-1~deb12u2"
NEW_VERSION = "3.0.22-1~deb12u2"


# ---------------------------------------------------------------------------------------------
# The peer tools: (name, make argv, apply argv), each taking old, new/patch and output paths.

def tools(bin_dir):
    publish = os.path.join(bin_dir, "updater-publish")
    return [
        ("ours", lambda o, n, p: [publish, "diff", "--quiet", o, n, p],
         lambda o, p, n: [publish, "apply", o, p, n]),
        # The same format without going through the contents of gzip files.
        ("ours --no-gzip", lambda o, n, p: [publish, "diff", "--quiet", "--no-gzip", o, n, p],
         lambda o, p, n: [publish, "apply", o, p, n]),
        ("bsdiff", lambda o, n, p: ["bsdiff", o, n, p],
         lambda o, p, n: ["bspatch", o, n, p]),
        ("xdelta3 -9", lambda o, n, p: ["xdelta3", "-9", "-D", "-R", "-f", "-e", "-s", o, n, p],
         lambda o, p, n: ["xdelta3", "-D", "-R", "-f", "-d", "-s", o, p, n]),
        ("zstd -19 --long=27", lambda o, n, p: ["zstd", "-q", "-f", "-19", "--long=27",
                                                "--patch-from=" + o, n, "-o", p],
         lambda o, p, n: ["zstd", "-q", "-f", "-d", "--long=27", "--patch-from=" + o, p,
                          "-o", n]),
    ]


# ---------------------------------------------------------------------------------------------
# The releases


def available_versions(package):
    out = subprocess.run(["apt-cache", "madison", package], capture_output=True, text=True).stdout
    return [line.split("|")[1].strip() for line in out.splitlines() if "|" in line]


def pick_versions():
    """The wanted pair when both versions can be downloaded; otherwise the closest pair that can
    (oldest and newest the archive offers for every package), said aloud."""
    offered = [set(available_versions(p)) for p in PACKAGES]
    if all(OLD_VERSION in o and NEW_VERSION in o for o in offered):
        return OLD_VERSION, NEW_VERSION
    common = sorted(set.intersection(*offered), key=functools.cmp_to_key(compare_versions))
    if len(common) < 2:
        sys.exit("the archive offers no two versions of %s in common" % ", ".join(PACKAGES))
    log("note: %s -> %s is not downloadable; using %s -> %s instead"
        % (OLD_VERSION, NEW_VERSION, common[0], common[-1]))
    return common[0], common[-1]


def compare_versions(a, b):
    if a == b:
        return 0
    lower = subprocess.run(["dpkg", "--compare-versions", a, "lt", b]).returncode == 0
    return -1 if lower else 1


def fetch_tree(work, version):
    """Downloads the packages of version and unpacks them into one tree; returns its path."""
    debs = os.path.join(work, "debs")
    os.makedirs(debs, exist_ok=True)
    tree = os.path.join(work, "release-" + version)
    if os.path.isdir(tree):
        return tree
    for p in PACKAGES:
        name = "%s_%s_amd64.deb" % (p, version.replace(":", "%3a"))
        if not os.path.exists(os.path.join(debs, name)):
            subprocess.run(["apt-get", "download", "%s=%s" % (p, version)], cwd=debs, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.makedirs(tree + ".tmp", exist_ok=True)
    for f in sorted(os.listdir(debs)):
        if f.endswith("_%s_amd64.deb" % version.replace(":", "%3a")):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, f), tree + ".tmp"], check=True)
    # Links to absolute places (/etc/ssl/...) belong to the system, not to the release.
    for root, dirs, files in os.walk(tree + ".tmp"):
        for name in dirs + files:
            path = os.path.join(root, name)
            if os.path.islink(path) and os.readlink(path).startswith("/"):
                os.unlink(path)
    os.rename(tree + ".tmp", tree)
    return tree


def changed_files(old_tree, new_tree):
    """Relative names of regular files in both trees whose contents differ."""
    out = []
    for root, _, files in os.walk(new_tree):
        for name in files:
            new = os.path.join(root, name)
            rel = os.path.relpath(new, new_tree)
            old = os.path.join(old_tree, rel)
            if os.path.islink(new) or not os.path.isfile(old) or os.path.islink(old):
                continue
            with open(old, "rb") as a, open(new, "rb") as b:
                if a.read() != b.read():
                    out.append(rel)
    return sorted(out)


# ---------------------------------------------------------------------------------------------
# Patches


def measure_patches(bin_dir, old_tree, new_tree, files, runs, scratch):
    """{tool: {file: dict(bytes, make, apply, rss_kib)}} with median times. The tools take turns
    on each file, so that a change in the machine's load falls on all of them alike."""
    results = {name: {} for name, _, _ in tools(bin_dir)}
    patch = os.path.join(scratch, "patch")
    out = os.path.join(scratch, "out")
    for rel in files:
        old, new = os.path.join(old_tree, rel), os.path.join(new_tree, rel)
        times = {name: ([], [], [0]) for name in results}
        for _ in range(runs):
            for name, make, apply in tools(bin_dir):
                make_times, apply_times, rss = times[name]
                r = run_measured(make(old, new, patch))
                if r.rc != 0:
                    sys.exit("%s failed on %s:\n%s" % (name, rel, r.output))
                make_times.append(r.wall)
                size = os.path.getsize(patch)
                r = run_measured(apply(old, patch, out))
                if r.rc != 0:
                    sys.exit("%s could not apply its patch for %s:\n%s" % (name, rel, r.output))
                apply_times.append(r.wall)
                rss[0] = max(rss[0], r.rss_kib)
                if subprocess.run(["cmp", "-s", out, new]).returncode != 0:
                    sys.exit("%s's patch for %s gave another file" % (name, rel))
                results[name][rel] = dict(bytes=size, make=0, apply=0, rss_kib=0)
        for name, (make_times, apply_times, rss) in times.items():
            results[name][rel].update(make=statistics.median(make_times),
                                      apply=statistics.median(apply_times), rss_kib=rss[0])
    return results


# ---------------------------------------------------------------------------------------------
# The update


def total_to_download(text):
    for line in text.splitlines():
        if line.startswith("Total to download:"):
            return int(line.split()[3])
    return None


def read_records(path):
    """{file name: <file> element} of a document."""
    root = ET.parse(path).getroot()
    return {e.get("file"): e for e in root.find("files")}


def measure_update(bin_dir, old_tree, new_tree, work):
    publish = os.path.join(bin_dir, "updater-publish")
    updater = os.path.join(bin_dir, "updater")
    site, inst, cwd = (os.path.join(work, d) for d in ("site", "inst", "work"))
    for d in (site, inst, cwd):
        shutil.rmtree(d, ignore_errors=True)
    os.makedirs(inst)
    os.makedirs(cwd)
    port = free_port()
    url = "http://127.0.0.1:%d/" % port
    res = {}
    r = run_measured([publish, "publish", old_tree, site, "--site-url", url, "--quiet"])
    if r.rc != 0:
        sys.exit("publishing the old release failed:\n" + r.output)
    server = subprocess.Popen([publish, "serve", site, "--port", str(port), "--quiet"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_port(port, 10):
            sys.exit("updater-publish serve did not start")
        args = [updater, "--server", "127.0.0.1:%d" % port, "-d", inst]
        r = run_measured(args, cwd=cwd)
        if r.rc != 0:
            sys.exit("installing the old release failed:\n" + r.output)
        r = run_measured([publish, "publish", new_tree, site, "--site-url", url])
        if r.rc != 0:
            sys.exit("publishing the new release failed:\n" + r.output)
        res["publish"] = r.wall
        res["publish_note"] = [l for l in r.output.splitlines() if l.startswith("Patches:")]
        with_list = run_measured(args + ["--list"], cwd=cwd)
        without_list = run_measured(args + ["--list", "--no-delta"], cwd=cwd)
        res["with"] = total_to_download(with_list.output)
        res["without"] = total_to_download(without_list.output)
        r = run_measured(args, cwd=cwd)
        if r.rc != 0:
            sys.exit("the update failed:\n" + r.output)
        res["update_wall"] = r.wall
        res["patched"] = sum(1 for l in r.output.splitlines() if "Patched " in l)
        res["fallbacks"] = sum(1 for l in r.output.splitlines() if "downloading the full pack" in l)
        diff = subprocess.run(["diff", "-r", "-q", "-x", "tmp", inst, new_tree],
                              capture_output=True, text=True)
        res["identical"] = all(l.startswith("Only in " + new_tree) for l in
                               diff.stdout.splitlines())
    finally:
        server.terminate()
        server.wait()
    # Every pack of the new release, as a client installing it from nothing would fetch, and
    # the bytes of the update split between files that are gzip-compressed already (where a
    # small change rewrites the whole file) and the rest.
    old_docs = sorted(os.listdir(os.path.join(site, "history")))
    old = read_records(os.path.join(site, "history", old_docs[0]))
    new = read_records(os.path.join(site, "updates", "kestrl5-full-debian9.x86_64.info"))
    res["all_packs"] = sum(int(e.get("packsize")) for e in new.values())
    res["split"] = {}
    for name, e in new.items():
        if name in old and old[name].get("sha") == e.get("sha"):
            continue
        kind = "gzip-compressed (.gz)" if name.endswith(".gz") else "other files"
        full = int(e.get("packsize"))
        got = full
        for p in e.findall("patch"):
            if name in old and p.get("from") == old[name].get("sha"):
                got = int(p.get("packsize"))
        t = res["split"].setdefault(kind, [0, 0, 0])
        t[0] += 1
        t[1] += full
        t[2] += got
    return res


# ---------------------------------------------------------------------------------------------
# Report


def human(n):
    return "%.1f KiB" % (n / 1024.0) if n < 1 << 20 else "%.2f MiB" % (n / float(1 << 20))


def report(results, files, new_tree, update, versions, runs):
    names = list(results)
    log("")
    log("Releases: %s %s -> %s (%d changed files, %s new bytes); %d runs per measure"
        % (" + ".join(PACKAGES), versions[0], versions[1], len(files),
           human(sum(os.path.getsize(os.path.join(new_tree, f)) for f in files)), runs))
    big = [f for f in files if os.path.getsize(os.path.join(new_tree, f)) >= 100 * 1024]
    log("")
    log("| File | Size | " + " | ".join(names) + " |")
    log("|---|---:|" + "---:|" * len(names))
    for f in big:
        row = [results[n][f]["bytes"] for n in names]
        log("| %s | %s | %s |" % (f, human(os.path.getsize(os.path.join(new_tree, f))),
                                  " | ".join("{:,}".format(b) for b in row)))
    log("")
    log("| Tool | Patch bytes (all files) | Make (s, sum of medians) | Apply (s, sum) "
        "| Apply, files >= 100 KiB (s) | Apply peak RSS (MiB) | Largest file: make / apply (s) |")
    log("|---|---:|---:|---:|---:|---:|---:|")
    largest = max(files, key=lambda f: os.path.getsize(os.path.join(new_tree, f)))
    totals = {}
    for n in names:
        t = dict(bytes=sum(v["bytes"] for v in results[n].values()),
                 make=sum(v["make"] for v in results[n].values()),
                 apply=sum(v["apply"] for v in results[n].values()),
                 apply_big=sum(results[n][f]["apply"] for f in big),
                 rss=max(v["rss_kib"] for v in results[n].values()) / 1024.0)
        totals[n] = t
        log("| %s | {:,} | %.2f | %.2f | %.3f | %.1f | %.2f / %.3f |".format(t["bytes"])
            % (n, t["make"], t["apply"], t["apply_big"], t["rss"], results[n][largest]["make"],
               results[n][largest]["apply"]))
    log("")
    log("Update of the installed old release to the new one (real updater, real site):")
    log("  publish of the new release: %.2f s; %s" % (update["publish"],
                                                     "; ".join(update["publish_note"])))
    log("  to download with patches:    {:,} bytes".format(update["with"]))
    log("  to download without patches: {:,} bytes (full packs of the changed files)"
        .format(update["without"]))
    log("  all packs of the new release: {:,} bytes".format(update["all_packs"]))
    log("  update: %.2f s, %d files patched, %d fallbacks, result identical to the new tree: %s"
        % (update["update_wall"], update["patched"], update["fallbacks"], update["identical"]))
    for kind, (count, full, got) in sorted(update["split"].items()):
        log("  %s: %d changed, full packs {:,} bytes, downloaded {:,} bytes (%.1f %%)"
            .format(full, got) % (kind, count, 100.0 * got / full))
    ours, bs = totals["ours"], totals["bsdiff"]
    share = update["with"] / float(update["without"])
    checks = [
        ("patch bytes <= bsdiff's", ours["bytes"] <= bs["bytes"],
         "{:,} vs {:,}".format(ours["bytes"], bs["bytes"])),
        ("apply time <= bspatch's, files >= 100 KiB", ours["apply_big"] <= bs["apply_big"],
         "%.3f s vs %.3f s" % (ours["apply_big"], bs["apply_big"])),
        ("apply time <= bspatch's, all files (process start-up included)",
         ours["apply"] <= bs["apply"], "%.2f s vs %.2f s" % (ours["apply"], bs["apply"])),
        ("update downloads <= 25 % of full packs", share <= 0.25, "%.1f %%" % (100 * share)),
        ("diff time <= 2 x bsdiff's", ours["make"] <= 2 * bs["make"],
         "%.2f s vs %.2f s" % (ours["make"], bs["make"])),
    ]
    log("")
    log("| Target | Measured | Met |")
    log("|---|---|---|")
    for what, ok, measured in checks:
        log("| %s | %s | %s |" % (what, measured, "yes" if ok else "NO"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    args = ap.parse_args()
    runs = int(os.environ.get("BENCH_RUNS", "3"))
    keep = os.environ.get("BENCH_WORKDIR")
    work = keep or tempfile.mkdtemp(prefix="delta-bench-", dir=os.environ.get("BENCH_TMPDIR"))
    os.makedirs(work, exist_ok=True)
    try:
        log("== fetching and unpacking the releases in %s" % work)
        versions = pick_versions()
        old_tree, new_tree = (fetch_tree(work, v) for v in versions)
        files = changed_files(old_tree, new_tree)
        scratch = os.path.join(work, "scratch")
        os.makedirs(scratch, exist_ok=True)
        log("== patches for %d changed files, %d runs each" % (len(files), runs))
        start = time.time()
        results = measure_patches(args.bin, old_tree, new_tree, files, runs, scratch)
        log("   (%.0f s)" % (time.time() - start))
        log("== publishing both releases and updating from one to the other")
        update = measure_update(args.bin, old_tree, new_tree, work)
        report(results, files, new_tree, update, versions, runs)
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
