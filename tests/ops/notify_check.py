#!/usr/bin/python3
"""terramod under a service manager, without one: this script listens on a
unix datagram socket named by NOTIFY_SOCKET, as systemd does for a
Type=notify service with WatchdogSec=, and runs terramod to the SoapySDR test
device, which hangs (stall_at=) after a few seconds of signal.

Expected: READY=1 once, after the first samples went out; STATUS= lines;
WATCHDOG=1 at least every half watchdog interval while cycles complete; no
WATCHDOG=1 once the device hangs (systemd would restart the service), and
terramod itself ends with exit code 2 when the device has taken nothing for
its stall limit.

    notify_check.py --terramod PATH --source-dir DIR --soapy-modules DIR --out DIR
"""
import argparse
import os
import socket
import subprocess
import sys
import time

WATCHDOG_USEC = 1000000
SAMPLE_RATE = 64e6 / 7
STALL_AFTER_SECONDS = 3.0
RUN_TIMEOUT_S = 40


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--terramod", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--soapy-modules", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    folder = os.path.abspath(args.out)
    os.makedirs(folder, exist_ok=True)
    socket_path = os.path.join(folder, "notify.sock")
    if os.path.exists(socket_path):
        os.remove(socket_path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(socket_path)
    listener.settimeout(0.1)
    environment = dict(os.environ, SOAPY_SDR_PLUGIN_PATH=args.soapy_modules,
                       NOTIFY_SOCKET=socket_path, WATCHDOG_USEC=str(WATCHDOG_USEC))
    device = f"driver=terramod_test,pace=1,stall_at={int(STALL_AFTER_SECONDS * SAMPLE_RATE)}"
    command = [args.terramod, "-i", os.path.join(args.source_dir, "samples/testcard.ts"),
               "--loop", "--device", device, "--frequency", "474e6", "-v", "1",
               "-l", os.path.join(folder, "notify.log")]
    started = time.monotonic()
    terramod = subprocess.Popen(command, env=environment, stdout=subprocess.DEVNULL,
                                stderr=subprocess.STDOUT)
    messages = []  # (seconds from start, message)
    deadline = started + RUN_TIMEOUT_S
    while terramod.poll() is None and time.monotonic() < deadline:
        try:
            data = listener.recv(4096)
        except socket.timeout:
            continue
        for line in data.decode().splitlines():
            messages.append((time.monotonic() - started, line))
    if terramod.poll() is None:
        terramod.kill()
    exit_code = terramod.wait()
    listener.close()
    os.remove(socket_path)

    failures = []
    ready = [t for t, m in messages if m == "READY=1"]
    pings = [t for t, m in messages if m == "WATCHDOG=1"]
    statuses = [m for _, m in messages if m.startswith("STATUS=")]
    if len(ready) != 1:
        failures.append(f"READY=1 sent {len(ready)} times")
    if not statuses:
        failures.append("no STATUS= line")
    if len(pings) < 3:
        failures.append(f"only {len(pings)} watchdog pings")
    else:
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        # While cycles complete, a ping every half interval, and never a
        # whole interval without (systemd's limit, room for a loaded
        # machine); then none while the device hangs.
        steady = gaps[:-1]
        if steady and max(steady) >= WATCHDOG_USEC * 1e-6:
            failures.append(f"a gap of {max(steady):.3f} s between pings while on air")
        silence = (time.monotonic() - started) - pings[-1]
        if silence < 2.0:
            failures.append(f"pings went on until {silence:.2f} s before the end: the hung "
                            "device did not stop them")
    if exit_code != 2:
        failures.append(f"exit {exit_code}, not 2 (the device hung)")
    print("pings at", [round(t, 3) for t in pings])
    print(f"READY at {ready}; {len(pings)} pings, the last at "
          f"{pings[-1] if pings else None:} s; statuses: {statuses[:2]}; exit {exit_code}")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
