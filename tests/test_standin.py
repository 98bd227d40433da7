"""The stand-in control service, driven through tolvex as a person trying the client would."""

import errno
import fcntl
import os
import pty
import re
import resource
import select
import signal
import subprocess
import termios
import time
import unittest

from harness import (BOUND, SERVICE, STANDIN, TOLVEX, TestCase, end_all, finish, preload,
                     readline, spawn, udp_socket)

READY = b"tolvex-standin: listening on 127.0.0.1 port 20003\n"
HELP = (b"ping: answers pong\necho WORDS: answers the words\n"
        b"status: answers how long it has run, and how many it answered\n"
        b"help: lists the commands\n")
USAGE = b"usage: tolvex-standin [-h] [-n count]\n"


def start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, ready=None, **kw):
    """Starts the stand-in and waits until it listens, as it says on ready (standard error by
    default)."""
    proc = spawn([*STANDIN, *args], stdout=stdout, stderr=stderr, **kw)
    said = readline(ready or proc.stderr)
    assert said.replace(b"\r\n", b"\n") == READY, said
    return proc


def stop(proc, sig=signal.SIGINT):
    """Stops the stand-in with sig; returns what it wrote on standard error, its status, how long
    it took to stop and the log it wrote on standard output, if that was a pipe of the test's."""
    proc.send_signal(sig)
    started = time.monotonic()
    out, err = finish(proc)
    return err, proc.returncode, time.monotonic() - started, out


def stopped(count, unshown=0):
    plural = "" if count == 1 else "s"
    more = f", {unshown} not shown" if unshown else ""
    return f"tolvex-standin: stopped after {count} request{plural}{more}\n".encode()


def tolvex(*words):
    return finish(spawn([*TOLVEX, *words], stdout=subprocess.PIPE, stderr=subprocess.PIPE))[0]


def flood(test, requests, bound=5):
    """Sends each request in turn and checks its answer, which must come within bound seconds;
    returns how many were sent."""
    with udp_socket() as client:
        client.settimeout(bound)
        for request in requests:
            client.sendto(request, SERVICE)
            test.assertEqual(client.recv(65536), request[len(b"echo "):])
    return len(requests)


def read_until(pipe, done, timeout=10):
    """What comes from pipe until done(what came), or the time runs out or the pipe closes."""
    got, deadline = b"", time.monotonic() + timeout
    while not done(got) and select.select(
            [pipe], [], [], max(deadline - time.monotonic(), 0))[0]:
        chunk = os.read(pipe.fileno(), 1 << 20)
        if not chunk:
            break
        got += chunk
    return got


# Log lines of 4 KB, more than the pipe and the stand-in's own buffer hold, and the largest one.
FLOOD = [b"echo " + b"\x01" * 1000] * 2000 + [b"echo " + b"\x02" * 65502]
LAGGING = b"tolvex-standin: standard output is not keeping up; requests are not being shown\n"
GONE = b"tolvex-standin: standard output: Broken pipe; requests are no longer shown\n"
# Requests whose log lines (of 16 KB: each byte shown as \x01) soon fill a pipe or a terminal
# that nobody reads; and the most that a pipe holds, on Linux and FreeBSD.
LARGE = b"echo " + b"\x01" * 4056
LARGE_LINE = len(b"from 127.0.0.1:65535, 4061 bytes: echo\\x20\n") + 4 * 4056
PIPE_CAPACITY = 65536


class StandIn(TestCase):
    def test_answers_each_command_and_shows_each_request_byte_for_byte(self):
        # Words go through tolvex, which adds a blank to each; a datagram goes as it is, and its
        # answer is shown here as tolvex would show it.
        cases = [
            (["status"], re.compile(rb"up \d+ s, 0 requests answered\n"), rb"7 bytes: status\x20"),
            (["ping"], b"pong\n", rb"5 bytes: ping\x20"),
            (["echo", "a", "b c"], b"a b c\n", rb"11 bytes: echo\x20a\x20b\x20c\x20"),
            (["echo"], b"", rb"5 bytes: echo\x20"),
            (["help"], HELP, rb"5 bytes: help\x20"),
            (["ping", "now"], b"unknown command: ping now\n", rb"9 bytes: ping\x20now\x20"),
            ([b"\\\x01\x7f\xff"], b"unknown command: \\\x01\x7f\xff\n",
             rb"5 bytes: \\\x01\x7f\xff\x20"),
            ([""], b"unknown command: \n", rb"1 byte: \x20"),
            (b"ping\n", b"pong\n", rb"5 bytes: ping\x0a"),
            (b"status\r\n", re.compile(rb"up \d+ s, 9 requests answered\n"),
             rb"8 bytes: status\x0d\x0a"),
            (b"echo a\n", b"a\n", rb"7 bytes: echo\x20a\x0a"),
            (b"ping \n", b"unknown command: ping \n", rb"6 bytes: ping\x20\x0a"),
            (b"ping\n\n", b"unknown command: ping\n\n", rb"6 bytes: ping\x0a\x0a"),
        ]
        proc = start("-n", str(len(cases)))
        for request, answer, _ in cases:
            with self.subTest(request=request):
                if isinstance(request, bytes):
                    with udp_socket() as client:
                        client.settimeout(BOUND)
                        client.sendto(request, SERVICE)
                        got = client.recv(65536) + b"\n"
                else:
                    got = tolvex(*request)
                if isinstance(answer, bytes):
                    self.assertEqual(got, answer)
                else:
                    self.assertRegex(got, answer)
        out, err = proc.communicate(timeout=10)
        lines = out.splitlines()
        self.assertEqual(len(lines), len(cases))
        for line, (_, _, shown) in zip(lines, cases):
            self.assertRegex(line, rb"^from 127\.0\.0\.1:\d+, " + re.escape(shown) + rb"$")
        self.assertEqual((err, proc.returncode), (stopped(len(cases)), 0))

    def test_each_stop_signal_stops_it_cleanly(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            for args in ([], ["-n", "2147483647"]):
                with self.subTest(signal=sig.name, args=args):
                    proc = start(*args)
                    err, status, _, out = stop(proc, sig)
                    self.assertEqual((out, err, status), (b"", stopped(0), 0))

    def test_a_taken_port_or_a_bad_command_line_is_refused_in_its_own_words(self):
        taken = b"tolvex-standin: 127.0.0.1 port 20003 is already in use\n"
        with udp_socket(SERVICE):
            run = subprocess.run(STANDIN, capture_output=True, timeout=10)
            self.assertEqual((run.stdout, run.stderr, run.returncode), (b"", taken, 1))
        count = b"the count must be a whole number from 1 to 2147483647, not "
        cases = [
            (["-x"], b"unknown option -x"),
            (["-n"], b"missing count after -n"),
            (["extra"], b"unexpected argument extra"),
            (["-n", "3", "extra"], b"unexpected argument extra"),
        ] + [(["-n", n], count + n.encode())
             for n in ("0", "-1", "abc", "1x", "2147483648", "99999999999999999999", " 5", "+5",
                       "010")] + [(["-n", ""], count + b"an empty string")]
        for args, why in cases:
            with self.subTest(args=args):
                run = subprocess.run([*STANDIN, *args], capture_output=True, timeout=10)
                self.assertEqual((run.stdout, run.stderr, run.returncode),
                                 (b"", b"tolvex-standin: " + why + b"\n" + USAGE, 2))
        run = subprocess.run([*STANDIN, "-h"], capture_output=True, timeout=10)
        self.assertEqual((run.stdout, run.stderr, run.returncode), (USAGE, b"", 0))

    def test_it_answers_on_when_its_log_is_gone(self):
        reader, writer = os.pipe()
        proc = start(stdout=writer)
        os.close(writer)
        os.close(reader)
        for _ in range(3):
            self.assertEqual(tolvex("ping"), b"pong\n")
        self.assertEqual(readline(proc.stderr), GONE)
        self.assertEqual(stop(proc)[:2], (stopped(3, 3), 0))

    def test_it_answers_all_and_stops_at_once_while_nobody_reads_its_log(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                proc = start()
                sent = flood(self, FLOOD)
                self.assertEqual(tolvex("ping"), b"pong\n")
                err, status, elapsed, out = stop(proc, sig)
                self.assertLess(elapsed, 1)
                shown = out.count(b"\n")
                self.assertEqual((err, status), (LAGGING + stopped(sent + 1, sent + 1 - shown), 0))
                self.assertLess(shown, sent / 2)

    def test_its_log_goes_on_once_its_reader_catches_up(self):
        # A reader's pipe that may not block the writer either.
        reader, writer = os.pipe()
        os.set_blocking(writer, False)
        proc = start(stdout=writer)
        os.close(writer)
        with os.fdopen(reader, "rb") as log:
            sent = flood(self, FLOOD)
            # Until the log has room again, a line of the latest request is let go too.
            lines = b""
            for again in range(1, 50):
                self.assertEqual(tolvex("echo", f"again{again}"), f"again{again}\n".encode())
                last = f"echo\\x20again{again}\\x20\n".encode()
                lines += read_until(log, lambda got, last=last: got.endswith(last), timeout=1)
                if lines.endswith(last):
                    break
            err, status, _, _ = stop(proc)
        self.assertTrue(lines.endswith(last))
        sent += again
        shown = lines.count(b"\n")
        self.assertEqual((err, status), (LAGGING + stopped(sent, sent - shown), 0))

    def test_a_failed_receive_is_reported_and_it_answers_on(self):
        env = preload(os.environ["TOLVEX_FAULTS"], TOLVEX_FAIL="recvfrom",
                      TOLVEX_FAIL_ERRNO=str(errno.ENOMEM), TOLVEX_FAIL_TIMES="1")
        proc = start(env=env)
        self.assertEqual(tolvex("ping"), b"pong\n")
        self.assertRegex(readline(proc.stdout), rb", 5 bytes: ping\\x20\n$")
        failed = f"tolvex-standin: recvfrom: {os.strerror(errno.ENOMEM)}\n".encode()
        self.assertEqual(stop(proc)[:2], (failed + stopped(1), 0))

    def test_it_works_whatever_its_socket_descriptor(self):
        inherited = 1100
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard != resource.RLIM_INFINITY and hard < inherited + 64:
            self.skipTest(f"the descriptor limit, {hard}, is too low to start it with {inherited}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (inherited + 64, hard))
        null = os.open(os.devnull, os.O_RDONLY)
        fds = [os.dup(null) for _ in range(inherited)]
        try:
            proc = start(pass_fds=fds)
        finally:
            for fd in fds + [null]:
                os.close(fd)
        self.assertEqual(tolvex("ping"), b"pong\n")
        self.assertRegex(readline(proc.stdout), rb"^from 127\.0\.0\.1:\d+, 5 bytes: ping\\x20\n$")
        self.assertEqual(stop(proc, signal.SIGTERM)[:2], (stopped(1), 0))

    def test_it_answers_at_once_wherever_its_output_goes_and_leaves_that_as_found(self):
        # Never read: one pipe for both streams, or a terminal for either.
        cases = {"one pipe for both": ("pipe", "pipe"), "stdout a terminal": ("tty", "pipe"),
                 "stderr a terminal": ("pipe", "tty")}
        for case, (stdout, stderr) in cases.items():
            with self.subTest(output=case):
                master, tty = pty.openpty()
                reader, pipe = os.pipe()
                ends = {"tty": (tty, master), "pipe": (pipe, reader)}
                found = [fcntl.fcntl(fd, fcntl.F_GETFL) for fd in (tty, pipe)]
                terminal = termios.tcgetattr(tty)
                try:
                    with open(ends[stderr][1], "rb", buffering=0, closefd=False) as ready:
                        proc = start(stdout=ends[stdout][0], stderr=ends[stderr][0], ready=ready)
                    flood(self, [LARGE] * 300, bound=1)
                    _, status, elapsed, _ = stop(proc, signal.SIGTERM)
                    self.assertEqual(status, 0)
                    self.assertLess(elapsed, 1)
                    self.assertEqual([fcntl.fcntl(fd, fcntl.F_GETFL) for fd in (tty, pipe)], found)
                    self.assertEqual(termios.tcgetattr(tty), terminal)
                finally:
                    end_all()
                    for fd in (master, tty, reader, pipe):
                        os.close(fd)

    def test_its_stop_line_counts_every_line_not_written_whole(self):
        # A reader that reads 11 lines, stalls through 400 requests and goes, before 50 more.
        reader, writer = os.pipe()
        proc = start(stdout=writer)
        os.close(writer)
        with os.fdopen(reader, "rb") as log:
            flood(self, [b"echo x"] * 11)
            read = read_until(log, lambda got: got.count(b"\n") == 11).count(b"\n")
            flood(self, [LARGE] * 400)
        flood(self, [LARGE] * 50)
        said = read_until(proc.stderr, lambda got: got.endswith(GONE))
        err, status, _, _ = stop(proc, signal.SIGTERM)
        self.assertEqual((said, status), (LAGGING + GONE, 0))
        unshown = int(re.fullmatch(rb"tolvex-standin: stopped after 461 requests, (\d+) not "
                                   rb"shown\n", err).group(1))
        # Besides those read, the pipe held whole lines that its reader never took.
        held = PIPE_CAPACITY // LARGE_LINE
        self.assertEqual(read, 11)
        self.assertGreaterEqual(unshown, 461 - read - held)
        self.assertLessEqual(unshown, 461 - read)

if __name__ == "__main__":
    unittest.main()
