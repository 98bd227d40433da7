"""tools/roundtrip, the README's first command, as a newcomer runs it."""

import ctypes
import os
import re
import subprocess
import tempfile
import threading
import unittest

from harness import SERVICE, TestCase, finish, spawn, udp_socket

TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
MS_RDONLY, MS_REMOUNT, MS_BIND = 1, 32, 4096


def roundtrips(*commands, tree=TREE, env=None):
    """Runs tools/roundtrip of tree once for each command, all at once; returns the standard
    output, standard error and status of each.  Each leads a process group of its own, so that a
    run that hangs is ended with all it started."""
    procs = [spawn([os.path.join(tree, "tools", "roundtrip"), *words], stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE, start_new_session=True, env=env) for words in commands]
    return [(*finish(proc, 100), proc.returncode) for proc in procs]


def read_only(test):
    """This tree as one that cannot be written, not even by root: a read-only bind mount, in the
    test's own mount namespace."""
    if os.environ["TOLVEX_ISOLATED"] != "netns":
        test.skipTest("a tree that cannot be written is made only in a private mount namespace")
    view = tempfile.mkdtemp()
    libc = ctypes.CDLL(None, use_errno=True)
    for flags in (MS_BIND, MS_BIND | MS_REMOUNT | MS_RDONLY):
        if libc.mount(os.path.realpath(TREE).encode(), view.encode(), None, flags, None) != 0:
            test.skipTest(f"no read-only bind mount here: {os.strerror(ctypes.get_errno())}")
    return view


class RoundTrip(TestCase):
    def test_the_stand_in_answers_each_of_several_at_once_and_shows_its_request(self):
        # Side by side from this tree, and alone from one that cannot be written, whose build
        # goes to the user's cache.
        cache = rb"\(this tree cannot be written: building in .*/\.cache/tolvex/roundtrip-\d+\)\n"
        for runs, writable in ((4, True), (1, False)):
            with self.subTest(writable=writable):
                tree = TREE if writable else read_only(self)
                env = dict(os.environ, HOME=tempfile.mkdtemp())
                env.pop("XDG_CACHE_HOME", None)
                words = [f"word{n}" for n in range(runs)]
                ran = roundtrips(*(["echo", w] for w in words), tree=tree, env=env)
                for word, (out, err, status) in zip(words, ran):
                    self.assertEqual((out, status), (word.encode() + b"\n", 0))
                    shown = re.escape(rf"echo\x20{word}\x20".encode())
                    self.assertRegex(err, b"^" + (b"" if writable else cache) +
                                     rb"\(no control service runs: tolvex-standin answers\)\n"
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
