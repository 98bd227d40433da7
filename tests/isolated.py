"""Runs a test command where it can neither reach nor disturb a control service on this host.

The command runs in a private network namespace whose loopback is up and holds nothing else, so
tests may also run side by side.  Where no namespace can be made, tests take turns through a lock
file and refuse to run while 127.0.0.1 port 20003 is taken.
"""

import fcntl
import os
import socket
import struct
import subprocess
import sys

PORT = 20003
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


def bring_loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifreq = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, ifreq))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh", b"lo", flags | IFF_UP))


def can_unshare():
    try:
        probe = ["unshare", "-rn", "true"]
        return subprocess.run(probe, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def main(cmd):
    if os.environ.get("TOLVEX_ISOLATED") == "netns":
        bring_loopback_up()
        os.execvp(cmd[0], cmd)
    if can_unshare():
        os.environ["TOLVEX_ISOLATED"] = "netns"
        os.execvp("unshare", ["unshare", "-rn", sys.executable, __file__] + cmd)
    with open("/tmp/tolvex-tests.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.1", PORT))
            except OSError:
                sys.exit(f"refusing to run: no private network namespace, and 127.0.0.1 "
                         f"port {PORT} is taken")
        os.environ["TOLVEX_ISOLATED"] = "shared"
        sys.exit(subprocess.run(cmd).returncode)


if __name__ == "__main__":
    main(sys.argv[1:])
