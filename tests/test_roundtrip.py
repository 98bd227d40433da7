"""tools/roundtrip, the README's first command, as a newcomer runs it."""

import os
import re
import subprocess
import threading
import unittest

from harness import SERVICE, udp_socket

ROUNDTRIP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "roundtrip")


def roundtrip(*words):
    return subprocess.run([ROUNDTRIP, *words], capture_output=True, timeout=120)


class RoundTrip(unittest.TestCase):
    def test_the_stand_in_answers_where_no_service_runs_and_shows_the_request(self):
        run = roundtrip("echo", "a b")
        self.assertEqual((run.stdout, run.returncode), (b"a b\n", 0))
        self.assertRegex(run.stderr, rb"^\(no control service runs: tolvex-standin answers\)\n"
                                     rb"\(tolvex-standin got: from 127\.0\.0\.1:\d+, 9 bytes: "
                                     + re.escape(rb"echo\x20a\x20b\x20") + rb"\)\n$")

    def test_a_taken_port_gets_the_command_whatever_holds_it(self):
        with udp_socket(SERVICE) as holder:
            def answer():
                request, source = holder.recvfrom(65536)
                holder.sendto(b"held: " + request, source)
            responder = threading.Thread(target=answer, daemon=True)
            responder.start()
            run = roundtrip("status")
            responder.join(timeout=10)
        taken = b"(127.0.0.1 port 20003 is taken: the command goes to whatever holds it)\n"
        self.assertEqual((run.stdout, run.stderr, run.returncode),
                         (b"held: status \n", taken, 0))


if __name__ == "__main__":
    unittest.main()
