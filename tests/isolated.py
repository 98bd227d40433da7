"""Runs a test command where it can neither reach nor disturb a control service on this host.

The command runs in a private network namespace whose loopback is up and holds nothing else, so
tests may also run side by side; and in a process namespace of its own, so that whatever it
started ends with it, also when this is ended, by a signal or by CTest's time limit.  Where no
namespace can be made, tests take turns through a lock file and refuse to run while 127.0.0.1
port 20003 is taken.
"""

import ctypes
import fcntl
import os
import signal
import socket
import struct
import subprocess
import sys

PORT = 20003
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
# The command is the first process of its process namespace, whose end ends every other there,
# and it is ended with unshare; /proc shows that namespace, as the sanitizers expect.
UNSHARE = ["-rn", "--pid", "--fork", "--kill-child", "--mount-proc"]
PR_SET_PDEATHSIG = 1


def bring_loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifreq = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, ifreq))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh", b"lo", flags | IFF_UP))


def can_unshare():
    try:
        probe = ["unshare", *UNSHARE, "true"]
        return subprocess.run(probe, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def run_unshared(argv):
    """Runs argv, which is unshare; returns its status.  unshare passes on no stop signal to the
    namespace, so a stop ends it, and the namespace with it; so does the end of this process,
    however it comes."""
    libc = ctypes.CDLL(None, use_errno=True)
    inner = subprocess.Popen(argv, preexec_fn=lambda: libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
    stops = []

    def stop(signo, _):
        stops.append(signo)
        inner.kill()

    for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, stop)
    status = inner.wait()
    if stops:
        signal.signal(stops[0], signal.SIG_DFL)
        os.kill(os.getpid(), stops[0])
    return status


def main(cmd):
    if os.environ.get("TOLVEX_ISOLATED") == "netns":
        bring_loopback_up()
        os.execvp(cmd[0], cmd)
    if can_unshare():
        os.environ["TOLVEX_ISOLATED"] = "netns"
        sys.exit(run_unshared(["unshare", *UNSHARE, sys.executable, __file__] + cmd))
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
