"""Runs a test command where it can neither reach nor disturb a control service on this host.

The command runs in a private network namespace whose loopback is up and holds nothing else, so
tests may also run side by side; and in a process namespace of its own, so that whatever it
started ends with it, also when this is ended, by a signal or by CTest's time limit.  Where no
namespace can be made (FreeBSD), tests take turns through a lock file, refuse to run while
127.0.0.1 port 20003 is taken, and lead a process group that is ended with them.  Either way,
the temporary files of all it runs go into a folder of its own, removed when it ends.
"""

import ctypes
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile

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


def run(argv, unshared):
    """Runs argv; returns its status.  A stop ends it, and so does the end of this process,
    however it comes, where the system can tie a child's end to its parent's (Linux).  unshare
    passes on no stop signal to its namespace, whose end ends everything in it; elsewhere argv
    leads a process group of its own, which is ended with it, whatever of it is left."""
    if unshared:
        libc = ctypes.CDLL(None, use_errno=True)
        inner = subprocess.Popen(
            argv, preexec_fn=lambda: libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
    else:
        inner = subprocess.Popen(argv, start_new_session=True)
    stops = []

    def end():
        try:
            if unshared:
                inner.kill()
            else:
                os.killpg(inner.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop(signo, _):
        stops.append(signo)
        end()

    for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, stop)
    status = inner.wait()
    end()
    return status, stops[0] if stops else None


def take_turn(path):
    """Waits for the lock file at path, which any user may take: it is made readable by all, and
    a lock needs no more."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        fd = os.open(path, os.O_RDONLY | os.O_CREAT, 0o644)
    fcntl.flock(fd, fcntl.LOCK_EX)


def main(cmd):
    if os.environ.get("TOLVEX_ISOLATED") == "netns":
        bring_loopback_up()
        os.execvp(cmd[0], cmd)
    unshared = can_unshare()
    if unshared:
        os.environ["TOLVEX_ISOLATED"] = "netns"
        cmd = ["unshare", *UNSHARE, sys.executable, __file__] + cmd
    else:
        take_turn("/tmp/tolvex-tests.lock")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.1", PORT))
            except OSError:
                sys.exit(f"refusing to run: no private network namespace, and 127.0.0.1 "
                         f"port {PORT} is taken")
        os.environ["TOLVEX_ISOLATED"] = "shared"
    # The temporary files of the test and of all it runs go with it, however it ends.
    os.environ["TMPDIR"] = tempfile.mkdtemp(prefix="tolvex-test-")
    try:
        status, stop = run(cmd, unshared)
    finally:
        shutil.rmtree(os.environ["TMPDIR"], ignore_errors=True)
    if stop:
        signal.signal(stop, signal.SIG_DFL)
        os.kill(os.getpid(), stop)
    sys.exit(status)


if __name__ == "__main__":
    main(sys.argv[1:])
