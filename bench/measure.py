"""Runs the measurements of bench.sh and prints them as a table: see that script."""

import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROUND_TRIPS = 300
RUNS = 5
# Instructions of one answered round trip, for each build: the 32-bit one takes more to load and
# start (164,023 against 137,547 here).
MOST_INSTRUCTIONS = {"x64": 150000, "x86": 175000}
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


def runs_here(path):
    """Whether this host can start the program: some 64-bit kernels leave 32-bit programs off."""
    try:
        subprocess.run([path], capture_output=True, timeout=30)
        return True
    except OSError:
        return False


def round_trips(builds, standin):
    """The timed round trips, the instruction counts and the peak memory, with standin
    answering."""
    standin.stderr.readline()
    with tempfile.NamedTemporaryFile() as request:
        request.write(b"ping ")
        request.flush()
        for argv in [[path, "ping"] for path in builds.values()] + [NC]:
            with open(request.name, "rb") as stdin:
                got = output(argv, stdin=stdin)[0]
            assert got.rstrip(b"\n") == b"pong", (argv, got)
        times = {name: [] for name in [*builds, "nc", "true"]}
        for _ in range(RUNS):
            times["nc"].append(per_call_us(NC, request.name))
            for name, path in builds.items():
                times[name].append(per_call_us([path, "ping"]))
            times["true"].append(per_call_us(["/bin/true"]))
        counts = {name: instructions(path) for name, path in builds.items()}
        peaks = {name: peak_kib(path) for name, path in builds.items()}
    return times, counts, peaks


def main(tolvex64, tolvex32, standin_path):
    builds = {"x64": tolvex64}
    if runs_here(tolvex32):
        builds["x86"] = tolvex32
    # The stand-in is ended however the measurement ends: a stop, a failed check, or the end.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    standin = subprocess.Popen([standin_path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        times, counts, peaks = round_trips(builds, standin)
    finally:
        standin.kill()
        standin.wait()
    waits = {name: max(timeout_ms(path) for _ in range(3)) for name, path in builds.items()}

    def ratio(name, base):
        """The median of the ratios of runs side by side, which a slow spell of the host moves
        together."""
        return statistics.median(t / b for t, b in zip(times[name], times[base]))

    def row(label, figure, target="", met=None):
        cells = [figure(name) if name in builds else "n/a" for name in ("x64", "x86")]
        verdict = "" if met is None else ("met" if met else "MISSED")
        return (label, *cells, target, verdict)

    med = {name: statistics.median(values) for name, values in times.items()}
    rows = [
        ("measure", "x64", "x86", "target", ""),
        row("answered round trip, tolvex (us)", lambda n: f"{med[n]:.0f}"),
        ("answered round trip, nc -u -W1 (us)", f"{med['nc']:.0f}", "", "", ""),
        ("starting /bin/true (us)", f"{med['true']:.0f}", "", "", ""),
        row("tolvex / nc, median of runs", lambda n: f"{ratio(n, 'nc'):.2f}"),
        row("tolvex / /bin/true, median of runs", lambda n: f"{ratio(n, 'true'):.2f}"),
        row("instructions, one answered round trip", lambda n: str(counts[n]),
            "<= " + "/".join(str(MOST_INSTRUCTIONS[n]) for n in builds),
            all(counts[n] <= MOST_INSTRUCTIONS[n] for n in builds)),
        row("peak resident memory (KiB)", lambda n: str(peaks[n]), "< 2048",
            all(peak < 2048 for peak in peaks.values())),
        row("start to TIMEOUT, slowest of 3 (ms)", lambda n: f"{waits[n]:.0f}", "3000-3100",
            all(3000 <= wait <= 3100 for wait in waits.values())),
    ]
    print(f"{RUNS} runs of {ROUND_TRIPS} round trips each, tolvex, nc and /bin/true alternating")
    for cells in rows:
        print(f"{cells[0]:<42} {cells[1]:>8} {cells[2]:>8}  {cells[3]:<17} {cells[4]}".rstrip())
    if "x86" not in builds:
        print("n/a: this host cannot start 32-bit x86 programs")


if __name__ == "__main__":
    main(*sys.argv[1:])
