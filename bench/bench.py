#!/usr/bin/env python3
"""The program's benchmarks: device text, transfers over a paced line, idle cost, key latency,
and the network port through ser2net.

Run by bench/run.sh, which builds the Release program, devsim and the pacing relay first. It
measures and prints; it never fails on a time. Every table shows medians over the rounds, and
every ratio is taken inside one round (both sides measured back to back) before the median.
Only the standard library is used.
"""

import argparse
import os
import platform
import random
import select
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

RATE = 11520.0  # bytes/s each way at 115200 baud, 8N1
LATENCY = 0.005  # one way, like a USB serial adapter
TEXT_LINE = 80  # printable bytes plus CR LF
LOG_WRAP = 75  # PASEL log: a wrap mark after this many characters without a CR
TRANSFER_SIZE = 256 * 1024
FRAME_END, FRAME_ESC = 0xC0, 0xDB


# ---- small helpers ------------------------------------------------------------------------

def pty_pair(raw=True):
    master, slave = os.openpty()
    if raw:
        tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def port_arg(path):
    # The program takes at most 7 characters; pts/N is looked up under /dev/.
    return path[len("/dev/"):] if path.startswith("/dev/") else path


def read_until(fd, needle, timeout):
    seen = b""
    end = time.monotonic() + timeout
    while needle not in seen:
        left = end - time.monotonic()
        if left <= 0:
            return False
        r, _, _ = select.select([fd], [], [], left)
        if r:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                return False
            if not chunk:
                return False
            seen += chunk
    return True


def wait_file(path, timeout):
    end = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def stop(proc, sig=signal.SIGTERM, timeout=5):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, sig) if getattr(proc, "own_group", False) else proc.send_signal(sig)
    except ProcessLookupError:
        return
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def spawn(args, group=False, **kw):
    p = subprocess.Popen(args, start_new_session=group, **kw)
    p.own_group = group
    return p


def median(xs):
    return statistics.median(xs) if xs else None


def p90(xs):
    s = sorted(xs)
    return s[min(len(s) - 1, int(round(0.9 * (len(s) - 1))))] if s else None


def fmt(x, form):
    return "-" if x is None else format(x, form)


def table(title, head, rows, after=()):
    out = ["", f"### {title}", "", "| " + " | ".join(head) + " |",
           "|" + "|".join("---" if i == 0 else "--:" for i in range(len(head))) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    if after:
        out += [""] + list(after)
    text = "\n".join(out)
    print(text, flush=True)
    return text


# ---- 1, 2: device text --------------------------------------------------------------------

def text_data(megabytes):
    lines = max(1, int(megabytes * 1024 * 1024) // TEXT_LINE)
    alphabet = bytes(range(0x21, 0x7F)) * 2
    body = TEXT_LINE - 2 - 8
    parts = []
    for i in range(lines):
        k = i % 94
        parts.append(b"%07d " % (i % 10000000) + alphabet[k:k + body] + b"\r\n")
    return b"".join(parts)


def pasel_log(data):
    """What the PASEL log holds for data: a wrap mark after 75 characters without a CR."""
    out = []
    for seg in data.split(b"\r"):
        pieces = [seg[i:i + LOG_WRAP] for i in range(0, len(seg), LOG_WRAP)]
        out.append(b"".join(p + b"!\r\n" if len(p) == LOG_WRAP else p for p in pieces))
    return b"\r".join(out)


class Tmux:
    def __init__(self, work):
        self.sock = os.path.join(work, "tmux.sock")

    def cmd(self, *args, **kw):
        return subprocess.run(["tmux", "-S", self.sock, "-f", "/dev/null"] + list(args),
                              capture_output=True, text=True, **kw)

    def start(self, shell_cmd, cwd):
        env = dict(os.environ, TERM="xterm-256color")
        self.cmd("new-session", "-d", "-x", "160", "-y", "48", "-c", cwd, shell_cmd, env=env)

    def screen(self):
        return self.cmd("capture-pane", "-p").stdout

    def kill(self):
        self.cmd("kill-server")


def time_log(log, expected_size, t0, stall=5.0, limit=None):
    """Seconds from t0 until log holds expected_size bytes; None if it stops growing short or
    takes longer than limit seconds (the third value then tells which)."""
    last, last_change = -1, time.monotonic()
    while True:
        try:
            size = os.stat(log).st_size
        except FileNotFoundError:
            size = 0
        now = time.monotonic()
        if size >= expected_size:
            return now - t0, size, ""
        if limit is not None and now - t0 > limit:
            return None, size, "timed out"
        if size != last:
            last, last_change = size, now
        elif now - last_change > stall:
            return None, size, "stopped"
        time.sleep(0.001)


# Other serial terminals, run on the same port at the same baud with a log file: quiet, no
# local echo, no character mapping. Each is quit with its own exit key (as bytes typed into a
# pty console, as tmux key names), then SIGTERM if that does not end it.
PEERS = ["picocom", "tio"]
PEER_LIMIT = 120.0  # seconds a peer row may take before it is marked as timed out


def peer_args(kind, port):
    if kind == "picocom":
        return ["picocom", "--quiet", "--baud", "115200", "--imap", "", "--omap", "",
                "--logfile", "bench.log", port]
    return ["tio", "--mute", "--baudrate", "115200", "--map", "", "--log", "--log-file",
            "bench.log", port]


PEER_QUIT = {"picocom": (b"\x01\x18", ["C-a", "C-x"]), "tio": (b"\x14q", ["C-t", "q"])}


def wait_open(pid, path, timeout):
    """Wait until process pid has path open (the peer has opened the port)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            return False
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                    return True
            except OSError:
                pass
        time.sleep(0.01)
    return False


def gone(pid, proc, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc is not None:
            if proc.poll() is not None:
                return True
        elif not os.path.exists(f"/proc/{pid}"):
            return True
        time.sleep(0.02)
    return False


def peer_quit(kind, pid, proc, tmux, keys_fd):
    """Quit a peer with its exit key; SIGTERM (then SIGKILL) if it is still there after 5 s.
    Returns a note when the key did not do it."""
    key_bytes, key_names = PEER_QUIT[kind]
    if tmux:
        tmux.cmd("send-keys", *key_names)
    else:
        os.write(keys_fd, key_bytes)
    if gone(pid, proc, 5):
        return ""
    if proc is not None:
        stop(proc)
    else:
        try:
            os.kill(pid, signal.SIGTERM)
            if not gone(pid, None, 5):
                os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return f"{kind} did not quit on its exit key"


def text_run(kind, console, mode, binaries, work, datafile, expected):
    """One row of one round: the seconds until the log is complete, or None with a note."""
    run = tempfile.mkdtemp(dir=work)
    log = os.path.join(run, "bench.log")
    dm, ds, dname = pty_pair()
    procs, note, prog_pid = [], "", None
    peer_pid, peer_proc, keys_fd = None, None, None
    tmux = Tmux(run) if console == "tmux" else None
    try:
        if kind == "program":
            prog = binaries["kivet32" if mode == "kivet" else "pasel32"]
            args = [prog, port_arg(dname), "115200", "bench.log"]
            if tmux:
                tmux.start("exec " + " ".join(args), run)
                end = time.monotonic() + 10
                while "Press <End>" not in tmux.screen() and time.monotonic() < end:
                    time.sleep(0.05)
                prog_pid = int(tmux.cmd("display", "-p", "#{pane_pid}").stdout.strip() or 0)
            else:
                cm, cs, _ = pty_pair(raw=False)
                p = spawn(args, cwd=run, stdin=cs, stdout=cs, stderr=cs)
                procs.append(p)
                prog_pid = p.pid
                os.close(cs)
                read_until(cm, b"Press <End>", 10)
                procs.append(spawn(["cat"], stdin=cm, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL))
                os.close(cm)
            time.sleep(0.3)  # the receive thread purges the line when it starts
            os.close(ds)
            ds = None
        elif kind in PEERS:
            # A user configuration file of the peer's must not change what it does.
            args = ["env", f"HOME={run}", f"XDG_CONFIG_HOME={run}"] + peer_args(kind, dname)
            if tmux:
                tmux.start("exec " + shlex.join(args), run)
                end = time.monotonic() + 10
                while not peer_pid and time.monotonic() < end:
                    out = tmux.cmd("display", "-p", "#{pane_pid}").stdout.strip()
                    peer_pid = int(out) if out.isdigit() else None
                    time.sleep(0.01)
            else:
                cm, cs, _ = pty_pair(raw=False)
                peer_proc = spawn(args, cwd=run, stdin=cs, stdout=cs, stderr=cs)
                procs.append(peer_proc)
                peer_pid = peer_proc.pid
                os.close(cs)
                procs.append(spawn(["cat"], stdin=cm, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL))
                keys_fd = cm  # kept open to type the exit key
            if not peer_pid or not wait_open(peer_pid, dname, 10):
                return None, f"{kind} did not open the port", None
            time.sleep(0.3)  # it sets the port up after opening it
        else:
            shell = f"exec cat {dname} > bench.log" if kind == "cat" else \
                f"cat {dname} | tee bench.log"
            if tmux:
                tmux.start(shell, run)
            elif kind == "cat":
                procs.append(spawn(["sh", "-c", shell], cwd=run, group=True))
            else:
                cm, cs, _ = pty_pair(raw=False)
                procs.append(spawn(["sh", "-c", shell], cwd=run, stdin=cs, stdout=cs,
                                   stderr=cs, group=True))
                os.close(cs)
                procs.append(spawn(["cat"], stdin=cm, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL))
                os.close(cm)
            time.sleep(0.3)
        t0 = time.monotonic()
        writer = spawn(["cat", datafile], stdout=dm)
        procs.append(writer)
        limit = PEER_LIMIT if kind in PEERS else None
        secs, size, why = time_log(log, len(expected), t0, limit=limit)
        cpu = proc_counts(prog_pid)[0] if prog_pid else None
        if why == "timed out":
            note = f"timed out after {limit:.0f} s at {size} of {len(expected)} bytes"
        elif secs is None:
            note = f"log stopped at {size} of {len(expected)} bytes"
        else:
            with open(log, "rb") as f:
                got = f.read()
            if got != expected:
                at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                          min(len(got), len(expected)))
                note = f"log differs from byte {at}"
                secs = None
        if peer_pid:
            quit_note = peer_quit(kind, peer_pid, peer_proc, tmux, keys_fd)
            note = note or quit_note
        return secs, note, cpu
    finally:
        for p in procs:
            stop(p)
        if tmux:
            tmux.kill()
        if keys_fd is not None:
            os.close(keys_fd)
        if ds is not None:
            os.close(ds)
        os.close(dm)
        shutil.rmtree(run, ignore_errors=True)


def bench_text(mode, builds, work, rounds, megabytes):
    """builds: (name, binaries) pairs, the program under test first, then any baseline."""
    data = text_data(megabytes)
    datafile = os.path.join(work, "text.bin")
    with open(datafile, "wb") as f:
        f.write(data)
    expected_prog = data if mode == "kivet" else pasel_log(data)
    consoles = ["pty"] + (["tmux"] if shutil.which("tmux") else [])
    peers = [p for p in PEERS if shutil.which(p)]
    left_out = [f"{p} not installed: its rows are left out" for p in PEERS if p not in peers]
    rows = [("cat > file", "cat", None, builds[0][1])]
    for c in consoles:
        label = "pty to /dev/null" if c == "pty" else "tmux pane"
        rows += [(f"{name}, {label}", "program", c, bins) for name, bins in builds]
        rows.append((f"cat \\| tee log, {label}", "tee", c, builds[0][1]))
        rows += [(f"{p}, {label}", p, c, builds[0][1]) for p in peers]
    times = {r[0]: [] for r in rows}
    cpus = {r[0]: [] for r in rows}
    ratios = {r[0]: [] for r in rows}
    notes = {}
    for rnd in range(rounds):
        got = {}
        for label, kind, console, bins in rows:
            expected = expected_prog if kind == "program" else data
            secs, note, cpu = text_run(kind, console, mode, bins, work, datafile, expected)
            got[label] = secs
            if cpu is not None and secs is not None:
                cpus[label].append(cpu)
            if secs is not None:
                times[label].append(secs)
            if note:
                notes[label] = note
        for label, kind, console, _ in rows:
            tee = got[[r[0] for r in rows if r[1] == "tee" and r[2] == console][0]] \
                if kind == "program" else None
            if tee is not None and got[label] is not None:
                ratios[label].append(got[label] / tee)
        print(f"  {mode} text round {rnd + 1}: " +
              ", ".join(f"{k} {fmt(v, '.3f')}" for k, v in got.items()), flush=True)
    out_rows = []
    mb = len(data) / 1e6
    for label, kind, console, _ in rows:
        t = median(times[label])
        out_rows.append([label, fmt(t, ".3f"), fmt(mb / t if t else None, ".1f"),
                         fmt(median(ratios[label]), ".2f"), fmt(median(cpus[label]), ".2f"),
                         notes.get(label, "")])
    title = ("1. Device text, KIVET mode with a log file" if mode == "kivet"
             else "2. Device text, PASEL mode with a wrapped log file")
    return table(f"{title} ({mb:.1f} MB, {rounds} rounds)",
                 ["row", "s", "MB/s", "program / tee (same round)", "program CPU s", "note"],
                 out_rows, left_out)


# ---- 3: transfers over a paced line -------------------------------------------------------

def slip_len(packet):
    chk = (-sum(packet)) & 0xFF
    body = list(packet) + [chk]
    return 2 + len(body) + sum(1 for b in body if b in (FRAME_END, FRAME_ESC))


def ceiling(kind, data, latency):
    """Payload / (line time) of the protocol's steady state: one block, its answer, a round trip
    of latency, at RATE each way. Start-up and end exchanges are left out (a few of 2000)."""
    turn = 2 * latency * RATE  # bytes the line could have carried meanwhile
    total = 0.0
    if kind in ("pasel get", "pasel put"):
        for i in range(0, len(data), 128):
            blk = (i // 128 + 1) & 0xFF
            total += slip_len(bytes([6, blk]) + data[i:i + 128])
            total += slip_len(bytes([7, (blk + 1) & 0xFF])) + turn
    elif kind == "kivet read":
        for i in range(0, len(data), 256):
            n = len(data[i:i + 256])
            total += 6 + 2 + n + 2 + turn
    else:
        for i in range(0, len(data), 250):
            n = len(data[i:i + 250])
            total += 6 + n + 2 + turn
    return len(data) / total


class RelayProbe:
    """Round trips of one byte through a relay of its own and an echo, taken every 50 ms while
    the transfers run, so that they see the same load as the transfers."""

    def __init__(self, relay, work):
        self.am, self.aslave, aname = pty_pair()
        self.namefile = os.path.join(work, "probe.name")
        self.relay = spawn([relay, aname, self.namefile, str(RATE), str(LATENCY * 1000)],
                           stdout=subprocess.PIPE)
        self.stopping = threading.Event()
        self.trips = []
        self.threads = [threading.Thread(target=f, daemon=True) for f in (self.echo, self.ping)]
        for t in self.threads:
            t.start()

    def echo(self):
        while not self.stopping.is_set():
            if select.select([self.am], [], [], 0.1)[0]:
                try:
                    os.write(self.am, os.read(self.am, 4096))
                except OSError:
                    return

    def ping(self):
        if not wait_file(self.namefile, 5):
            return
        with open(self.namefile) as f:
            h = os.open(f.read().strip(), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(h)
        time.sleep(0.2)
        while not self.stopping.is_set():
            t0 = time.perf_counter()
            os.write(h, b"x")
            if select.select([h], [], [], 2)[0]:
                os.read(h, 16)
                self.trips.append(time.perf_counter() - t0)
            time.sleep(0.05)
        os.close(h)

    def finish(self):
        self.stopping.set()
        for t in self.threads:
            t.join()
        stop(self.relay)
        self.relay.communicate()
        os.close(self.am)
        os.close(self.aslave)
        os.remove(self.namefile)
        return median(self.trips)


TRANSFERS = [
    ("pasel get", "pasel", "get big.bin\nexpect-file big.bin\n", "pc"),
    ("pasel put", "pasel", "put big.bin\nexpect-file big.bin\n", "device"),
    ("kivet read", "kivet", "fetch big.bin\nexpect-file big.bin\n", "pc"),
    ("kivet write", "kivet", "store big.bin\nexpect-file big.bin\n", "device"),
]


def transfer_start(kind, mode, script, side, binaries, work, data, via=None):
    """via: None for the program on the relay's port; else ser2net's chardelay (True or
    False), ser2net serving the relay's port and the program on its rfc2217:// port."""
    run = tempfile.mkdtemp(dir=work)
    pc, dev = os.path.join(run, "pc"), os.path.join(run, "pc", "device")
    os.makedirs(dev)
    with open(os.path.join(pc if side == "pc" else dev, "big.bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(run, "script"), "w") as f:
        f.write("sleep 500\n" + script)
    portfile, namefile = os.path.join(run, "port"), os.path.join(run, "name")
    st = {"kind": kind, "run": run}
    st["devsim"] = spawn([binaries["devsim"], "--mode", mode, "--dir", "device", "--port-file",
                          portfile, "--script", os.path.join(run, "script")], cwd=pc,
                         stdout=open(os.path.join(run, "devsim.out"), "w"),
                         stderr=subprocess.STDOUT)
    wait_file(portfile, 10)
    with open(portfile) as f:
        devport = f.read().strip()
    if not devport.startswith("/"):
        devport = "/dev/" + devport
    st["relay"] = spawn([binaries["relay"], devport, namefile, str(RATE), str(LATENCY * 1000)],
                        stdout=subprocess.PIPE, text=True)
    wait_file(namefile, 10)
    with open(namefile) as f:
        hostport = f.read().strip()
    prog = binaries["kivet32" if mode == "kivet" else "pasel32"]
    port = port_arg(hostport)
    if via is not None:
        st["ser2net"], tcp_port = ser2net_start(hostport, True, via, run)
        port = f"rfc2217://127.0.0.1:{tcp_port}"
    st["host"] = spawn([prog, port, "115200"], cwd=pc, stdin=subprocess.DEVNULL,
                       stdout=open(os.path.join(run, "host.out"), "w"),
                       stderr=subprocess.STDOUT)
    return st


def transfer_finish(st, timeout=600):
    try:
        code = st["devsim"].wait(timeout)
    except subprocess.TimeoutExpired:
        code = None
    stop(st["devsim"])
    out, _ = st["relay"].communicate(timeout=10)
    stop(st["host"])
    stop(st.get("ser2net"))
    with open(os.path.join(st["run"], "devsim.out")) as f:
        report = f.read()
    shutil.rmtree(st["run"], ignore_errors=True)
    fields = out.split()
    if code != 0 or len(fields) != 9:
        return None, f"devsim exit {code}: {report.strip().splitlines()[-1:]}", None
    first, last = int(fields[0]), int(fields[1])
    replies = (int(fields[5]) / 1e6, int(fields[6]) / 1e6, int(fields[7]) / 1e9,
               int(fields[8]) / 1e9)
    # The relay sees the first byte arrive one byte time and one latency after it was sent.
    return (last - first) / 1e9 + LATENCY + 1 / RATE, "", replies


def bench_transfers(binaries, work, rounds):
    data = random.Random(13).randbytes(TRANSFER_SIZE)
    effs = {k[0]: [] for k in TRANSFERS}
    of_cal = {k[0]: [] for k in TRANSFERS}
    trips, notes = [], {}
    host_reply = {k[0]: [] for k in TRANSFERS}
    dev_reply = {k[0]: [] for k in TRANSFERS}
    host_total = {k[0]: [] for k in TRANSFERS}
    dev_total = {k[0]: [] for k in TRANSFERS}
    for rnd in range(rounds):
        probe = RelayProbe(binaries["relay"], work)
        # The four run side by side, each on its own relay: they wait on the line, not the CPU.
        started = [transfer_start(k, m, s, side, binaries, work, data)
                   for k, m, s, side in TRANSFERS]
        done = [(st, transfer_finish(st)) for st in started]
        trip = probe.finish()
        trips.append(trip)
        cal_latency = (trip - 2 / RATE) / 2
        line = []
        for st, (secs, note, reply) in done:
            kind = st["kind"]
            if secs is None:
                notes[kind] = note
                line.append(f"{kind} failed")
                continue
            host_reply[kind].append(reply[0])
            dev_reply[kind].append(reply[1])
            host_total[kind].append(reply[2])
            dev_total[kind].append(reply[3])
            eff = len(data) / (secs * RATE)
            effs[kind].append(eff)
            of_cal[kind].append(eff / ceiling(kind, data, cal_latency))
            line.append(f"{kind} {secs:.2f} s {100 * eff:.1f} %")
        print(f"  transfers round {rnd + 1}: relay round trip {1000 * trip:.2f} ms; " +
              ", ".join(line), flush=True)
    trip = median(trips)
    cal_latency = (trip - 2 / RATE) / 2
    rows = []
    for kind, *_ in TRANSFERS:
        e = median(effs[kind])
        rows.append([kind, fmt(e and 100 * e, ".1f"),
                     fmt(100 * ceiling(kind, data, LATENCY), ".1f"),
                     fmt(100 * ceiling(kind, data, cal_latency), ".1f"),
                     fmt(median(of_cal[kind]) and 100 * median(of_cal[kind]), ".1f"),
                     fmt(median(host_reply[kind]), ".3f"), fmt(median(dev_reply[kind]), ".3f"),
                     fmt(median(host_total[kind]), ".2f"), fmt(median(dev_total[kind]), ".2f"),
                     notes.get(kind, "")])
    return table(f"3. Transfers of 256 KB at 115200 baud, 5 ms each way ({rounds} rounds; relay "
                 f"round trip of one byte meanwhile {1000 * trip:.2f} ms, ideal "
                 f"{1000 * (2 * LATENCY + 2 / RATE):.2f} ms)",
                 ["transfer", "efficiency %", "ceiling at 5 ms %", "ceiling, calibrated %",
                  "of calibrated ceiling %", "host reply ms", "device reply ms",
                  "host replies s", "device replies s", "note"], rows)


# ---- 6: the network port through ser2net ------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(ln.split()[1] == want and ln.split()[3] == "0A" for ln in list(f)[1:])


def ser2net_start(tty_path, telnet, chardelay, run):
    """ser2net in the foreground on 127.0.0.1 serving tty_path: the process and its port."""
    port = free_port()
    conf = os.path.join(run, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write("%YAML 1.1\n---\nconnection: &bench\n"
                f"    accepter: {'telnet(rfc2217),tcp' if telnet else 'tcp'},127.0.0.1,{port}\n"
                f"    connector: serialdev,{tty_path},115200n81,local\n"
                f"    options:\n      chardelay: {'true' if chardelay else 'false'}\n")
    proc = spawn([SER2NET, "-n", "-u", "-c", conf], stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    end = time.monotonic() + 10
    while not listening(port) and time.monotonic() < end and proc.poll() is None:
        time.sleep(0.01)
    return proc, port


SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"
TELNET_GREETING = 21  # what ser2net's telnet(rfc2217) accepter says first (7 commands)


def net_text_run(kind, telnet, binaries, work, datafile, data):
    """The seconds until the reader's log holds the device's text through ser2net, or None
    with a note. kind: "program" (kivet32 on the network port) or "socat" (into a file)."""
    run = tempfile.mkdtemp(dir=work)
    log = os.path.join(run, "bench.log")
    dm, ds, dname = pty_pair()
    procs, note = [], ""
    try:
        s2n, port = ser2net_start(dname, telnet, False, run)
        procs.append(s2n)
        if not listening(port):
            return None, "ser2net did not listen"
        url = f"{'rfc2217' if telnet else 'tcp'}://127.0.0.1:{port}"
        skip = 0
        if kind == "program":
            cm, cs, _ = pty_pair(raw=False)
            procs.append(spawn([binaries["kivet32"], url, "115200", "bench.log"], cwd=run,
                               stdin=cs, stdout=cs, stderr=cs))
            os.close(cs)
            read_until(cm, b"Press <End>", 10)
            procs.append(spawn(["cat"], stdin=cm, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL))
            os.close(cm)
        else:
            procs.append(spawn(["socat", "-u", f"TCP:127.0.0.1:{port}", f"CREATE:{log}"]))
            skip = TELNET_GREETING if telnet else 0  # telnet commands it does not answer
        time.sleep(0.3)  # connected and set up
        t0 = time.monotonic()
        procs.append(spawn(["cat", datafile], stdout=dm))
        secs, size, why = time_log(log, skip + len(data), t0)
        if secs is None:
            return None, f"log {why} at {size} of {skip + len(data)} bytes"
        with open(log, "rb") as f:
            got = f.read()[skip:]
        if got != data:
            return None, "log differs from the text"
        return secs, note
    finally:
        for p in procs:
            stop(p)
        os.close(ds)
        os.close(dm)
        shutil.rmtree(run, ignore_errors=True)


def no_ser2net(title):
    return table(title, ["row"], [], ["ser2net not installed (scripts/setup.sh): left out"])


def bench_net_text(binaries, work, rounds, megabytes):
    if not os.path.exists(SER2NET):
        return no_ser2net("6a. Device text through ser2net")
    data = text_data(megabytes)
    datafile = os.path.join(work, "net-text.bin")
    with open(datafile, "wb") as f:
        f.write(data)
    readers = ["program"] + (["socat"] if shutil.which("socat") else [])
    rows = [(t, k) for t in (True, False) for k in readers]
    times = {r: [] for r in rows}
    ratios = {t: [] for t in (True, False)}
    notes = {}
    for rnd in range(rounds):
        got = {}
        for telnet, kind in rows:
            secs, note = net_text_run(kind, telnet, binaries, work, datafile, data)
            got[(telnet, kind)] = secs
            if secs is not None:
                times[(telnet, kind)].append(secs)
            if note:
                notes[(telnet, kind)] = note
        for telnet in (True, False):
            prog, sock = got.get((telnet, "program")), got.get((telnet, "socat"))
            if prog and sock:
                ratios[telnet].append(sock / prog)
        print(f"  network text round {rnd + 1}: " + ", ".join(
            f"{'rfc2217' if t else 'tcp'} {k} {fmt(v, '.3f')}" for (t, k), v in got.items()),
            flush=True)
    mb = len(data) / 1e6
    out = []
    for telnet, kind in rows:
        t = median(times[(telnet, kind)])
        label = (f"program, {'rfc2217://' if telnet else 'tcp://'}" if kind == "program"
                 else f"socat into a file, {'telnet(rfc2217)' if telnet else 'tcp'} port")
        out.append([label, fmt(t, ".3f"), fmt(mb / t if t else None, ".1f"),
                    fmt(median(ratios[telnet]), ".2f") if kind == "program" else "-",
                    notes.get((telnet, kind), "")])
    after = [] if "socat" in readers else ["socat not installed: its rows are left out"]
    return table(f"6a. Device text through ser2net on loopback, KIVET mode with a log file "
                 f"({mb:.1f} MB, chardelay false, {rounds} rounds)",
                 ["row", "s", "MB/s", "program / socat (same round)", "note"], out, after)


def bench_net_transfer(binaries, work, rounds):
    """A PASEL get at 115200 baud on the paced line, the relay's port served by ser2net, beside
    the same get on the relay's port itself; the three run side by side."""
    if not os.path.exists(SER2NET):
        return no_ser2net("6b. A PASEL get through ser2net")
    tdata = random.Random(13).randbytes(TRANSFER_SIZE)
    kind, mode, script, side = TRANSFERS[0]
    vias = [None, False, True]
    secs = {v: [] for v in vias}
    rel = {v: [] for v in vias}
    tnotes = {}
    for rnd in range(rounds):
        started = [(v, transfer_start(kind, mode, script, side, binaries, work, tdata, via=v))
                   for v in vias]
        done = {v: transfer_finish(st) for v, st in started}
        local = done[None][0]
        for v in vias:
            t, note, _ = done[v]
            if t is None:
                tnotes[v] = note
                continue
            secs[v].append(t)
            if local:
                rel[v].append(t / local)
        print(f"  network transfer round {rnd + 1}: " + ", ".join(
            f"{v} {fmt(done[v][0], '.2f')}" for v in vias), flush=True)
    trows = []
    for v in vias:
        t = median(secs[v])
        label = ("pasel get, local port" if v is None else
                 f"pasel get, through ser2net, chardelay {'default' if v else 'false'}")
        trows.append([label, fmt(t, ".2f"),
                      fmt(t and 100 * len(tdata) / (t * RATE), ".1f"),
                      fmt(median(rel[v]) and 100 * (median(rel[v]) - 1), "+.2f")
                      if v is not None else "-", tnotes.get(v, "")])
    return table(f"6b. A PASEL get of 256 KB at 115200 baud, 5 ms each way, through ser2net "
                 f"({rounds} rounds)",
                 ["transfer", "s", "efficiency %", "time over local (same round) %", "note"],
                 trows)


# ---- 4: idle ------------------------------------------------------------------------------

def proc_counts(pid):
    switches = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/status") as f:
            for ln in f:
                if ln.startswith("voluntary_ctxt_switches"):
                    switches[int(tid)] = int(ln.split()[1])
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return cpu, switches


def bench_idle(builds, work, rounds, seconds):
    rows = []
    for (name, binaries), mode in [(b, m) for b in builds for m in ("kivet", "pasel")]:
        cpus, rates, per_thread = [], [], []
        for _ in range(rounds):
            run = tempfile.mkdtemp(dir=work)
            dm, ds, dname = pty_pair()
            cm, cs, _ = pty_pair(raw=False)
            p = spawn([binaries["kivet32" if mode == "kivet" else "pasel32"], port_arg(dname),
                       "115200", "bench.log"], cwd=run, stdin=cs, stdout=cs, stderr=cs)
            os.close(cs)
            read_until(cm, b"Press <End>", 10)
            drain = spawn(["cat"], stdin=cm, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.5)
            cpu0, sw0 = proc_counts(p.pid)
            time.sleep(seconds)
            cpu1, sw1 = proc_counts(p.pid)
            stop(p)
            stop(drain)
            for fd in (dm, ds, cm):
                os.close(fd)
            shutil.rmtree(run, ignore_errors=True)
            cpus.append(cpu1 - cpu0)
            deltas = [sw1[t] - sw0.get(t, 0) for t in sorted(sw1)]
            rates.append(sum(deltas) / seconds)
            per_thread.append("/".join(f"{d / seconds:.1f}" for d in deltas))
        rows.append([f"{name}, {mode}, idle device", fmt(median(cpus), ".3f"), fmt(median(rates), ".1f"),
                     per_thread[len(per_thread) // 2]])
    return table(f"4. Idle ({seconds} s, {rounds} rounds)",
                 ["row", "CPU s", "wake-ups/s", "per thread, by thread id (one round)"],
                 rows)


# ---- 5: key to wire -----------------------------------------------------------------------

def key_latencies(console_master, port_master, keys):
    out = []
    rnd = random.Random(5)
    for i in range(keys):
        key = bytes([0x61 + i % 26])
        while select.select([port_master], [], [], 0)[0]:
            os.read(port_master, 4096)
        t0 = time.perf_counter()
        os.write(console_master, key)
        r, _, _ = select.select([port_master], [], [], 2)
        if not r:
            continue
        os.read(port_master, 4096)
        out.append(time.perf_counter() - t0)
        time.sleep(0.005 + rnd.random() * 0.01)
    return out


def bench_keys(builds, work, rounds, keys):
    rows = []
    cat_m, cat_p = [], []
    for bi, (name, binaries) in enumerate(builds):
        m, p, d = key_rounds(binaries, work, rounds, keys, cat_m if bi == 0 else [],
                             cat_p if bi == 0 else [])
        rows.append([f"{name} (KIVET)", fmt(m * 1000, ".3f"), fmt(p * 1000, ".3f"),
                     fmt(d * 1000, "+.3f")])
    rows.append(["cat, raw terminal", fmt(median(cat_m) * 1000, ".3f"),
                 fmt(median(cat_p) * 1000, ".3f"), ""])
    return table(f"5. Key to wire ({keys} keys, {rounds} rounds)",
                 ["path", "median ms", "p90 ms", "program - cat, median ms (same round)"], rows)


def key_rounds(binaries, work, rounds, keys, cat_m, cat_p):
    """Medians over the rounds of the program's median, p90 and (median - cat's median)."""
    prog_m, prog_p, diffs = [], [], []
    for _ in range(rounds):
        run = tempfile.mkdtemp(dir=work)
        # The program: its console is a pseudo-terminal, its port another.
        dm, ds, dname = pty_pair()
        cm, cs, _ = pty_pair(raw=False)
        p = spawn([binaries["kivet32"], port_arg(dname), "115200"], cwd=run, stdin=cs,
                  stdout=cs, stderr=cs)
        os.close(cs)
        read_until(cm, b"Press <End>", 10)
        drain_stop = threading.Event()

        def drain(fd=cm):
            while not drain_stop.is_set():
                if select.select([fd], [], [], 0.05)[0]:
                    try:
                        os.read(fd, 65536)
                    except OSError:
                        return

        th = threading.Thread(target=drain, daemon=True)
        th.start()
        time.sleep(0.3)
        prog = key_latencies(cm, dm, keys)
        drain_stop.set()
        th.join()
        stop(p)
        for fd in (dm, ds, cm):
            os.close(fd)
        # cat: standard input a raw terminal, standard output the port.
        dm, ds, dname = pty_pair()
        km, ks, _ = pty_pair(raw=True)
        c = spawn(["cat"], stdin=ks, stdout=ds)
        time.sleep(0.2)
        catl = key_latencies(km, dm, keys)
        stop(c)
        for fd in (dm, ds, km, ks):
            os.close(fd)
        shutil.rmtree(run, ignore_errors=True)
        prog_m.append(median(prog))
        prog_p.append(p90(prog))
        cat_m.append(median(catl))
        cat_p.append(p90(catl))
        diffs.append(median(prog) - median(catl))
    return median(prog_m), median(prog_p), median(diffs)


# ---- main ---------------------------------------------------------------------------------

def machine():
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
    except (OSError, StopIteration):
        cpu = platform.processor() or "?"
    load = os.getloadavg()
    return (f"{platform.system()} {platform.release()}, {os.cpu_count()} CPUs ({cpu}), "
            f"Python {platform.python_version()}, load average at start "
            f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", required=True, help="the Release build directory")
    ap.add_argument("--relay", required=True, help="the pacing relay")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", default="text,pasel,transfer,idle,key,net-text,net-transfer",
                    help="comma-separated: text, pasel, transfer, idle, key, net-text, "
                    "net-transfer")
    ap.add_argument("--megabytes", type=float, default=20)
    ap.add_argument("--idle-seconds", type=float, default=10)
    ap.add_argument("--keys", type=int, default=300)
    ap.add_argument("--out", help="also write the tables to this file")
    ap.add_argument("--baseline", help="a build directory of an earlier program, measured in the "
                    "same rounds (tables 1, 2, 4, 5)")
    a = ap.parse_args()
    binaries = {n: os.path.abspath(os.path.join(a.build, n)) for n in ("kivet32", "pasel32", "devsim")}
    binaries["relay"] = os.path.abspath(a.relay)
    only = set(a.only.split(","))
    builds = [("program", binaries)]
    if a.baseline:
        base = {n: os.path.abspath(os.path.join(a.baseline, n)) for n in binaries}
        base["relay"] = binaries["relay"]
        builds.append(("baseline", base))
    head = f"Machine: {machine()}"
    print(head, flush=True)
    parts = [head]
    work = tempfile.mkdtemp(prefix="kivet-bench-")
    try:
        if "text" in only:
            parts.append(bench_text("kivet", builds, work, a.rounds, a.megabytes))
        if "pasel" in only:
            parts.append(bench_text("pasel", builds, work, a.rounds, a.megabytes))
        if "transfer" in only:
            parts.append(bench_transfers(binaries, work, a.rounds))
        if "idle" in only:
            parts.append(bench_idle(builds, work, a.rounds, a.idle_seconds))
        if "key" in only:
            parts.append(bench_keys(builds, work, a.rounds, a.keys))
        if "net-text" in only:
            parts.append(bench_net_text(binaries, work, a.rounds, a.megabytes))
        if "net-transfer" in only:
            parts.append(bench_net_transfer(binaries, work, a.rounds))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load = os.getloadavg()
    tail = f"Load average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"
    print("\n" + tail)
    parts.append("\n" + tail)
    if a.out:
        with open(a.out, "w") as f:
            f.write("\n".join(parts) + "\n")


if __name__ == "__main__":
    sys.exit(main())
