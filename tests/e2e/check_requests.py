#!/usr/bin/env python3
"""Checks the simulator's request log of one end-to-end run against what the operator did.

Usage:
  check_requests.py live LOG --ram B0,...,B14 --f11 T --f12 T --f10 T
  check_requests.py silent LOG

Each key is given as the monotonic time at which the X server took it (xkey.py). Log lines
are "SECONDS HEX HEX ..." as sensor-sim --log writes them, SECONDS on the same clock. Prints
what it found; exits 1 on the first mismatch."""
import argparse
import statistics
import sys

FRAME = 17
SETTLE = 0.1  # GO and GET wait this long with RAM selected before their first request
EPSILON = 0.001  # rounding of the logged times
# From the key to the program acting on it: event delivery only, the key acts at once.
KEY_LATENCY = 0.05
REPLY_SLACK = 0.5  # how much later than the settle delay the request may come on a loaded machine


class Mismatch(Exception):
    pass


def read_log(path):
    requests = []
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields:
                continue
            try:
                t = float(fields[0])
                frame = bytes(int(b, 16) for b in fields[1:])
            except ValueError as e:
                raise Mismatch(f"log line {number} unreadable: {line.rstrip()!r}") from e
            requests.append((t, frame))
    return requests


def hexs(frame):
    return " ".join(f"{b:02x}" for b in frame)


def expect_frame(what, got, order, block):
    want = bytes([0x55, order]) + block
    if got != want:
        raise Mismatch(f"{what}: expected {hexs(want)}, got {hexs(got)}")


def check_start(requests):
    """Line check then RAM read, both with the still empty parameter block."""
    if len(requests) < 2:
        raise Mismatch(f"expected line check and RAM read first, log has {len(requests)} lines")
    expect_frame("first request (line check)", requests[0][1], 7, bytes(15))
    expect_frame("second request (RAM read)", requests[1][1], 3, bytes(15))
    print(f"ok: line check at {requests[0][0]:.3f}, RAM read at {requests[1][0]:.3f}")


def check_live(requests, ram, f11, f12, f10):
    check_start(requests)
    if requests[1][0] >= f11:
        raise Mismatch("the RAM read came after F11")
    rest = requests[2:]
    data = []
    while rest and rest[0][1][1:2] == b"\x05":
        data.append(rest.pop(0))
    if len(data) < 10:
        raise Mismatch(f"expected a few seconds of data requests after F11, got {len(data)}")
    for t, frame in data:
        expect_frame(f"data request at {t:.3f}", frame, 5, ram)

    first = data[0][0]
    if not SETTLE - EPSILON <= first - f11 <= SETTLE + REPLY_SLACK:
        raise Mismatch(f"first data request {first - f11:.3f} s after F11, expected the "
                       f"settle delay of {SETTLE} s and the request's wire time")
    cycles = [b[0] - a[0] for a, b in zip(data, data[1:])]
    median = statistics.median(cycles)
    if not 0.060 <= median <= 0.200:
        raise Mismatch(f"median data cycle {median * 1000:.1f} ms, expected 60..200 ms")
    print(f"ok: {len(data)} data requests from {first - f11:.3f} s after F11, "
          f"median cycle {median * 1000:.1f} ms (min {min(cycles) * 1000:.1f}, "
          f"max {max(cycles) * 1000:.1f})")

    # Polling runs until Stop. Once the program has the key, one request may still arrive: one
    # on the wire, or one sent from a pause that ended before the loop saw the key; never two.
    late = [t for t, _ in data if t > f12 + KEY_LATENCY]
    if len(late) > 1:
        raise Mismatch(f"{len(late)} data requests more than {KEY_LATENCY} s after F12, "
                       "at most 1 expected")
    if data[-1][0] < f12 - 0.5:
        raise Mismatch(f"data requests ended {f12 - data[-1][0]:.3f} s before F12")
    print(f"ok: last data request {data[-1][0] - f12:+.3f} s from F12")

    if len(rest) != 1:
        raise Mismatch(f"expected exactly one request after the data, got "
                       f"{[hexs(f) for _, f in rest]}")
    t, frame = rest[0]
    expect_frame("request after F10 (RAM read)", frame, 3, ram)
    if not SETTLE - EPSILON <= t - f10 <= SETTLE + REPLY_SLACK:
        raise Mismatch(f"RAM read {t - f10:.3f} s after F10, expected about {SETTLE} s")
    print(f"ok: RAM read {t - f10:.3f} s after F10, nothing after it")


def check_silent(requests):
    """A silent sensor: the line check goes unanswered, so no parameters are read."""
    if len(requests) != 1:
        raise Mismatch(f"expected the line check alone, got {[hexs(f) for _, f in requests]}")
    expect_frame("line check", requests[0][1], 7, bytes(15))
    print("ok: the line check alone, no parameter read after it")


def parse_block(text):
    values = [int(v) for v in text.split(",")]
    if len(values) != 15 or not all(0 <= v <= 255 for v in values):
        raise argparse.ArgumentTypeError("needs 15 values 0..255")
    return bytes(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["live", "silent"])
    parser.add_argument("log")
    parser.add_argument("--ram", type=parse_block)
    for key in ("f11", "f12", "f10"):
        parser.add_argument(f"--{key}", type=float, metavar="T")
    args = parser.parse_args()
    try:
        requests = read_log(args.log)
        if args.mode == "silent":
            check_silent(requests)
        else:
            if None in (args.ram, args.f11, args.f12, args.f10):
                parser.error("live needs --ram, --f11, --f12 and --f10")
            check_live(requests, args.ram, args.f11, args.f12, args.f10)
    except Mismatch as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
