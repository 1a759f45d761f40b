#!/usr/bin/env python3
"""Python's str doing what the text built-ins in builtins_bench do, on the same texts.

Prints one line per case, named like the builtins_bench cases (size/multibyte), with the median
CPU ns per operation (process time, as Google Benchmark's CPU column) over interleaved
repetitions (each repetition times every case once, so a busy machine slows all cases alike):

    python3 bench/text_peers.py [--repetitions N]
"""
import argparse
import statistics
import time
import timeit

WORDS = "The quick Brown fox jumps over the lazy Dog "
CHARS = ["П", "р", "и", "в", "е", "т", " ", "Ω", "λ", "日", "本", " "]


def ascii_text(n):
    return "".join(WORDS[i % len(WORDS)] for i in range(n))


def multibyte_text(n):
    return "".join(CHARS[i % len(CHARS)] for i in range(n))


def cases():
    """(name, statement, globals) for every case, in builtins_bench's order."""
    out = []
    for n in (10, 255):
        for multibyte in (0, 1):
            s = multibyte_text(n) if multibyte else ascii_text(n)
            # builtins_bench's instr looks for the text's last 3 bytes (7 when multibyte).
            tail = s.encode()[-(7 if multibyte else 3):].decode()
            env = {
                "s": s,
                "padded": "   " + s + " \t ",
                "twice": s + s,
                "tail": tail,
                "start": n // 3 - 1,
                "count": n // 2,
            }
            suffix = f"/{n}/{multibyte}"
            out += [
                ("upper" + suffix, "s.upper()", env),
                ("lower" + suffix, "s.lower()", env),
                ("trim" + suffix, "padded.strip()", env),
                ("mid" + suffix, "s[start:start + count]", env),
                ("left" + suffix, "s[:count]", env),
                ("right" + suffix, "s[-count:]", env),
                ("len" + suffix, "len(s)", env),
                ("instr" + suffix, "twice.find(tail, twice.find(tail) + len(tail))", env),
                ("replace" + suffix, "s.replace(' ', '__')", env),
            ]
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repetitions", type=int, default=9)
    args = parser.parse_args()
    all_cases = cases()
    timers = [(name, timeit.Timer(stmt, timer=time.process_time, globals=env)) for name, stmt, env in all_cases]
    # Loops per sample for about 20 ms of CPU each, from a short first timing.
    loops = {name: max(100, int(0.02 / max(timer.timeit(200) / 200, 1e-9))) for name, timer in timers}
    samples = {name: [] for name, _ in timers}
    for _ in range(args.repetitions):
        for name, timer in timers:
            samples[name].append(timer.timeit(loops[name]) / loops[name] * 1e9)
    for name, _ in timers:
        print(f"py_{name:<24} {statistics.median(samples[name]):10.1f} ns")


if __name__ == "__main__":
    main()
