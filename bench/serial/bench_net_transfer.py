#!/usr/bin/env python3
"""The network-port transfer benchmark: a Zmodem send of one file from ours to
rz (lrzsz) across a paced `mero null-modem` cable, once with ours on the
cable's end directly and once through ser2net serving that end
(rfc2217://127.0.0.1:PORT), alternating, the same file and cable settings.

Per run it prints the path, seconds (from the sender's start to the exit of
both) and payload bytes/s; then the median of each path and the overhead of
the network path in percent of the direct one. The last line is
RESULT net_zmodem_overhead <percent> %.

  bench_net_transfer                      1 MiB at 115200, one run of each
  bench_net_transfer --runs 3 --size 256K --baud 57600
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

DEFAULT_MERO = "@MERO_BINARY@"


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1:].upper()])
    return int(text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(want in line and line.split()[3] == "0A" for line in f)


class Cable:
    """A paced null-modem cable; its two device paths."""

    def __init__(self, mero, baud):
        self.proc = subprocess.Popen([mero, "null-modem", "--baud", str(baud)], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.ends = [self.proc.stdout.readline().split()[0] for _ in range(2)]

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Ser2Net:
    """ser2net serving one device with RFC 2217 on a free loopback port."""

    def __init__(self, device, work):
        self.port = free_port()
        config = os.path.join(work, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &bench\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n"
                    "  options:\n"
                    "    mdns: false\n"
                    "    net-to-dev-bufsize: 4096\n"
                    "    dev-to-net-bufsize: 4096\n" % (self.port, device))
        self.proc = subprocess.Popen(["ser2net", "-n", "-u", "-c", config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        limit = time.monotonic() + 5
        while not listening(self.port):
            if time.monotonic() > limit or self.proc.poll() is not None:
                sys.exit("bench_net_transfer: ser2net did not start")
            time.sleep(0.02)
        self.address = "rfc2217://127.0.0.1:%d" % self.port

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def run(mero, path, size, baud, work, data):
    """One transfer; its seconds."""
    cable = Cable(mero, baud)
    server = Ser2Net(cable.ends[0], work) if path == "ser2net" else None
    out = os.path.join(work, "out")
    received = os.path.join(work, "in")
    for d in (out, received):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    name = os.path.join(out, "file.bin")
    with open(name, "wb") as f:
        f.write(data)
    rz = subprocess.Popen([mero, "exec", cable.ends[1], "--cwd", received, "--", "rz", "-q", "-b", "-y"],
                          stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    port = server.address if server else cable.ends[0]
    start = time.monotonic()
    sender = subprocess.Popen([mero, "send", port, "--baud", str(baud), "--protocol", "zmodem", name],
                              stderr=subprocess.DEVNULL)
    limit = start + 60 + size * 20 / baud
    for proc in (sender, rz):
        try:
            proc.wait(timeout=max(1, limit - time.monotonic()))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    seconds = time.monotonic() - start
    with open(os.path.join(received, "file.bin"), "rb") as f:
        intact = f.read() == data
    if server:
        server.stop()
    cable.stop()
    if sender.returncode != 0 or rz.returncode != 0 or not intact:
        sys.exit("bench_net_transfer: the %s run failed (sender %s, rz %s, intact %s)" %
                 (path, sender.returncode, rz.returncode, intact))
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mero", default=DEFAULT_MERO)
    parser.add_argument("--size", default="1M")
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--runs", type=int, default=1, help="runs of each path")
    args = parser.parse_args()
    size = parse_size(args.size)
    data = os.urandom(size)
    times = {"direct": [], "ser2net": []}
    with tempfile.TemporaryDirectory(prefix="zav-bench-net-") as work:
        for i in range(args.runs):
            for path in ("direct", "ser2net"):
                s = run(args.mero, path, size, args.baud, work, data)
                times[path].append(s)
                print("%-8s %8.2f s %9.0f bytes/s" % (path, s, size / s), flush=True)
    direct, net = statistics.median(times["direct"]), statistics.median(times["ser2net"])
    overhead = (net - direct) / direct * 100
    print("median: direct %.2f s, ser2net %.2f s" % (direct, net))
    print("RESULT net_zmodem_overhead %.2f %%" % overhead)


if __name__ == "__main__":
    main()
