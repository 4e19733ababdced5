#!/usr/bin/env python3
"""End-to-end measurements of the running bridge over loopback.

Each measurement starts its own bridge (--port 0, X-Plane on a loopback
address of its own) and a fake X-Plane where needed, and prints one JSON line
per figure. Standard library only.
"""
import argparse
import json
import os
import pathlib
import re
import select
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

READY = re.compile(rb"bridge ready on http://localhost:(\d+)")
CLK_TCK = os.sysconf("SC_CLK_TCK")
# X-Plane's subscription index of a value is its place in the program's value table.
_NAMES = re.search(r"VALUE_NAMES\{(.*?)\}", (pathlib.Path(__file__).resolve().parent.parent / "src/state/live_state.h")
                   .read_text(encoding="utf-8"), re.S)
VALUE_INDEX = {name: i for i, name in enumerate(re.findall(r'"([a-z_]+)"', _NAMES.group(1)))}


def emit(name, value, unit, target, ok, yardstick=None):
    print(json.dumps({"name": name, "value": value, "unit": unit, "target": target,
                      "ok": ok, "yardstick": yardstick}), flush=True)


class Bridge:
    """The bridge as a child process, with its console captured."""

    def __init__(self, exe, args):
        self.start = time.monotonic()
        self.proc = subprocess.Popen([exe, *args, "--port", "0"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.out = b""
        self.ready_at = None
        while self.ready_at is None:
            r, _, _ = select.select([self.proc.stdout], [], [], 10)
            if not r:
                raise RuntimeError("bridge did not get ready: %r" % self.out)
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                raise RuntimeError("bridge ended: %r" % self.out)
            self.out += chunk
            m = READY.search(self.out)
            if m:
                self.ready_at = time.monotonic()
                self.port = int(m.group(1))

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK

    def status(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def threads(self):
        return self.status("Threads")

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class FakeXPlane:
    """Answers the bridge's subscription with RREF replies on demand."""

    def __init__(self, address):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 49000))
        self.peer = None
        self.sock.settimeout(10)
        while self.peer is None:
            data, peer = self.sock.recvfrom(2048)
            if data[:4] == b"RREF":
                self.peer = peer

    def send(self, lat, lon=8.25):
        payload = b"RREF\x00" + struct.pack("<IfIf", VALUE_INDEX["lat"], lat, VALUE_INDEX["lon"], lon)
        self.sock.sendto(payload, self.peer)

    def close(self):
        self.sock.close()


def http_get(port, path):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return data.split(b"\r\n\r\n", 1)[1]


def open_stream(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
    return s


def json_number(value):
    """The bridge's text for a number (shortest digits, no exponent) for plain values."""
    return (str(int(value)) if value.is_integer() else repr(value)).encode()


def wait_for_event(stream, pending, key):
    """Reads events until one carries `key`."""
    while True:
        while b"\n\n" in pending["buf"]:
            event, pending["buf"] = pending["buf"].split(b"\n\n", 1)
            if key in event:
                return
        r, _, _ = select.select([stream], [], [], 5)
        if not r:
            raise RuntimeError("no event carrying %r" % key)
        pending["buf"] += stream.recv(65536)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def bench_startup(exe, runs):
    times = []
    for _ in range(runs):
        b = Bridge(exe, ["--xplane", "127.0.0.1"])
        times.append((b.ready_at - b.start) * 1000)
        b.stop()
    median = statistics.median(times)
    emit("start-up to ready line (median of %d)" % runs, round(median, 2), "ms", "< 20 ms", median < 20)


def bench_idle(exe, seconds):
    b = Bridge(exe, [])
    time.sleep(1)
    cpu0 = b.cpu_seconds()
    time.sleep(seconds)
    cpu = b.cpu_seconds() - cpu0
    share = cpu / seconds * 100
    rss = b.status("VmHWM") / 1024
    b.stop()
    emit("idle CPU, %d s, both feeds waiting" % seconds, round(share, 4), "% of one core", "< 0.1 %", share < 0.1)
    emit("idle peak resident memory", round(rss, 2), "MiB", "< 8 MiB", rss < 8)


def bench_latency(exe, updates, address):
    b = Bridge(exe, ["--xplane", address])
    xp = FakeXPlane(address)
    stream = open_stream(b.port)
    pending = {"buf": b""}
    stream_ms, state_ms = [], []
    for i in range(updates):
        lat = 10 + i * 0.001
        key = b'"lat":' + json_number(struct.unpack("<f", struct.pack("<f", lat))[0])
        sent = time.monotonic()
        xp.send(lat)
        while key not in http_get(b.port, "/state"):  # /state: poll until the value shows
            if time.monotonic() - sent > 5:
                raise RuntimeError("value %r never showed in /state" % key)
        state_ms.append((time.monotonic() - sent) * 1000)
        wait_for_event(stream, pending, key)
        stream_ms.append((time.monotonic() - sent) * 1000)
        time.sleep(max(0.0, 0.2 - (time.monotonic() - sent)))  # 5 Hz
    stream.close()
    xp.close()
    b.stop()
    p50, p99 = percentile(stream_ms, 50), percentile(stream_ms, 99)
    emit("update latency datagram→/stream p50 (%d updates, 5 Hz)" % updates, round(p50, 2), "ms",
         "bound: 180 ms poll + work", True)
    emit("update latency datagram→/stream p99", round(p99, 2), "ms", "<= 200 ms", p99 <= 200)
    s50, s99 = percentile(state_ms, 50), percentile(state_ms, 99)
    emit("update latency datagram→/state p50", round(s50, 3), "ms", "", True)
    emit("update latency datagram→/state p99", round(s99, 3), "ms", "<= 2 ms", s99 <= 2)


def bench_fanout(exe, streams, seconds, address):
    b = Bridge(exe, ["--xplane", address])
    xp = FakeXPlane(address)
    baseline_threads = b.threads()
    socks = []
    for _ in range(streams):
        socks.append(open_stream(b.port))
    last = {s.fileno(): time.monotonic() for s in socks}
    gaps = {s.fileno(): 0.0 for s in socks}
    stop = threading.Event()

    def feed():
        i = 0
        while not stop.is_set():
            xp.send(20 + (i % 1000) * 0.001)
            i += 1
            time.sleep(0.2)

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    time.sleep(1)  # let every stream get its header and first event
    now = time.monotonic()
    for fd in last:
        last[fd] = now
    cpu0 = b.cpu_seconds()
    t0 = time.monotonic()
    poller = select.epoll()
    by_fd = {s.fileno(): s for s in socks}
    for fd in by_fd:
        poller.register(fd, select.EPOLLIN)
    events_seen = 0
    while time.monotonic() - t0 < seconds:
        for fd, _ in poller.poll(0.05):
            data = by_fd[fd].recv(65536)
            now = time.monotonic()
            if data.count(b"\n\n"):
                events_seen += data.count(b"data: ")
                gaps[fd] = max(gaps[fd], now - last[fd])
                last[fd] = now
    elapsed = time.monotonic() - t0
    now = time.monotonic()
    for fd in last:
        gaps[fd] = max(gaps[fd], now - last[fd])
    cpu = b.cpu_seconds() - cpu0
    peak_threads = b.threads()
    rss = b.status("VmHWM") / 1024
    stop.set()
    for s in socks:
        s.close()
    time.sleep(3)
    after_threads = b.threads()
    xp.close()
    b.stop()
    worst = max(gaps.values())
    share = cpu / elapsed * 100
    emit("fan-out %d streams %d s: largest gap between events" % (streams, seconds), round(worst, 3), "s",
         "<= 1.5 s", worst <= 1.5)
    emit("fan-out bridge CPU", round(share, 2), "% of one core", "< 10 %", share < 10)
    emit("fan-out peak resident memory", round(rss, 1), "MiB", "< 64 MiB", rss < 64)
    emit("fan-out threads: baseline / with streams / 3 s after close",
         "%d / %d / %d" % (baseline_threads, peak_threads, after_threads), "threads",
         "back to baseline", after_threads == baseline_threads)
    emit("fan-out events received", events_seen, "events", "", True)


def gdl90_messages(datagram):
    """The messages of one GDL 90 datagram, flags, escapes and check taken off."""
    out = []
    for frame in datagram.split(b"\x7e"):
        body, escaped = bytearray(), False
        for byte in frame:
            if byte == 0x7D:
                escaped = True
                continue
            body.append(byte ^ 0x20 if escaped else byte)
            escaped = False
        if len(body) > 2:
            out.append(bytes(body[:-2]))
    return out


def bench_efb(exe, updates, seconds, address):
    """--efb to this PC's own address: datagram in to Ownship Report out, and the CPU it costs."""
    tablet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tablet.bind(("127.0.0.1", 4000))
    b = Bridge(exe, ["--xplane", address, "--efb", "127.0.0.1"])
    xp = FakeXPlane(address)
    step = 180.0 / (1 << 23)
    ms = []
    for i in range(updates):
        lat = 10 + i * 0.001
        want = struct.pack(">i", int(round(struct.unpack("<f", struct.pack("<f", lat))[0] / step)))[1:]
        sent = time.monotonic()
        xp.send(lat)
        while True:
            r, _, _ = select.select([tablet], [], [], 5)
            if not r:
                raise RuntimeError("no Ownship Report for %r" % lat)
            if any(m[0] == 10 and m[5:8] == want for m in gdl90_messages(tablet.recv(2048))):
                break
        ms.append((time.monotonic() - sent) * 1000)
        time.sleep(max(0.0, 0.2 - (time.monotonic() - sent)))  # 5 Hz
    xp.close()
    b.stop()
    p50, p99 = percentile(ms, 50), percentile(ms, 99)
    emit("EFB latency datagram→Ownship Report p50 (%d updates, 5 Hz)" % updates, round(p50, 2), "ms",
         "bound: 20 ms look + work", True)
    emit("EFB latency datagram→Ownship Report p99", round(p99, 2), "ms", "<= 200 ms", p99 <= 200)

    def cpu_share(args, feed):
        b = Bridge(exe, args)
        xp = FakeXPlane(address) if feed else None
        stop = threading.Event()

        def run():
            while not stop.is_set():
                xp.send(30.0)
                time.sleep(0.2)
        feeder = threading.Thread(target=run, daemon=True)
        if feed:
            feeder.start()
        time.sleep(1)
        cpu0 = b.cpu_seconds()
        time.sleep(seconds)
        share = (b.cpu_seconds() - cpu0) / seconds * 100
        stop.set()
        if feed:
            feeder.join()
            xp.close()
        b.stop()
        return share

    for label, feed in (("idle, no simulator", False), ("X-Plane at 5 Hz", True)):
        plain = cpu_share(["--xplane", address], feed)
        efb = cpu_share(["--xplane", address, "--efb", "127.0.0.1"], feed)
        emit("EFB CPU, %s, %d s: with --efb" % (label, seconds), round(efb, 4), "% of one core", "< 0.5 %",
             efb < 0.5, yardstick="without: %.4f %%" % plain)
    tablet.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("which", nargs="+", choices=["startup", "idle", "latency", "fanout", "efb"])
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--streams", type=int, default=1000)
    ap.add_argument("--updates", type=int, default=300)
    ap.add_argument("--startups", type=int, default=20)
    a = ap.parse_args()
    for which in a.which:
        if which == "startup":
            bench_startup(a.exe, a.startups)
        elif which == "idle":
            bench_idle(a.exe, a.seconds)
        elif which == "latency":
            bench_latency(a.exe, a.updates, "127.0.0.71")
        elif which == "fanout":
            bench_fanout(a.exe, a.streams, a.seconds, "127.0.0.72")
        elif which == "efb":
            bench_efb(a.exe, a.updates, a.seconds, "127.0.0.73")


if __name__ == "__main__":
    sys.exit(main())
