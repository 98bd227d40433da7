"""tolvex against a fake control service: the request on the wire, the answer on the terminal."""

import contextlib
import errno
import os
import re
import subprocess
import unittest

from harness import CLOSED_STDOUT, TestCase, exchange, preload, stamps, udp_socket

EVERY_BYTE = bytes(range(1, 256))
REFUSED = b"command too long\n"
# What a run that does not wait may take: well short of the 3-second wait, yet loose enough for an
# emulated, sanitized build on a busy host.
NOT_WAITED = 2
# Where the time runs from a stamp that a busy host may make late, it may seem that much shorter.
LATE_STAMP = {"waiting receive": 0.04}
# What follows the wait before its outcome is written: the program woken on a busy host.
WAKE = 0.1
MANUAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unixutils", "src",
                      "tolvex.1")


def timer_slack(wait):
    """How much later than asked the system may end a wait of that many seconds.  FreeBSD lets
    the kernel gather timers that end close together: by a power-of-two share of the wait, set
    by kern.timecounter.alloweddeviation (5%, which gives 1/16).  Linux, by 0.1% of it for a
    program of ordinary priority."""
    try:
        percent = int(subprocess.run(["sysctl", "-n", "kern.timecounter.alloweddeviation"],
                                     capture_output=True, timeout=10, check=True).stdout)
    except (OSError, ValueError, subprocess.SubprocessError):
        return wait / 1000
    if percent <= 0:
        return 0
    share = (99 + percent) // percent
    return wait / (1 << ((share + (share >> 1)).bit_length() - 1))


@contextlib.contextmanager
def local_ports(low, high, test):
    """The system gives sockets that ask for no port of their own one from low to high, where a
    test may set that: in its private network namespace, on Linux."""
    path = "/proc/sys/net/ipv4/ip_local_port_range"
    if os.environ["TOLVEX_ISOLATED"] != "netns" or not os.path.exists(path):
        test.skipTest("this system's own ports can be set only in a private network namespace")
    with open(path, encoding="ascii") as ports:
        before = ports.read()
    with open(path, "w", encoding="ascii") as ports:
        ports.write(f"{low} {high}")
    try:
        yield
    finally:
        with open(path, "w", encoding="ascii") as ports:
            ports.write(before)


class Request(TestCase):
    def test_words_go_out_as_one_datagram_each_followed_by_a_blank(self):
        cases = [
            (["a", "bc"], b"a bc "),
            (["a b"], b"a b "),
            (["a", "", "b"], b"a  b "),
            ([""], b" "),
            (["-n", "--", "-"], b"-n -- - "),
            ([EVERY_BYTE], EVERY_BYTE + b" "),
            (["x" * 510], b"x" * 510 + b" "),
            ([""] * 511, b" " * 511),
            (["a" * 254, "b" * 255], b"a" * 254 + b" " + b"b" * 255 + b" "),
        ]
        for args, wire in cases:
            with self.subTest(args=args[:3], n=len(args)):
                run = exchange(args, [b"ok"])
                self.assertEqual(run.requests, [wire])
                self.assertEqual((run.stdout, run.stderr, run.status), (b"ok\n", b"", 0))

    def test_a_command_longer_than_511_bytes_is_refused_and_nothing_sent(self):
        cases = [["x" * 511], [""] * 512, ["a" * 255, "b" * 255], ["a", "x" * 100000],
                 ["x" * 300, "y" * 300, "z"]]
        for args in cases:
            with self.subTest(lengths=[len(a) for a in args[:3]], n=len(args)):
                run = exchange(args, [b"ok"])
                self.assertEqual(run.requests, [])
                self.assertEqual((run.stdout, run.stderr, run.status), (REFUSED, b"", 0))
                self.assertLess(run.elapsed, NOT_WAITED)

    def test_no_command_prints_usage_and_sends_nothing(self):
        run = exchange([], [b"ok"])
        self.assertEqual(run.requests, [])
        self.assertEqual((run.stdout, run.stderr, run.status),
                         (b"argument must be specified\n", b"", 0))


class Answer(TestCase):
    def test_the_first_answer_is_printed_up_to_its_first_nul_within_512_bytes(self):
        cases = [
            ([b"pong"], b"pong\n"),
            ([b"x" * 511], b"x" * 511 + b"\n"),
            ([b"y" * 512], b"y" * 512 + b"\n"),
            ([b"z" * 600], b"z" * 512 + b"\n"),
            ([b"w" * 511 + b"\0"], b"w" * 511 + b"\n"),
            ([b"ab\0cd"], b"ab\n"),
            ([b"\0abc"], b"\n"),
            ([b"line\n"], b"line\n\n"),
            ([EVERY_BYTE], EVERY_BYTE + b"\n"),
            ([b""], b""),
            ([b"first", b"second"], b"first\n"),
        ]
        for answers, shown in cases:
            with self.subTest(answer=answers[0][:16], size=len(answers[0])):
                run = exchange(["status"], answers)
                self.assertEqual(run.requests, [b"status "])
                self.assertEqual((run.stdout, run.stderr, run.status), (shown, b"", 0))

    def test_a_stranger_on_this_host_that_answers_first_is_shown_and_no_other(self):
        # The client's port at another of the host's addresses is not the client's.
        cases = [("127.0.0.1", b"stranger\n"), ("127.0.0.9", b"service\n")]
        for host, shown in cases:
            with self.subTest(stranger=host):
                try:
                    udp_socket((host, 0)).close()
                except OSError as e:
                    self.skipTest(f"this host has no loopback address {host}: {e.strerror}")
                run = exchange(["status"], [b"service"], stranger=(b"stranger", host))
                self.assertEqual((run.stdout, run.stderr, run.status), (shown, b"", 0))


class Timeout(TestCase):
    def test_no_answer_within_3000_ms_prints_timeout(self):
        # Timed from the request's arrival, which the wait follows, to TIMEOUT's, in each way this
        # system offers; and where the system gives the client the service's own port, which it
        # must not send the request to, and no other.
        latest = 3 + timer_slack(3) + WAKE
        cases = [(True, stamp, None) for stamp in stamps()] + [(False, None, None),
                                                                 (False, None, (20003, 20003))]
        for listen, stamp, ports in cases:
            with self.subTest(listening=listen, stamp=stamp, ports=ports), \
                    local_ports(*ports, self) if ports else contextlib.nullcontext():
                earliest = 2.99 - LATE_STAMP.get(stamp, 0)
                # A busy host may wake the client, or the test, late now and then: a wait out of
                # bounds is tried again, twice at most, and a wrong one fails every try.
                for _ in range(3):
                    run = exchange(["status"], [], listen=listen, stamp=stamp,
                                   stdout="timed" if listen else subprocess.PIPE)
                    if not listen or run.waited is not None and earliest <= run.waited < latest:
                        break
                self.assertEqual(run.requests, [b"status "] if listen else [])
                self.assertEqual((run.stdout, run.stderr, run.status), (b"TIMEOUT\n", b"", 0))
                self.assertGreaterEqual(run.elapsed, 2.99)
                self.assertLess(run.elapsed, 3 + NOT_WAITED)
                if listen:
                    self.assertGreaterEqual(run.waited, earliest)
                    self.assertLess(run.waited, latest)


class Failure(TestCase):
    """Failed system calls, made to fail by a preloaded library."""

    def test_a_failed_call_is_reported_on_standard_error_and_not_waited_out(self):
        cases = [
            ("poll", errno.EINTR, "poll: : ", [b"status "]),
            ("recvfrom", errno.ENOMEM, "recvfrom: ", [b"status "]),
            ("socket", errno.EMFILE, "socket: ", []),
            ("bind", errno.EADDRNOTAVAIL, "bind: ", []),
            ("sendto", errno.ENETUNREACH, "sendto: ", []),
            ("malloc", errno.ENOMEM, "malloc: ", []),
        ]
        for call, code, prefix, sent in cases:
            with self.subTest(call=call):
                faults = os.environ["TOLVEX_FAULTS_MALLOC" if call == "malloc" else "TOLVEX_FAULTS"]
                if not faults:
                    self.skipTest("no library can fail malloc in front of this build's allocator")
                env = preload(faults, TOLVEX_FAIL=call, TOLVEX_FAIL_ERRNO=str(code))
                run = exchange(["status"], [b"ok"], env=env)
                self.assertEqual(run.requests, sent)
                report = (prefix + os.strerror(code) + "\n").encode()
                self.assertEqual((run.stdout, run.stderr, run.status), (b"", report, 0))
                self.assertLess(run.elapsed, NOT_WAITED)

    def test_output_that_cannot_be_written_is_reported(self):
        full = ("stdout: " + os.strerror(errno.ENOSPC) + "\n").encode()
        # A closed standard output is reported as such, and its descriptor is no socket's.
        closed = ("stdout: " + os.strerror(errno.EBADF) + "\n").encode()
        cases = [
            (["status"], [b"pong"], "full", full),
            (["status"], [b"y" * 600], "full", full),
            (["status"], [], "full", full),
            ([], [], "full", full),
            (["x" * 511], [], "full", full),
            (["status"], [b""], "full", b""),
            (["status"], [b"pong"], "closed", closed),
            (["status"], [], "closed", closed),
            ([], [], "closed", closed),
        ]
        # A full disk is the system's device that is always full, where it has one, and
        # everywhere a write made to fail by the fault library.
        outputs = {"full": ["device", "faults"], "closed": ["closed"]}
        for args, answers, output, report in cases:
            for how in outputs[output]:
                with self.subTest(args=[a[:8] for a in args], answers=[a[:8] for a in answers],
                                  output=how):
                    run = self.written_to(how, args, answers)
                    self.assertEqual((run.stderr, run.status), (report, 0))
                    self.assertEqual(run.requests, [b"status "] if args == ["status"] else [])

    def written_to(self, how, args, answers):
        if how == "closed":
            return exchange(args, answers, wrapper=CLOSED_STDOUT)
        if how == "faults":
            env = preload(os.environ["TOLVEX_FAULTS"], TOLVEX_FAIL="fflush",
                          TOLVEX_FAIL_ERRNO=str(errno.ENOSPC))
            with open(os.devnull, "wb") as null:
                return exchange(args, answers, stdout=null, env=env)
        if not os.path.exists("/dev/full"):
            self.skipTest("this system has no /dev/full")
        with open("/dev/full", "wb") as full:
            return exchange(args, answers, stdout=full)


class Manual(TestCase):
    def test_the_manuals_script_example_stops_on_every_failure_under_set_e(self):
        with open(MANUAL, encoding="utf-8") as page:
            example = re.findall(r"^\.Bd -literal.*\n((?:.*\n)*?)\.Ed$", page.read(), re.M)[-1]
        self.assertIn("set -e", example)
        # The script runs the tolvex under test in the place of the example's, through env(1),
        # which gives the fault library to tolvex alone.
        script = example.replace("tolvex status", '"$@" status', 1)
        faults = preload(os.environ["TOLVEX_FAULTS"], TOLVEX_FAIL="sendto",
                         TOLVEX_FAIL_ERRNO=str(errno.ENETUNREACH))
        failing = [f"{name}={faults[name]}" for name in
                   ("LD_PRELOAD", "LD_LIBRARY_PATH", "LD_32_PRELOAD", "LD_32_LIBRARY_PATH",
                    "TOLVEX_FAIL", "TOLVEX_FAIL_ERRNO")]
        unreachable = ("sendto: " + os.strerror(errno.ENETUNREACH) + "\n").encode()
        cases = [
            ([], [b"running"], (b"status: running\n", b"", 0)),
            ([], [b""], (b"", b"", 1)),
            ([], [], (b"", b"", 1)),
            (failing, [b"running"], (b"", unreachable, 1)),
        ]
        for fault, answers, outcome in cases:
            with self.subTest(fault=fault[-2:], answers=answers):
                run = exchange([], answers, wrapper=["sh", "-c", script, "sh", "env", *fault])
                self.assertEqual((run.stdout, run.stderr, run.status), outcome)


class Memcheck(TestCase):
    """The main outcomes under valgrind, which reports any bad memory access, and any block no
    longer reachable at the exit, on standard error."""

    def test_outcomes_are_clean_under_memcheck(self):
        valgrind = ["valgrind", "-q", "--vgdb=no", "--error-exitcode=99", "--leak-check=full",
                    "--errors-for-leak-kinds=definite,indirect,possible"]
        cases = [
            (["status"], [b"y" * 600], b"y" * 512 + b"\n"),
            (["status"], [], b"TIMEOUT\n"),
            (["x" * 511], [], REFUSED),
            ([], [], b"argument must be specified\n"),
        ]
        for args, answers, shown in cases:
            with self.subTest(args=args[:1]):
                run = exchange(args, answers, wrapper=valgrind)
                self.assertEqual((run.stdout, run.stderr, run.status), (shown, b"", 0))


if __name__ == "__main__":
    unittest.main()
