#!/usr/bin/env python3
"""The file-transfer benchmark: a sender and a receiver on the two ends of a
fresh paced `mero null-modem` cable, one run per row, all in one invocation so
the ratios between ours and the peers hold on a busy machine.

A row is PROTOCOL:SENDER:RECEIVER (for example zmodem:sz:rz or zmodem:ours:rz);
the endpoints each protocol knows are in ENDPOINTS below. Per run it prints the
protocol, sender, receiver, size, seconds (from the sender's start to the exit
of both), payload bytes/s, efficiency = payload bytes/s / (baud / bits per
character), whether the file arrived intact, the noise events the cable made in
each direction, the cable's own CPU use and the sender's; the last line is
RESULT with the last row's efficiency (its bytes/s on an unpaced cable).

  bench_transfer --suite baseline
  bench_transfer --baud 115200 --size 512K --flip 1e-5 zmodem:sz:rz zmodem:ours:ours
  bench_transfer --seeds 8 --flip 1e-4 kermit:kermit1k:kermit1k kermit:ours:ours

With --seeds N every row runs with the seeds 1..N (the file and the cable's
noise both follow the seed), all rows for one seed before the next, and a
summary gives each row's mean and worst efficiency. The noise suite runs each
engine beside its best peer, both ways, on noisy cables of its own (a row's
cable options override those given on the command line).
"""

import argparse
import fcntl
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_MERO = "@MERO_BINARY@"

# Ticks of the ASCII receive's end-of-file silence; the benchmark does not count
# that silence as transfer time. The silence counts from the receiver's start,
# so it must outlast the head start every receiver gets (about 1 s: enough up
# to `--delay 900`).
ASCII_EOF_TICKS = 18
# Ticks a B+ receiver stays after the last file for a peer that missed its last
# acknowledgement; not counted either.
BPLUS_LINGER_TICKS = 18


class Endpoint:
    """How one program sends or receives: its arguments ({port}, {file},
    {baud}, {dir}, {name} are filled in) and how it reaches the line."""

    def __init__(self, argv, kind, end_silence=0.0):
        self.argv = argv
        self.kind = kind  # "ours", "stdio" (run through mero exec) or "device"
        self.end_silence = end_silence  # seconds the receiver waits after the data


def ours_send(protocol, *extra):
    return Endpoint(["send", "{port}", "--baud", "{baud}", "--protocol", protocol, *extra, "{file}"], "ours")


def ours_recv(protocol, *extra):
    return Endpoint(["recv", "{port}", "--baud", "{baud}", "--protocol", protocol, "--dir", "{dir}", *extra], "ours")


KERMIT_LONG = ["-v", "31", "-e", "4000", "-C", "set carrier-watch off, set flow none"]
# Ours and C-Kermit alike: 1024-byte packets, 27 window slots, the CRC.
KERMIT_1K = ["-v", "27", "-e", "1024", "-C",
             "set carrier-watch off, set flow none, set block-check 3, set file names literal"]
OURS_KERMIT_1K = ["--packet-length", "1024", "--windows", "27", "--check", "3"]

# ENDPOINTS[protocol][name] = (send endpoint, receive endpoint); None where a
# program does not take that role.
ENDPOINTS = {
    "ascii": {
        "ours": (ours_send("ascii"),
                 Endpoint(["recv", "{port}", "--baud", "{baud}", "--protocol", "ascii", "--dir", "{dir}", "--file",
                           "{name}", "--eof-timeout", str(ASCII_EOF_TICKS)], "ours", ASCII_EOF_TICKS * 0.055)),
    },
    "bplus": {
        # The published window (two packets) and 1024-byte blocks.
        "ours": (ours_send("bplus"),
                 Endpoint(ours_recv("bplus", "--linger", str(BPLUS_LINGER_TICKS)).argv, "ours",
                          BPLUS_LINGER_TICKS * 0.055)),
        # Five packets ahead and 2048-byte blocks when both ends allow them.
        "ours-w5": (ours_send("bplus", "--window", "5", "--block-size", "2048"),
                    Endpoint(ours_recv("bplus", "--window", "5", "--block-size", "2048", "--linger",
                                       str(BPLUS_LINGER_TICKS)).argv, "ours", BPLUS_LINGER_TICKS * 0.055)),
    },
    "zmodem": {
        "sz": (Endpoint(["sz", "-q", "-b", "{name}"], "stdio"), None),
        "rz": (None, Endpoint(["rz", "-q", "-b", "-y"], "stdio")),
        "ours": (ours_send("zmodem"), ours_recv("zmodem")),
        "ours8k": (ours_send("zmodem", "--8k"), ours_recv("zmodem", "--8k")),
    },
    "xmodem-1k": {
        "sx": (Endpoint(["sx", "-q", "-k", "-b", "{name}"], "stdio"), None),
        "rx": (None, Endpoint(["rx", "-q", "-c", "-b", "{name}"], "stdio")),
        "ours": (ours_send("xmodem-1k"),
                 Endpoint(["recv", "{port}", "--baud", "{baud}", "--protocol", "xmodem-1k", "--dir", "{dir}", "--file",
                           "{name}"], "ours")),
    },
    "ymodem": {
        "sb": (Endpoint(["sb", "-q", "-k", "-b", "{name}"], "stdio"), None),
        "rb": (None, Endpoint(["rb", "-q", "-b", "-y"], "stdio")),
        "ours": (ours_send("ymodem"), ours_recv("ymodem")),
    },
    "ymodem-g": {
        "ours": (ours_send("ymodem-g"), ours_recv("ymodem-g")),
    },
    "kermit": {
        "kermit": (Endpoint(["kermit", "-Y", "-q", "-i", "-l", "{port}", "-b", "{baud}", *KERMIT_LONG, "-s", "{name}"],
                            "device"),
                   Endpoint(["kermit", "-Y", "-q", "-i", "-l", "{port}", "-b", "{baud}", *KERMIT_LONG, "-r"],
                            "device")),
        "gkermit": (Endpoint(["gkermit", "-q", "-i", "-s", "{name}"], "stdio"),
                    Endpoint(["gkermit", "-q", "-i", "-r"], "stdio")),
        # The send goes in the commands, where the literal name holds.
        "kermit1k": (Endpoint(["kermit", "-Y", "-q", "-i", "-l", "{port}", "-b", "{baud}", *KERMIT_1K[:-1],
                               KERMIT_1K[-1] + ", set file type binary, send {name}, exit"], "device"),
                     Endpoint(["kermit", "-Y", "-q", "-i", "-l", "{port}", "-b", "{baud}", *KERMIT_1K, "-r"],
                              "device")),
        "ours": (ours_send("kermit", *OURS_KERMIT_1K), ours_recv("kermit", *OURS_KERMIT_1K)),
        # One packet at a time: what the windows are measured against.
        "ours1": (ours_send("kermit", *OURS_KERMIT_1K[:2], "--check", "3"),
                  ours_recv("kermit", *OURS_KERMIT_1K[:2], "--check", "3")),
    },
}

# Named sets of rows: (row, size in bytes).
SUITES = {
    "ascii": [("ascii:ours:ours", 256 << 10)],
    "bplus": [("bplus:ours:ours", 512 << 10), ("bplus:ours-w5:ours-w5", 512 << 10)],
    "baseline": [("zmodem:sz:rz", 512 << 10), ("xmodem-1k:sx:rx", 512 << 10), ("kermit:kermit:kermit", 512 << 10)],
    "xymodem": [(row, 512 << 10) for row in (
        "xmodem-1k:sx:rx", "xmodem-1k:ours:rx", "xmodem-1k:sx:ours", "xmodem-1k:ours:ours",
        "ymodem:sb:rb", "ymodem:ours:rb", "ymodem:sb:ours", "ymodem:ours:ours", "ymodem-g:ours:ours")],
    "kermit": [("kermit:kermit1k:kermit1k", 512 << 10), ("kermit:ours:kermit1k", 512 << 10),
               ("kermit:kermit1k:ours", 512 << 10), ("kermit:ours:ours", 512 << 10)],
    "zmodem": [("zmodem:sz:rz", 1 << 20), ("zmodem:ours:rz", 1 << 20), ("zmodem:sz:ours", 1 << 20),
               ("zmodem:ours:ours", 1 << 20), ("zmodem:ours8k:ours8k", 1 << 20)],
}

# Each engine beside its best peer: the peer pair first, then ours both ways
# and ours with ours; B+ has no peer and stands beside Zmodem ours with ours.
NOISE_PAIRS = [
    "kermit:kermit1k:kermit1k", "kermit:ours:kermit1k", "kermit:kermit1k:ours", "kermit:ours:ours",
    "zmodem:sz:rz", "zmodem:ours:rz", "zmodem:sz:ours", "zmodem:ours:ours",
    "xmodem-1k:sx:rx", "xmodem-1k:ours:rx", "xmodem-1k:sx:ours", "xmodem-1k:ours:ours",
    "ymodem:sb:rb", "ymodem:ours:rb", "ymodem:sb:ours", "ymodem:ours:ours",
    "bplus:ours:ours",
]
NOISE_CABLES = [{"flip": 1e-5}, {"flip": 1e-4}, {"drop": 1e-5}, {"delay": 300, "flip": 1e-5}]
SUITES["noise"] = [(row, 256 << 10, cable) for cable in NOISE_CABLES for row in NOISE_PAIRS]
CABLE_OPTIONS = ("delay", "flip", "drop", "insert", "burst")


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1:].upper()])
    return int(text)


def wait_with_usage(proc, limit):
    """Waits for a child until `limit` (killing it then); its exit code (or
    "timeout") and the CPU seconds it and its children used."""
    if proc.returncode is not None:
        # Reaped already: it ended while the run waited for its port.
        return proc.returncode, 0.0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return proc.returncode, usage.ru_utime + usage.ru_stime
        if time.monotonic() >= limit:
            proc.kill()
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = -9
            return "timeout", usage.ru_utime + usage.ru_stime
        time.sleep(0.01)


def device_locked(path):
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(fd, fcntl.LOCK_UN)
        return False
    except OSError:
        return True
    finally:
        os.close(fd)


class Bench:
    def __init__(self, args):
        self.args = args
        self.mero = args.mero

    def start(self, endpoint, port, values, cwd, log):
        argv = [a.format(**values, port=port) for a in endpoint.argv]
        if endpoint.kind == "ours":
            argv = [self.mero] + argv
        elif endpoint.kind == "stdio":
            argv = [self.mero, "exec", port, "--cwd", cwd, "--"] + argv
        return subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def run(self, row, size, cable=None, seed=None):
        protocol, sender, receiver = row.split(":")
        table = ENDPOINTS.get(protocol, {})
        send = table.get(sender, (None, None))[0]
        recv = table.get(receiver, (None, None))[1]
        if send is None or recv is None:
            sys.exit(f"bench_transfer: {row}: no such sender or receiver (see ENDPOINTS)")
        work = tempfile.mkdtemp(prefix="bench-transfer-")
        try:
            return self.run_in(work, protocol, sender, receiver, send, recv, size, cable or {},
                               self.args.seed if seed is None else seed)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def run_in(self, work, protocol, sender, receiver, send, recv, size, cable_options, seed):
        a = self.args
        options = {opt: getattr(a, opt) for opt in CABLE_OPTIONS}
        options.update(cable_options)
        out_dir, in_dir = os.path.join(work, "out"), os.path.join(work, "in")
        os.makedirs(out_dir)
        os.makedirs(in_dir)
        name = "payload.bin"
        data = random.Random(seed).randbytes(size)
        if protocol == "ascii":
            # Text the ASCII protocol carries unchanged: no Ctrl-Z.
            data = bytes(b if b != 26 else 27 for b in data)
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        # --baud 0: an unpaced cable, for throughput (ours then set 115200 on their ports).
        cable_args = [self.mero, "null-modem", "--seed", str(seed)] + (["--baud", str(a.baud)] if a.baud else [])
        for opt in CABLE_OPTIONS:
            value = options[opt]
            if value:
                cable_args += ["--" + opt, str(value)]
        cable_log = open(os.path.join(work, "cable.err"), "w+")
        cable = subprocess.Popen(cable_args, stdout=subprocess.PIPE, stderr=cable_log, text=True)
        ends = [cable.stdout.readline().strip(), cable.stdout.readline().strip()]
        values = {"file": os.path.join(out_dir, name), "name": name, "dir": in_dir, "baud": str(a.baud or 115200)}
        logs = [open(os.path.join(work, n), "w+") for n in ("recv.log", "send.log")]
        try:
            rproc = self.start(recv, ends[1], values, in_dir, logs[0])
            # Every receiver gets the same head start: its port open (ours and
            # mero exec lock it), then time for its first word to cross a
            # delayed line, as a receiver started ahead of the sender has.
            deadline = time.monotonic() + 10
            if recv.kind != "device":
                while not device_locked(ends[1]) and time.monotonic() < deadline and rproc.poll() is None:
                    time.sleep(0.01)
            head_start = max(0.3, (options["delay"] or 0) / 1000 + 0.05)
            if protocol == "ascii" and head_start >= recv.end_silence:
                sys.exit(f"bench_transfer: the ASCII receiver would end before the sender starts "
                         f"(head start {head_start:.2f} s, end-of-file silence {recv.end_silence:.2f} s)")
            time.sleep(head_start)
            values["file"] = os.path.join(out_dir, name) if send.kind == "ours" else name
            start = time.monotonic()
            sproc = self.start(send, ends[0], values, out_dir, logs[1])
            limit = start + max(60.0, 4 * size / ((a.baud or 115200) / 10) + 30)
            codes = []
            send_cpu = 0.0
            for p in (sproc, rproc):
                code, cpu = wait_with_usage(p, limit)
                codes.append(code)
                if p is sproc:
                    send_cpu = cpu
            seconds = time.monotonic() - start - recv.end_silence
            # The sender's cost: its CPU time (with a stdio peer's, that of
            # mero exec and the program) over the run.
            send_cpu = 100.0 * send_cpu / max(seconds, 1e-9)
            # The cable's own cost: its CPU time over the run.
            try:
                with open(f"/proc/{cable.pid}/schedstat") as f:
                    relay = 100.0 * int(f.read().split()[0]) / 1e9 / (time.monotonic() - start)
            except OSError:
                relay = float("nan")
        finally:
            cable.send_signal(signal.SIGTERM)
            cable.wait()
        cable_log.seek(0)
        noise = {}
        for line in cable_log.read().splitlines():
            if ":" in line:
                direction, rest = line.split(":", 1)
                parts = [int(w) for w in rest.replace(",", " ").split() if w.isdigit()]
                if len(parts) == 4:
                    noise[direction] = parts[1] + parts[2] + parts[3]
        got_path = os.path.join(in_dir, name)
        got = open(got_path, "rb").read() if os.path.exists(got_path) else b""
        # Xmodem pads the last block; what it carries beyond the file is not payload.
        intact = got == data or (protocol.startswith("xmodem") and got[:len(data)] == data
                                 and set(got[len(data):]) <= {26})
        if codes != [0, 0] and a.verbose:
            for log in logs:
                log.seek(0)
                sys.stderr.write(log.read())
        bps = size / seconds if seconds > 0 else 0
        efficiency = 100.0 * bps / (a.baud / 10) if a.baud else None
        shown = f"{efficiency:>7.2f}%" if efficiency is not None else f"{'-':>8}"
        label = ",".join(f"{k} {v:g}" for k, v in cable_options.items()) or "-"
        print(f"{protocol:<10} {sender:<8} {receiver:<8} {label:<16} {seed:>4} {size:>9} {seconds:>8.2f} {bps:>9.0f} {shown} "
              f"{'yes' if intact else 'NO':>6} {noise.get('a->b', 0):>5}/{noise.get('b->a', 0):<5} {relay:>5.2f}%"
              f" {send_cpu:>8.2f}%"
              f"{'' if codes == [0, 0] else '  exit ' + '/'.join(map(str, codes))}", flush=True)
        return protocol, sender, receiver, efficiency, bps, intact


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rows", nargs="*", help="PROTOCOL:SENDER:RECEIVER")
    parser.add_argument("--suite", choices=sorted(SUITES), help="a named set of rows with their sizes")
    parser.add_argument("--baud", type=int, default=115200, help="0: an unpaced cable (throughput)")
    parser.add_argument("--size", default="512K", help="bytes (K, M suffixes) for the rows given by name")
    parser.add_argument("--delay", type=float, help="one-way latency of the cable, ms")
    parser.add_argument("--flip", type=float)
    parser.add_argument("--drop", type=float)
    parser.add_argument("--insert", type=float)
    parser.add_argument("--burst", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seeds", type=int, help="run every row with the seeds 1..N and sum up each row")
    parser.add_argument("--mero", default=os.environ.get("MERO", DEFAULT_MERO))
    parser.add_argument("--verbose", action="store_true", help="show the programs' output of failed runs")
    args = parser.parse_args()
    rows = [(r, parse_size(args.size), {}) for r in args.rows]
    if args.suite:
        rows = [(entry + ({},))[:3] for entry in SUITES[args.suite]] + rows
    if not rows:
        parser.error("no rows: give PROTOCOL:SENDER:RECEIVER or --suite")
    if not os.access(args.mero, os.X_OK):
        sys.exit(f"bench_transfer: no mero at {args.mero} (build it, or give --mero)")
    bench = Bench(args)
    line = f"cable: {args.baud} baud 8N1" if args.baud else "cable: unpaced"
    for opt in ("delay", "flip", "drop", "insert", "burst"):
        if getattr(args, opt):
            line += f", {opt} {getattr(args, opt)}"
    seeds = list(range(1, args.seeds + 1)) if args.seeds else [args.seed]
    print(line + (f", seeds 1..{args.seeds}" if args.seeds else f", seed {args.seed}"))
    print(f"{'protocol':<10} {'sender':<8} {'receiver':<8} {'row cable':<16} {'seed':>4} {'size':>9} {'seconds':>8} "
          f"{'bytes/s':>9} {'effic.':>8} {'intact':>6} noise a->b/b->a  cable cpu  send cpu")
    last = None
    results = {}
    for seed in seeds:
        for row, size, cable in rows:
            last = bench.run(row, size, cable, seed)
            key = (row, tuple(sorted(cable.items())))
            # A run that did not deliver the file counts as nothing carried.
            results.setdefault(key, []).append(last[3] if last[5] and last[3] is not None else 0.0)
    if args.seeds and args.baud:
        print(f"\nover seeds 1..{args.seeds}: mean and worst efficiency")
        for (row, cable), runs in results.items():
            label = ",".join(f"{k} {v:g}" for k, v in cable) or "-"
            print(f"{row:<28} {label:<16} mean {sum(runs) / len(runs):6.2f}%  worst {min(runs):6.2f}%  "
                  f"runs {' '.join(f'{r:.2f}' for r in runs)}")
    protocol, sender, receiver, efficiency, bps, _ = last
    if efficiency is None:
        print(f"RESULT transfer_{protocol}_{sender}_{receiver}_throughput {bps:.0f} bytes/s")
    else:
        print(f"RESULT transfer_{protocol}_{sender}_{receiver}_efficiency {efficiency:.2f} %")


if __name__ == "__main__":
    main()
