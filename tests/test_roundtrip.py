"""tools/roundtrip, the README's first command, as a newcomer runs it."""

import os
import re
import subprocess
import threading
import unittest

from harness import SERVICE, TestCase, finish, spawn, udp_socket

ROUNDTRIP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "roundtrip")


def roundtrips(*commands):
    """Runs tools/roundtrip once for each command, all at once; returns the standard output,
    standard error and status of each.  Each leads a process group of its own, so that a run that
    hangs is ended with all it started."""
    procs = [spawn([ROUNDTRIP, *words], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                   start_new_session=True) for words in commands]
    return [(*finish(proc, 100), proc.returncode) for proc in procs]


class RoundTrip(TestCase):
    def test_the_stand_in_answers_each_of_several_at_once_and_shows_its_request(self):
        words = [f"word{n}" for n in range(4)]
        for word, (out, err, status) in zip(words, roundtrips(*(["echo", w] for w in words))):
            with self.subTest(word=word):
                self.assertEqual((out, status), (word.encode() + b"\n", 0))
                shown = re.escape(rf"echo\x20{word}\x20".encode())
                self.assertRegex(err, rb"^\(no control service runs: tolvex-standin answers\)\n"
                                      rb"\(tolvex-standin got: from 127\.0\.0\.1:\d+, \d+ bytes: "
                                      + shown + rb"\)\n$")

    def test_a_taken_port_gets_the_command_whatever_holds_it(self):
        with udp_socket(SERVICE) as holder:
            def answer():
                request, source = holder.recvfrom(65536)
                holder.sendto(b"held: " + request, source)
            responder = threading.Thread(target=answer, daemon=True)
            responder.start()
            run = roundtrips(["status"])[0]
            responder.join(timeout=10)
        taken = b"(127.0.0.1 port 20003 is taken: the command goes to whatever holds it)\n"
        self.assertEqual(run, (b"held: status \n", taken, 0))


if __name__ == "__main__":
    unittest.main()
