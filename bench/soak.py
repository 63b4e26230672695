#!/usr/bin/env python3
"""The soak: many file transfers over devsim's spoiled link, each judged on both sides.

Run by bench/soak.sh, which builds the Release program and devsim first. Transfers of both modes
and both directions (PASEL get and put, KIVET read and write), of files from 0 bytes to 256 KB
and names of every length the protocols carry, run in batches: one batch is one run of the host
(pasel32 or kivet32) against one devsim that plays a script of up to --batch transfers, each
with its own spoiling of the link drawn from the seed, then a sound probe transfer. Batches run
--jobs at once.

Each transfer counts as byte-exact when a side says it succeeded and the receiver's copy equals
the sender's; as failed cleanly when neither side says it succeeded; as corrupted when a side
says it succeeded and the copy is wrong or missing. The device says it in devsim's report; the
host says a PASEL reception is complete with its "N bytes received" line (device text marks
each transfer on its console).

Between transfers the host's memory (RSS), descriptors and threads are read from /proc; growth
within one run of the host is a leak. A batch whose devsim stops reporting, whose probe fails,
or whose host does not end on SIGTERM is a hang. Exit status 1 when any transfer is corrupted
or a leak or hang is found. Only the standard library is used.
"""

import argparse
import math
import os
import queue
import random
import re
import shutil
import signal
import string
import subprocess
import sys
import tempfile
import threading
import time

KINDS = [("pasel", "get"), ("pasel", "put"), ("kivet", "read"), ("kivet", "write")]
KIND_LABEL = {("pasel", "get"): "PASEL get", ("pasel", "put"): "PASEL put",
              ("kivet", "read"): "KIVET read", ("kivet", "write"): "KIVET write"}
BLOCK_MAX = 128  # the largest block size the host takes; a larger request is capped
NAME_MAX = {"pasel": BLOCK_MAX - 6, "kivet": 255}  # a request's name fits block size + 2 bytes
MAX_SIZE = 256 * 1024
EDGE_SIZES = [0, MAX_SIZE, 1, 127, 128, 129, 250, 256, 257]  # the first transfers of each kind
NAME_CHARS = string.ascii_letters + string.digits + "_-"  # never '.', the name's separator
B36 = string.digits + string.ascii_lowercase
PROBE = "probe"  # the sound transfer at the end of each batch
PROBE_SIZE = 3000
STALL_S = 180  # a batch whose devsim reports nothing for this long hangs
TERM_S = 10  # the host ends within this after SIGTERM
# Growth within one host run, from after its first transfer to its end, taken as a leak.
RSS_LEAK_KB = 1024
FD_SLACK = 1  # a PASEL transfer file may stay open until the next request


# ---- the plan ---------------------------------------------------------------------------

def b36(n):
    s = ""
    while True:
        s = B36[n % 36] + s
        n //= 36
        if n == 0:
            return s


def draw_size(rng):
    roll = rng.random()
    if roll < 0.60:
        return int(math.exp(rng.uniform(0, math.log(4096))))  # 1 B .. 4 KB
    if roll < 0.93:
        return int(math.exp(rng.uniform(math.log(4096), math.log(64 * 1024))))
    return rng.randint(64 * 1024, MAX_SIZE)


def pasel_impairment(rng, frames):
    """The spoiling of one PASEL transfer of about `frames` frames each way: none, a harsh one
    for short transfers, or a few spoiled frames expected. Whole frames are dropped, duplicated
    or delayed; a corrupted frame has one byte changed."""
    roll = rng.random()
    if roll < 0.15:
        return None
    if roll < 0.30 and frames <= 40:
        total = rng.uniform(0.10, 0.30)
    else:
        total = min(0.20, rng.uniform(0.5, 4.0) / frames)
    weights = [rng.random() for _ in range(4)]
    drop, corrupt, dup, delay = (total * w / sum(weights) for w in weights)
    return {"drop": drop, "corrupt": corrupt, "dup": dup, "delay": delay,
            "delay_ms": rng.randint(5, 400), "seed": rng.randrange(1 << 31)}


def kivet_impairment(rng, units):
    """KIVET has no checksum and no resend: a spoiled byte is a wrong file or a stream out of
    step by design. Its transfers get delays only, single bytes held back on the way."""
    if rng.random() < 0.30:
        return None
    return {"delay": min(0.01, rng.uniform(1, 15) / units), "delay_ms": rng.randint(1, 40),
            "seed": rng.randrange(1 << 31)}


def impair_list(imp, mode):
    if imp is None:
        return "off"
    if mode == "kivet":
        return "bytes,delay=%.6g:%d,seed=%d" % (imp["delay"], imp["delay_ms"], imp["seed"])
    return "drop=%.6g,corrupt=%.6g,dup=%.6g,delay=%.6g:%d,seed=%d" % (
        imp["drop"], imp["corrupt"], imp["dup"], imp["delay"], imp["delay_ms"], imp["seed"])


def plan(n, seed, batch_size):
    rng = random.Random(seed)
    kinds = [KINDS[i % 4] for i in range(n)]
    rng.shuffle(kinds)
    lengths = {"pasel": [], "kivet": []}
    edges = {k: list(EDGE_SIZES) for k in KINDS}
    transfers = []
    for i, kind in enumerate(kinds):
        mode = kind[0]
        if not lengths[mode]:  # every allowed length once, in a shuffled order, then again
            lengths[mode] = list(range(1, NAME_MAX[mode] + 1))
            rng.shuffle(lengths[mode])
        size = edges[kind].pop(0) if edges[kind] else draw_size(rng)
        transfers.append({"index": i, "mode": mode, "dir": kind[1], "size": size,
                          "name_len": lengths[mode].pop(), "data_seed": rng.randrange(1 << 31),
                          "t1": rng.randint(250, 1000), "t2": rng.randint(250, 1000),
                          "wait": rng.randint(400, 1500), "bs_pick": rng.random(),
                          "imp_rng": rng.randrange(1 << 31)})
    batches = []
    for mode in ("pasel", "kivet"):
        mine = [t for t in transfers if t["mode"] == mode]
        for at in range(0, len(mine), batch_size):
            batches.append({"mode": mode, "transfers": mine[at:at + batch_size]})
    # PASEL and KIVET batches in turn, the larger ones first, so the jobs finish together.
    batches.sort(key=lambda b: -sum(t["size"] for t in b["transfers"]))
    for b in batches:
        lay_out(b)
    return transfers, batches


def lay_out(batch):
    """Names unique in the batch, device file names, block sizes and the spoiling. The host
    takes a frame of at most the last request's block size + 2 bytes, so a request's name must
    fit its own block size and the one before it: a transfer gets a small block size only when
    its name and the next one's fit."""
    used = {PROBE}
    ts = batch["transfers"]
    for k, t in enumerate(ts):
        rng = random.Random(t["imp_rng"])
        t["dev_name"] = "d%d" % k
        t["name"] = unique_name(t["name_len"], k, used, rng)
    prev_eff = BLOCK_MAX
    for k, t in enumerate(ts):
        rng = random.Random(t["imp_rng"])
        if batch["mode"] == "pasel":
            next_len = ts[k + 1]["name_len"] if k + 1 < len(ts) else len(PROBE)
            need = max(t["name_len"], next_len) + 6
            choices = [b for b in (16, 32, 64, 200) if min(b, BLOCK_MAX) >= need]
            t["bs"] = choices[int(t["bs_pick"] * len(choices))] if (
                t["bs_pick"] < 0.35 and choices) else BLOCK_MAX
            eff = min(t["bs"], BLOCK_MAX)
            assert t["name_len"] + 6 <= min(eff, prev_eff)
            prev_eff = eff
            frames = math.ceil(t["size"] / eff) + 3
            t["impair"] = pasel_impairment(rng, frames)
        else:
            units = 2 * t["size"] + 16 * (t["size"] // 250 + 3)
            t["impair"] = kivet_impairment(rng, units)


def unique_name(length, k, used, rng):
    prefix = b36(k)
    if length == len(prefix):
        candidate = prefix
    elif length > len(prefix):
        candidate = prefix + "." + "".join(rng.choice(NAME_CHARS)
                                           for _ in range(length - len(prefix) - 1))
    else:
        candidate = None
    if candidate is None or candidate in used:
        candidate = next(c for c in ("".join(rng.choice(NAME_CHARS) for _ in range(length))
                                     for _ in range(10000)) if c not in used and "." not in c)
    used.add(candidate)
    return candidate


def data_of(t):
    return random.Random(t["data_seed"]).randbytes(t["size"])


# ---- one batch --------------------------------------------------------------------------

def script_of(batch):
    """devsim's script: per transfer a mark on the host's console, the spoiling, the transfer
    (tried: a failure is reported and the script goes on), the sound line again and a settle
    (after a failure the device tells the host it gave up); then the probe. Returns the text
    and, for each transfer, the line of its transfer step and of its mark."""
    mode = batch["mode"]
    lines = ["mode %s" % mode]
    where = []
    for k, t in enumerate(batch["transfers"]):
        lines.append('send "\\r\\nsoak-mark %d\\r\\n"' % k)
        mark_line = len(lines)
        lines.append("impair " + impair_list(t["impair"], mode))
        if mode == "pasel":
            opts = "bs=%d t1=%d t2=%d wait=%d" % (t["bs"], t["t1"], t["t2"], t["wait"])
            if t["dir"] == "get":
                lines.append("try get %s %s as=%s" % (t["name"], opts, t["dev_name"]))
            else:
                lines.append("try put %s %s as=%s" % (t["dev_name"], opts, t["name"]))
        elif t["dir"] == "read":
            lines.append("try fetch %s as=%s" % (t["name"], t["dev_name"]))
        else:
            lines.append("try store %s as=%s" % (t["dev_name"], t["name"]))
        where.append((len(lines), mark_line))
        lines.append("impair off")
        lines.append("settle")
    lines.append('send "\\r\\nsoak-mark end\\r\\n"')
    end_line = len(lines)
    lines.append(("get %s as=%s" if mode == "pasel" else "fetch %s as=%s") % (PROBE, PROBE))
    lines.append("expect-file %s pc/%s" % (PROBE, PROBE))
    return "\n".join(lines) + "\n", where, end_line


def proc_sample(pid):
    """The host's RSS (KB), open descriptors and threads, or None once it is gone."""
    try:
        rss = threads = None
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                elif line.startswith("Threads:"):
                    threads = int(line.split()[1])
        fds = len(os.listdir("/proc/%d/fd" % pid))
        return {"rss": rss, "fds": fds, "threads": threads}
    except (OSError, ValueError):
        return None


class Batch:
    def __init__(self, number, batch, args, work):
        self.number = number
        self.batch = batch
        self.args = args
        self.dir = os.path.join(work, "batch%03d" % number)
        self.samples = []  # (mark, sample) in order
        self.problems = []  # hangs and leaks, in words
        self.results = []  # one per transfer
        self.spoiled = None  # devsim's "link spoiled" line
        self.reported = {}  # script line -> report text

    def run(self, on_transfer):
        mode = self.batch["mode"]
        pc = os.path.join(self.dir, "pc")
        dev = os.path.join(self.dir, "dev")
        os.makedirs(pc)
        os.makedirs(dev)
        for t in self.batch["transfers"]:
            path = os.path.join(pc if t["dir"] in ("get", "read") else dev,
                                t["name"] if t["dir"] in ("get", "read") else t["dev_name"])
            with open(path, "wb") as f:
                f.write(data_of(t))
        with open(os.path.join(pc, PROBE), "wb") as f:
            f.write(random.Random(self.number).randbytes(PROBE_SIZE))
        text, where, end_line = script_of(self.batch)
        with open(os.path.join(self.dir, "script.txt"), "w") as f:
            f.write(text)
        mark_of_line = {m: k for k, (_, m) in enumerate(where)}
        mark_of_line[end_line] = "end"
        transfer_of_line = {s: k for k, (s, _) in enumerate(where)}

        port_file = os.path.join(self.dir, "port")
        sim = subprocess.Popen(
            [os.path.join(self.args.build, "devsim"), "--mode", mode, "--dir", "dev",
             "--port-file", "port", "--script", "script.txt"],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        host = None
        host_out = open(os.path.join(self.dir, "host.out"), "wb")
        sim_out = open(os.path.join(self.dir, "devsim.out"), "wb")
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(port_file) and time.monotonic() < deadline:
                time.sleep(0.02)
            with open(port_file) as f:
                port = f.read().strip()
            host = subprocess.Popen(
                [os.path.join(self.args.build, "pasel32" if mode == "pasel" else "kivet32")] +
                (["/TRACE:../trace.txt"] if self.args.trace else []) + [port], cwd=pc, stdin=subprocess.DEVNULL, stdout=host_out,
                stderr=subprocess.STDOUT)
            lines = queue.Queue()
            def read():
                for raw in sim.stdout:
                    lines.put(raw)
                lines.put(None)
            threading.Thread(target=read, daemon=True).start()
            while True:
                try:
                    raw = lines.get(timeout=STALL_S)
                except queue.Empty:
                    self.problems.append("hang: devsim reported nothing for %d s" % STALL_S)
                    break
                if raw is None:
                    break
                sim_out.write(raw)
                line = raw.decode("utf-8", "replace").rstrip("\n")
                m = re.match(r"line (\d+): (.*)$", line)
                if m:
                    n = int(m.group(1))
                    self.reported[n] = m.group(2)
                    if n in mark_of_line:
                        s = proc_sample(host.pid)
                        if s:
                            self.samples.append((mark_of_line[n], s))
                    if n in transfer_of_line:
                        on_transfer()
                elif "link spoiled" in line:
                    self.spoiled = line
            if sim.poll() is None:
                sim.kill()
            rc = sim.wait()
            if rc != 0 and not self.problems:
                self.problems.append("hang: the host no longer served the device (devsim exit "
                                     "code %d): %s" % (rc, self.last_report()))
        finally:
            if host is not None:
                host.send_signal(signal.SIGTERM)
                try:
                    host.wait(TERM_S)
                except subprocess.TimeoutExpired:
                    self.problems.append("hang: the host did not end within %d s of SIGTERM"
                                         % TERM_S)
                    host.kill()
                    host.wait()
            if sim.poll() is None:
                sim.kill()
                sim.wait()
            host_out.close()
            sim_out.close()
        self.judge(where)
        self.check_leaks()

    def last_report(self):
        return self.reported[max(self.reported)] if self.reported else "nothing reported"

    def judge(self, where):
        with open(os.path.join(self.dir, "host.out"), "rb") as f:
            console = f.read()
        # The host's "N bytes received" lines, each under the mark of the transfer it ends.
        received = {}
        marks = [(m.start(), m.group(1).decode())
                 for m in re.finditer(rb"soak-mark (\d+|end)\r\n", console)]
        for m in re.finditer(rb"\r(\d+) bytes received, \d\d+:\d\d elapsed\n", console):
            under = [k for at, k in marks if at < m.start()]
            if under and under[-1] != "end":
                received.setdefault(int(under[-1]), []).append(int(m.group(1)))
        for k, t in enumerate(self.batch["transfers"]):
            report = self.reported.get(where[k][0], "")
            device_ok = report.endswith(", ok")
            host_ok = k in received
            dest = (os.path.join(self.dir, "dev", t["dev_name"]) if t["dir"] in ("get", "read")
                    else os.path.join(self.dir, "pc", t["name"]))
            try:
                with open(dest, "rb") as f:
                    exact = f.read() == data_of(t)
            except OSError:
                exact = False
            if host_ok and received[k] != [t["size"]]:
                exact = False  # the host counted other bytes, or said it twice
            if (device_ok or host_ok) and exact:
                outcome = "exact"
            elif device_ok or host_ok:
                outcome = "corrupted"
            else:
                outcome = "failed"
            self.results.append({"t": t, "outcome": outcome, "report": report,
                                 "device_ok": device_ok, "host_ok": host_ok})

    def check_leaks(self):
        if len(self.samples) < 2:
            if not self.problems:
                self.problems.append("no memory samples of the host")
            return
        base = self.samples[1][1] if len(self.samples) > 2 else self.samples[0][1]
        last = self.samples[-1][1]
        peak_fds = max(s["fds"] for _, s in self.samples[1:])
        if last["rss"] - base["rss"] > RSS_LEAK_KB:
            self.problems.append("leak: the host's RSS grew from %d KB to %d KB"
                                 % (base["rss"], last["rss"]))
        if last["fds"] > base["fds"] + FD_SLACK or peak_fds > base["fds"] + FD_SLACK + 1:
            self.problems.append("leak: the host's descriptors went from %d to %d (at most %d)"
                                 % (base["fds"], last["fds"], peak_fds))
        if last["threads"] != base["threads"]:
            self.problems.append("leak: the host's threads went from %d to %d"
                                 % (base["threads"], last["threads"]))


# ---- the run ----------------------------------------------------------------------------

class Progress:
    def __init__(self, total):
        self.total = total
        self.done = 0
        self.tty = sys.stdout.isatty()
        self.start = time.monotonic()
        self.lock = threading.Lock()
        self.last_plain = 0.0
        self.counts = {"exact": 0, "failed": 0, "corrupted": 0}

    def line(self):
        el = time.monotonic() - self.start
        left = el / self.done * (self.total - self.done) if self.done else 0
        return ("soak: %d/%d transfers, %d exact, %d failed cleanly, %d corrupted, %s elapsed, "
                "about %s left" % (self.done, self.total, self.counts["exact"],
                                   self.counts["failed"], self.counts["corrupted"], clock(el),
                                   clock(left)))

    def transfer(self):
        with self.lock:
            self.done += 1
            self.show()

    def judged(self, results):
        with self.lock:
            for r in results:
                self.counts[r["outcome"]] += 1
            self.show()

    def show(self, final=False):
        if self.tty:
            sys.stdout.write("\r" + self.line() + "\033[K" + ("\n" if final else ""))
            sys.stdout.flush()
        elif final or time.monotonic() - self.last_plain >= 30:
            self.last_plain = time.monotonic()
            print(self.line(), flush=True)


def clock(s):
    s = int(s)
    return "%d:%02d" % (s // 60, s % 60)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", required=True, help="folder with kivet32, pasel32 and devsim")
    ap.add_argument("--transfers", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=50, help="transfers per run of the host")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--trace", action="store_true",
                    help="each host writes a protocol trace (trace.txt in its batch folder)")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.transfers < 1 or args.jobs < 1 or args.batch < 1:
        ap.error("--transfers, --jobs and --batch take a number from 1")

    transfers, batches = plan(args.transfers, args.seed, args.batch)
    work = tempfile.mkdtemp(prefix="kivet-soak-")
    print("soak: %d transfers in %d runs of the host, %d at once, seed %d"
          % (args.transfers, len(batches), args.jobs, args.seed), flush=True)
    progress = Progress(args.transfers)
    todo = queue.Queue()
    for n, b in enumerate(batches):
        todo.put(Batch(n, b, args, work))
    finished = []
    errors = []

    def worker():
        while True:
            try:
                b = todo.get_nowait()
            except queue.Empty:
                return
            try:
                b.run(progress.transfer)
            except Exception as e:  # a broken batch is a failure of the soak, not a crash
                b.problems.append("batch %d: %s: %s" % (b.number, type(e).__name__, e))
                errors.append(e)
            progress.judged(b.results)
            finished.append(b)
            if not b.problems and not any(r["outcome"] == "corrupted" for r in b.results) \
                    and not args.keep:
                shutil.rmtree(b.dir, ignore_errors=True)

    start = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(min(args.jobs, len(batches)))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    elapsed = time.monotonic() - start
    progress.show(final=True)
    report(finished, transfers, elapsed, args, work)


def report(finished, transfers, elapsed, args, work):
    finished.sort(key=lambda b: b.number)
    results = [r for b in finished for r in b.results]
    problems = [p for b in finished for p in b.problems]
    rows = []
    for kind in KINDS:
        mine = [r for r in results if (r["t"]["mode"], r["t"]["dir"]) == kind]
        rows.append((KIND_LABEL[kind], len(mine),
                     sum(r["outcome"] == "exact" for r in mine),
                     sum(r["outcome"] == "failed" for r in mine),
                     sum(r["outcome"] == "corrupted" for r in mine),
                     sum(r["t"]["size"] for r in mine if r["outcome"] == "exact")))
    print()
    print("| mode and direction | transfers | byte-exact | failed cleanly | corrupted | bytes |")
    print("|---|---:|---:|---:|---:|---:|")
    for row in rows:
        print("| %s | %d | %d | %d | %d | %d |" % row)
    total = [sum(r[i] for r in rows) for i in range(1, 6)]
    print("| all | %d | %d | %d | %d | %d |" % tuple(total))
    print()
    for mode in ("pasel", "kivet"):
        lens = {t["name_len"] for t in transfers if t["mode"] == mode}
        sizes = [t["size"] for t in transfers if t["mode"] == mode]
        if sizes:
            print("%s: name lengths %d to %d (%d of the %d allowed), sizes %d B to %d B"
                  % (mode.upper(), min(lens), max(lens), len(lens), NAME_MAX[mode],
                     min(sizes), max(sizes)))
    for mode, unit in (("pasel", "frames"), ("kivet", "bytes")):
        spoiled = [0] * 10
        for b in finished:
            if b.spoiled and b.batch["mode"] == mode:
                nums = [int(x) for x in re.findall(r"(\d+) (?:units|dropped|corrupted|"
                                                    r"duplicated|delayed)", b.spoiled)]
                if len(nums) == 10:
                    spoiled = [a + n for a, n in zip(spoiled, nums)]
        print("%s link, device to host: %d %s spoilable, %d dropped, %d corrupted, "
              "%d duplicated, %d delayed; host to device: %d, %d dropped, %d corrupted, "
              "%d duplicated, %d delayed" % ((mode.upper(), spoiled[0], unit) + tuple(spoiled[1:])))
    samples = [(b, s) for b in finished for s in b.samples]
    if samples:
        first = finished[0].samples[0][1] if finished[0].samples else samples[0][1]
        last = next((b.samples[-1][1] for b in reversed(finished) if b.samples), first)
        def growth(key):
            return max((b.samples[-1][1][key] - b.samples[min(1, len(b.samples) - 1)][1][key]
                        for b in finished if b.samples), default=0)
        print("host: RSS first %d KB, last %d KB; descriptors first %d, last %d; threads first "
              "%d, last %d; largest growth in one run after its first transfer: RSS %d KB, "
              "descriptors %d, threads %d (%d samples in %d runs)"
              % (first["rss"], last["rss"], first["fds"], last["fds"], first["threads"],
                 last["threads"], growth("rss"), growth("fds"), growth("threads"), len(samples),
                 len(finished)))
    print("time: %s for %d transfers, %d at once on %d cores"
          % (clock(elapsed), len(results), args.jobs, os.cpu_count() or 0))
    reasons = {}
    for r in results:
        if not r["device_ok"]:
            why = r["report"].split(": failed: ", 1)[-1] or "no report"
            why = "%s (%s)" % (why, "host: received" if r["host_ok"] else "host: -")
            key = (KIND_LABEL[(r["t"]["mode"], r["t"]["dir"])], why)
            reasons[key] = reasons.get(key, 0) + 1
    for (kind, why), n in sorted(reasons.items()):
        print("device said failed: %s, %s: %d" % (kind, why, n))
    bad = [r for r in results if r["outcome"] == "corrupted"]
    for r in bad[:20]:
        t = r["t"]
        print("CORRUPTED: %s %s of %d bytes as %s (device %s, host %s): %s"
              % (t["mode"], t["dir"], t["size"], t["name"], "ok" if r["device_ok"] else "failed",
                 "received" if r["host_ok"] else "-", r["report"]))
    for p in problems:
        print("PROBLEM: " + p)
    if bad or problems or args.keep:
        print("work folder kept: " + work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    e = total[1]
    f = total[2]
    c = total[3]
    print("soak: %d transfers, %d byte-exact, %d failed cleanly, %d corrupted"
          % (len(results), e, f, c))
    sys.exit(1 if c or problems or len(results) != args.transfers else 0)


if __name__ == "__main__":
    main()
