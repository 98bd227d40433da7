"""Runs the built programs as a user would, against a fake control service that the test drives.

Every wait here is bounded, and every process a test starts is ended when the test ends, however
it ended: a program that hangs fails its test and is not left behind."""

import os
import select
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest
from dataclasses import dataclass, field

SERVICE = ("127.0.0.1", 20003)
# The commands that start the programs: under an emulator where this host cannot run the build.
EMULATOR = [os.environ["TOLVEX_EMULATOR"]] if os.environ.get("TOLVEX_EMULATOR") else []
TOLVEX = [*EMULATOR, os.environ.get("TOLVEX", "")]
STANDIN = [*EMULATOR, os.environ.get("STANDIN", "")]
# How long one run may take before it is taken to hang: the 3-second wait, and ample room for an
# emulated, sanitized start on a busy host.
BOUND = 10
# How the fake service learns when a request arrived: the kernel's stamp on arrival, asked for by
# an option that Python does not name and the systems number apart (Linux's SO_TIMESTAMPNS, in
# nanoseconds; SO_TIMESTAMP in microseconds, 29 on Linux and 0x400 on FreeBSD), where the system
# takes it; or, everywhere, the clock read as soon as a receive that was already waiting returns,
# which a busy host may make late.  Each is (option, unit of the stamp's second field).
STAMPS = {"kernel, ns": (35, 1e-9), "kernel, us": (29, 1e-6), "kernel, us (0x400)": (0x400, 1e-6),
          "waiting receive": (None, None)}
# Sockets that carry the largest datagrams, which some systems send and hold only when asked
# (FreeBSD: 9,216 and 42,080 bytes by default).
SOCKET_BUFFER = 1 << 18
# Runs the program with its standard output closed.
CLOSED_STDOUT = ["sh", "-c", 'exec "$@" >&-', "sh"]

if os.environ.get("TOLVEX_ISOLATED") not in ("netns", "shared"):
    sys.exit("run this test through isolated.py, away from any real control service")

started = []


def spawn(argv, **kw):
    """Starts argv; it is ended, if it has not ended by itself, when the test ends."""
    proc = subprocess.Popen(argv, **kw)
    proc.leads_group = kw.get("start_new_session", False)
    started.append(proc)
    return proc


def end(proc):
    """Ends proc, and all it started if it leads a process group of its own."""
    try:
        if proc.leads_group:
            os.killpg(proc.pid, signal.SIGKILL)
        elif proc.poll() is None:
            proc.kill()
    except ProcessLookupError:
        pass
    proc.wait()
    for pipe in (proc.stdin, proc.stdout, proc.stderr):
        if pipe:
            pipe.close()


def end_all():
    while started:
        end(started.pop())


class TestCase(unittest.TestCase):
    def setUp(self):
        self.addCleanup(end_all)


def finish(proc, timeout=BOUND):
    """What proc writes until it ends, at most timeout seconds from now; past that it is ended
    and the test fails."""
    try:
        return proc.communicate(timeout=max(timeout, 0))
    except subprocess.TimeoutExpired:
        end(proc)
        raise AssertionError(f"{proc.args} did not end within {timeout:.1f} s") from None


def readline(pipe, timeout=BOUND):
    """One line from pipe, or what came of it before the time ran out or the pipe closed."""
    line, deadline = b"", time.monotonic() + timeout
    waiting = select.poll()
    waiting.register(pipe, select.POLLIN)
    while not line.endswith(b"\n") and waiting.poll(max(deadline - time.monotonic(), 0) * 1000):
        byte = os.read(pipe.fileno(), 1)
        if not byte:
            break
        line += byte
    return line


def preload(library, **variables):
    """The environment that preloads library: by name along a search path, since the loader
    splits LD_PRELOAD at blanks and the tree may have one in its path.  FreeBSD's loader of
    32-bit programs reads variables of its own."""
    name, path = os.path.basename(library), os.path.dirname(library)
    return dict(os.environ, LD_PRELOAD=name, LD_LIBRARY_PATH=path, LD_32_PRELOAD=name,
                LD_32_LIBRARY_PATH=path, **variables)


@dataclass
class Run:
    requests: list = field(default_factory=list)
    stdout: bytes = b""
    stderr: bytes = b""
    status: int = 0
    elapsed: float = 0.0
    waited: float = None


def udp_socket(bind=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for option in (socket.SO_SNDBUF, socket.SO_RCVBUF):
        s.setsockopt(socket.SOL_SOCKET, option, SOCKET_BUFFER)
    if bind:
        s.bind(bind)
    return s


def drain(sock):
    got = []
    while select.select([sock], [], [], 0)[0]:
        got.append(sock.recv(65536))
    return got


def stamps():
    """The ways of stamping a request's arrival that this system offers."""
    with udp_socket() as s:
        offered = []
        for name, (option, _) in STAMPS.items():
            try:
                if option is not None:
                    s.setsockopt(socket.SOL_SOCKET, option, 1)
                    s.setsockopt(socket.SOL_SOCKET, option, 0)
                offered.append(name)
            except OSError:
                pass
        return offered


def stamped(sock, stamp):
    """sock, set to stamp each datagram's arrival in the named way."""
    option = STAMPS[stamp][0]
    if option is not None:
        sock.setsockopt(socket.SOL_SOCKET, option, 1)
    return sock


def receive(sock, stamp):
    """A datagram from sock, its source, and when it arrived as stamped."""
    arrived = time.time()
    data, ancillary, _, source = sock.recvmsg(65536, socket.CMSG_SPACE(16))
    option, unit = STAMPS[stamp]
    if option is not None:
        seconds, fraction = struct.unpack("@ll", ancillary[0][2][:struct.calcsize("@ll")])
        arrived = seconds + fraction * unit
    return data, source, arrived


def exchange(args, answers=(), stranger=None, listen=True, env=None, wrapper=(),
             stdout=subprocess.PIPE, stamp=None):
    """Runs tolvex with args; the fake service records every datagram that reaches it and answers
    the first with the answers, each one datagram to the request's source.  A stranger, if given
    as (datagram, host), sends from another port to the client's port at that host before them.
    The wrapper, if given, is the command that tolvex runs under; stdout, where its standard
    output goes, or "timed": a socket that takes what tolvex prints as one datagram, so that
    waited is the time from the request's arrival to that of its output, each stamped in the way
    named, or the first this system offers.  A sanitizer's work at the exit is not counted."""
    run = Run()
    stamp = stamp or stamps()[0]
    service = stamped(udp_socket(SERVICE), stamp) if listen else None
    output = stamped(udp_socket(("127.0.0.1", 0)), stamp) if stdout == "timed" else None
    if output:
        stdout = udp_socket()
        stdout.connect(output.getsockname())
    begun = time.monotonic()
    try:
        proc = spawn([*wrapper, *TOLVEX, *args], stdout=stdout, stderr=subprocess.PIPE, env=env)
    finally:
        if output:
            stdout.close()
    waiting, arrived = [sock for sock in (service, output) if sock], {}
    try:
        # Until the request, and the output if timed, have come, or the process has ended
        # without: whatever it sent before its end is there to be read then.
        while waiting and time.monotonic() < begun + BOUND:
            ready = select.select(waiting, [], [], 0.01)[0]
            if not ready and proc.poll() is not None:
                break
            for sock in ready:
                waiting.remove(sock)
                data, source, arrived[sock] = receive(sock, stamp)
                if sock is output:
                    run.stdout = data
                    continue
                run.requests.append(data)
                if stranger is not None:
                    with udp_socket() as other:
                        other.sendto(stranger[0], (stranger[1], source[1]))
                for answer in answers:
                    service.sendto(answer, source)
        out, run.stderr = finish(proc, begun + BOUND - time.monotonic())
        run.stdout = run.stdout if output else out
        if service in arrived and output in arrived:
            run.waited = arrived[output] - arrived[service]
        run.elapsed = time.monotonic() - begun
        run.status = proc.returncode
    finally:
        end(proc)
        if service:
            run.requests += drain(service)
            service.close()
        if output:
            output.close()
    return run
