"""Runs the built tolvex as a user would, against a fake control service that the test drives."""

import os
import select
import socket
import subprocess
import sys
import time
from dataclasses import dataclass, field

SERVICE = ("127.0.0.1", 20003)
# The commands that start the programs: under an emulator where this host cannot run the build.
EMULATOR = [os.environ["TOLVEX_EMULATOR"]] if os.environ.get("TOLVEX_EMULATOR") else []
TOLVEX = [*EMULATOR, os.environ.get("TOLVEX", "")]
STANDIN = [*EMULATOR, os.environ.get("STANDIN", "")]

if os.environ.get("TOLVEX_ISOLATED") not in ("netns", "shared"):
    sys.exit("run this test through isolated.py, away from any real control service")


@dataclass
class Run:
    requests: list = field(default_factory=list)
    stdout: bytes = b""
    stderr: bytes = b""
    status: int = 0
    elapsed: float = 0.0


def udp_socket(bind=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if bind:
        s.bind(bind)
    return s


def drain(sock):
    got = []
    while select.select([sock], [], [], 0)[0]:
        got.append(sock.recv(65536))
    return got


def exchange(args, answers=(), stranger=None, listen=True, env=None, wrapper=(),
             stdout=subprocess.PIPE):
    """Runs tolvex with args; the fake service records every datagram that reaches it and answers
    the first with the answers, each one datagram to the request's source.  A stranger's datagram,
    if given, reaches the client from another port before them.  The wrapper, if given, is the
    command that tolvex runs under; stdout, where its standard output goes."""
    run = Run()
    service = udp_socket(SERVICE) if listen else None
    started = time.monotonic()
    proc = subprocess.Popen([*wrapper, *TOLVEX, *args], stdout=stdout, stderr=subprocess.PIPE,
                            env=env)
    while service and proc.poll() is None:
        if select.select([service], [], [], 0.01)[0]:
            request, source = service.recvfrom(65536)
            run.requests.append(request)
            if stranger is not None:
                with udp_socket() as other:
                    other.sendto(stranger, source)
            for answer in answers:
                service.sendto(answer, source)
            break
    run.stdout, run.stderr = proc.communicate(timeout=10)
    run.elapsed = time.monotonic() - started
    run.status = proc.returncode
    if service:
        run.requests += drain(service)
        service.close()
    return run
