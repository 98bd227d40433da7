"""Random command lines and answers, each checked against the rule that tolvex must keep.

The cases come from a seed, so a failure can be run again exactly; it is reported with the seed
and the whole case.  Each build draws cases of its own (its seed comes from what kind of build it
is), so that together the builds try more than any one would; TOLVEX_SEED and TOLVEX_CASES choose
others.  A build that this host can only run under an emulator, where each run costs several
times as much, takes fewer.
"""

import os
import random
import unittest
import zlib

from harness import EMULATOR, TestCase, exchange

SEED = int(os.environ.get("TOLVEX_SEED") or zlib.crc32(os.environ.get("TOLVEX_BUILD", "").encode()))
CASES = int(os.environ.get("TOLVEX_CASES", "50" if EMULATOR else "150"))
LIMIT = 511


def random_bytes(rng, length, nul_chance=0.0):
    return bytes(0 if rng.random() < nul_chance else rng.randint(1, 255) for _ in range(length))


def random_words(rng):
    count = rng.randint(1, 12)
    # Around the limit most of the time, where an off-by-one would show; well past it sometimes.
    total = rng.choice([rng.randint(0, 40), rng.randint(LIMIT - 2, LIMIT + 2),
                        rng.randint(LIMIT - 16, LIMIT + 16), rng.randint(0, 2 * LIMIT),
                        rng.randint(LIMIT, 20 * LIMIT)])
    cuts = sorted(rng.randint(0, max(total - count, 0)) for _ in range(count - 1))
    lengths = [b - a for a, b in zip([0] + cuts, cuts + [max(total - count, 0)])]
    return [random_bytes(rng, n) for n in lengths]


def random_answer(rng):
    length = rng.choice([0, 511, 512, 513, rng.randint(1, 2000), rng.randint(1, 2000)])
    return random_bytes(rng, length, nul_chance=rng.choice([0.0, 0.001, 0.01, 0.1]))


def expected(words, answer):
    request = b"".join(word + b" " for word in words)
    if len(request) > LIMIT:
        return [], b"command too long\n"
    if not answer:
        return [request], b""
    return [request], answer[:512].split(b"\0")[0] + b"\n"


class Random(TestCase):
    def test_random_round_trips_keep_the_rule(self):
        rng = random.Random(SEED)
        for case in range(CASES):
            words, answer = random_words(rng), random_answer(rng)
            run = exchange(words, [answer])
            got = (run.requests, run.stdout, run.stderr, run.status)
            if got != expected(words, answer) + (b"", 0):
                self.fail(f"seed {SEED}, case {case}: words {words!r}, answer {answer!r}: "
                          f"expected {expected(words, answer)!r} with empty standard error "
                          f"and status 0, got {got!r}")


if __name__ == "__main__":
    unittest.main()
