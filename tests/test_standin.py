"""The stand-in control service, driven through tolvex as a person trying the client would."""

import re
import signal
import subprocess
import unittest

from harness import SERVICE, STANDIN, TOLVEX, udp_socket

READY = b"tolvex-standin: listening on 127.0.0.1 port 20003\n"
HELP = b"ping: answers pong\necho WORDS: answers the words\nhelp: lists the commands\n"


def start(*args):
    proc = subprocess.Popen([*STANDIN, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stderr.readline() == READY
    return proc


def tolvex(*words):
    return subprocess.run([*TOLVEX, *words], capture_output=True, timeout=10).stdout


class StandIn(unittest.TestCase):
    def test_answers_each_command_and_shows_each_request_byte_for_byte(self):
        cases = [
            (["ping"], b"pong\n", rb"5 bytes: ping\x20"),
            (["echo", "a", "b c"], b"a b c\n", rb"11 bytes: echo\x20a\x20b\x20c\x20"),
            (["echo"], b"", rb"5 bytes: echo\x20"),
            (["help"], HELP, rb"5 bytes: help\x20"),
            (["ping", "now"], b"unknown command: ping now\n", rb"9 bytes: ping\x20now\x20"),
            ([b"\\\x01\x7f\xff"], b"unknown command: \\\x01\x7f\xff\n",
             rb"5 bytes: \\\x01\x7f\xff\x20"),
            ([""], b"unknown command: \n", rb"1 bytes: \x20"),
        ]
        proc = start("-n", str(len(cases)))
        for words, answer, _ in cases:
            with self.subTest(words=words):
                self.assertEqual(tolvex(*words), answer)
        out, err = proc.communicate(timeout=10)
        lines = out.splitlines()
        self.assertEqual(len(lines), len(cases))
        for line, (_, _, shown) in zip(lines, cases):
            self.assertRegex(line, rb"^from 127\.0\.0\.1:\d+, " + re.escape(shown) + rb"$")
        self.assertEqual((err, proc.returncode), (b"tolvex-standin: stopped after 7 requests\n", 0))

    def test_interrupt_stops_it_cleanly(self):
        proc = start()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        self.assertEqual((out, err, proc.returncode),
                         (b"", b"tolvex-standin: stopped after 0 requests\n", 0))

    def test_a_taken_port_or_a_bad_command_line_is_refused(self):
        usage = b"usage: tolvex-standin [-n count]\n"
        taken = b"tolvex-standin: 127.0.0.1 port 20003 is already in use\n"
        with udp_socket(SERVICE):
            run = subprocess.run(STANDIN, capture_output=True, timeout=10)
            self.assertEqual((run.stdout, run.stderr, run.returncode), (b"", taken, 1))
        for args in (["-n", "0"], ["-n", "2x"], ["-x"], ["extra"]):
            with self.subTest(args=args):
                run = subprocess.run([*STANDIN, *args], capture_output=True, timeout=10)
                self.assertEqual((run.stdout, run.returncode), (b"", 2))
                self.assertTrue(run.stderr.endswith(usage), run.stderr)


if __name__ == "__main__":
    unittest.main()
