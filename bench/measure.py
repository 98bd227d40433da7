"""Runs the measurements of bench.sh and prints them as a table: see that script."""

import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROUND_TRIPS = 300
RUNS = 5
NC = ["/usr/bin/nc", "-u", "-W1", "127.0.0.1", "20003"]


def per_call_us(argv, stdin=None):
    """Starts argv ROUND_TRIPS times in a row, as cheaply as a process can be started, and
    returns the mean wall time of one call in microseconds."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)]
    if stdin:
        actions.append((os.POSIX_SPAWN_OPEN, 0, stdin, os.O_RDONLY, 0))
    started = time.perf_counter()
    for _ in range(ROUND_TRIPS):
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        if os.waitpid(pid, 0)[1] != 0:
            sys.exit(f"{argv[0]} failed")
    return (time.perf_counter() - started) / ROUND_TRIPS * 1e6


def output(argv, **kw):
    run = subprocess.run(argv, capture_output=True, timeout=30, **kw)
    return run.stdout, run.stderr.decode()


def instructions(tolvex):
    err = output(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", tolvex,
                  "ping"])[1]
    return int(re.search(r"Collected : (\d+)", err).group(1))


def peak_kib(tolvex):
    err = output(["/usr/bin/time", "-v", tolvex, "ping"])[1]
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))


def timeout_ms(tolvex):
    started = time.perf_counter()
    out = output([tolvex, "ping"])[0]
    assert out == b"TIMEOUT\n", out
    return (time.perf_counter() - started) * 1000


def main(tolvex64, tolvex32, standin_path):
    builds = {"x64": tolvex64, "x86": tolvex32}
    standin = subprocess.Popen([standin_path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    standin.stderr.readline()
    with tempfile.NamedTemporaryFile() as request:
        request.write(b"ping ")
        request.flush()
        for argv in ([tolvex64, "ping"], [tolvex32, "ping"], NC):
            with open(request.name, "rb") as stdin:
                got = output(argv, stdin=stdin)[0]
            assert got.rstrip(b"\n") == b"pong", (argv, got)
        times = {"x64": [], "x86": [], "nc": [], "true": []}
        for _ in range(RUNS):
            times["nc"].append(per_call_us(NC, request.name))
            for name, path in builds.items():
                times[name].append(per_call_us([path, "ping"]))
            times["true"].append(per_call_us(["/bin/true"]))
        counts = {name: instructions(path) for name, path in builds.items()}
        peaks = {name: peak_kib(path) for name, path in builds.items()}
    standin.terminate()
    standin.wait()
    waits = {name: [timeout_ms(path) for _ in range(3)] for name, path in builds.items()}

    def ratio(name, floor=False):
        base = times["true"] if floor else [0] * RUNS
        return statistics.median((t - b) / (n - b) for t, n, b in
                                 zip(times[name], times["nc"], base))

    def verdict(ok):
        return "met" if ok else "MISSED"

    med = {name: statistics.median(values) for name, values in times.items()}
    rows = [
        ("measure", "x64", "x86", "target (x64)", ""),
        ("answered round trip, tolvex (us)", f"{med['x64']:.0f}", f"{med['x86']:.0f}", "", ""),
        ("answered round trip, nc -u -W1 (us)", f"{med['nc']:.0f}", "", "", ""),
        ("starting /bin/true, for scale (us)", f"{med['true']:.0f}", "", "", ""),
        ("tolvex / nc, median of runs", f"{ratio('x64'):.2f}", f"{ratio('x86'):.2f}", "<= 0.50",
         verdict(ratio("x64") <= 0.5)),
        ("the same, less the start of /bin/true", f"{ratio('x64', True):.2f}",
         f"{ratio('x86', True):.2f}", "", ""),
        ("instructions, one answered round trip", str(counts["x64"]), str(counts["x86"]),
         "<= 150000", verdict(counts["x64"] <= 150000)),
        ("peak resident memory (KiB)", str(peaks["x64"]), str(peaks["x86"]), "< 2048",
         verdict(peaks["x64"] < 2048)),
        ("start to TIMEOUT, slowest of 3 (ms)", f"{max(waits['x64']):.0f}",
         f"{max(waits['x86']):.0f}", "3000-3100",
         verdict(all(3000 <= w <= 3100 for w in waits["x64"]))),
    ]
    print(f"{RUNS} runs of {ROUND_TRIPS} round trips each, tolvex and nc alternating")
    for row in rows:
        print(f"{row[0]:<40} {row[1]:>8} {row[2]:>8}  {row[3]:<10} {row[4]}")


if __name__ == "__main__":
    main(*sys.argv[1:])
