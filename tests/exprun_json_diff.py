#!/usr/bin/env python3
"""Differential check of exprun's JSON-lines pass-through against Python's json module.

Random JSON lines (nested values, nulls, numbers in every JSON form, booleans, strings that look
like numbers or dates, escapes and non-ASCII text, an empty key, members missing from some
records and members first seen after the window) go through exprun with a rule that assigns one
member and reads several others. Every member the rule does not assign must come out as it went
in, JSON type and number text included; the assigned one must be its input plus one, as a number.
Runs with one and with three workers, and with --infer.

usage: exprun_json_diff.py --exprun PATH [--records N] [--seed S]
"""
import argparse
import json
import random
import subprocess
import sys
import tempfile
from decimal import Decimal

RULE = "n = n + 1; isnull(s) or len(s) > 2 or b or x > 0 or len(mixed) > 0"


def tagged(line):
    """A parsed line in which numbers keep their exact text, apart from other types."""
    return json.loads(line, parse_int=lambda t: ("number", t), parse_float=lambda t: ("number", t))


def number(rng):
    forms = [
        lambda: str(rng.randint(-10**6, 10**6)),
        lambda: str(rng.randint(-10**18, 10**18)),
        lambda: f"{rng.randint(-999, 999)}.{rng.randint(0, 999):03d}",
        lambda: f"{rng.randint(1, 9)}.{rng.randint(0, 99)}e{rng.randint(-20, 20)}",
        lambda: f"{rng.randint(1, 9)}E+{rng.randint(0, 5)}",
        lambda: "-0",
        lambda: "0.10",
    ]
    return rng.choice(forms)()


def text(rng):
    pieces = ["plain", "10E0", "007", "1.50", "2024-03-07", "true", "", " ", "tab\there", 'quote "q"',
              "back\\slash", "line\nbreak", "é", "日本語", "\u0001", "emoji \U0001F600", "null", "{not json}"]
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 3)))


def value(rng, depth=0):
    kind = rng.randrange(6 if depth < 3 else 4)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return ("raw", number(rng))
    if kind == 3:
        return text(rng)
    if kind == 4:
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    return {text(rng): value(rng, depth + 1) for _ in range(rng.randint(0, 3))}


def dump(v, ascii):
    """JSON text of a generated value; numbers are written in their generated form, text with
    \\u escapes or as UTF-8."""
    if isinstance(v, tuple):
        return v[1]
    if isinstance(v, list):
        return "[" + ", ".join(dump(x, ascii) for x in v) + "]"
    if isinstance(v, dict):
        return "{" + ", ".join(json.dumps(k, ensure_ascii=ascii) + ": " + dump(x, ascii) for k, x in v.items()) + "}"
    return json.dumps(v, ensure_ascii=ascii)


def record(rng, i, total):
    members = {
        "n": ("raw", number(rng)) if rng.random() < 0.9 else None,  # numbers: the assigned member
        "s": text(rng),
        "b": rng.choice([True, False, None]),
        "x": ("raw", number(rng)),
        "mixed": rng.choice([("raw", number(rng)), text(rng), True, None, [1, "a"]]),
        "": ("raw", str(rng.randint(0, 9))),
        "nested": value(rng),
        "lookalike": rng.choice(["10E0", "007", "1.50", "-0", "2024-03-07"]),
    }
    for key in ("s", "nested", "mixed"):
        if rng.random() < 0.1:
            del members[key]  # a record may lack a member
    if i > total - 50:
        members["late"] = value(rng)  # first seen long after the window
    items = list(members.items())
    rng.shuffle(items)
    ascii = rng.random() < 0.3
    return "{" + ", ".join(json.dumps(k, ensure_ascii=ascii) + ": " + dump(v, ascii) for k, v in items) + "}"


def check(args, lines, extra):
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
        f.flush()
        cmd = [args.exprun, *extra, "-e", RULE, f.name]
        run = subprocess.run(cmd, capture_output=True)
    if run.returncode != 0:
        return [f"{' '.join(extra)}: exit {run.returncode}: {run.stderr.decode(errors='replace')[:500]}"]
    out = run.stdout.decode("utf-8").splitlines()
    if len(out) != len(lines):
        return [f"{' '.join(extra)}: {len(out)} output lines for {len(lines)} input lines"]
    faults = []
    for i, (inp, got) in enumerate(zip(lines, out), 1):
        a, b = tagged(inp), tagged(got)
        for key, v in a.items():
            if key == "n":
                continue
            if key not in b or b[key] != v:
                faults.append(f"record {i}: member {key!r}: {json.dumps(v)} became {json.dumps(b.get(key, '<missing>'))}")
        for key, v in b.items():  # members the input lacked are null; the rest are exprun's own
            if key not in a and key not in ("result", "n") and v is not None:
                faults.append(f"record {i}: member {key!r} appeared as {json.dumps(v)}")
        n_in, n_out = a.get("n"), b.get("n")
        if n_in is None:
            ok = n_out is None
        else:
            ok = isinstance(n_out, tuple) and Decimal(n_out[1]) == Decimal(n_in[1]) + 1
        if not ok:
            faults.append(f"record {i}: n = {json.dumps(n_in)} + 1 came out as {json.dumps(n_out)}")
        if len(faults) > 20:
            break
    return [f"{' '.join(extra)}: {x}" for x in faults]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--exprun", required=True)
    p.add_argument("--records", type=int, default=6000)
    p.add_argument("--seed", type=int, default=28)
    args = p.parse_args()
    rng = random.Random(args.seed)
    # Long enough that the window (1,000 records or the first MB) ends and workers read chunks.
    lines = [record(rng, i, args.records) for i in range(args.records)]
    faults = []
    for extra in (["--no-progress"], ["--jobs", "3"], ["--infer", "--on-error", "null"]):
        faults += check(args, lines, extra)
    for f in faults[:40]:
        print(f)
    print(f"{len(lines)} records, {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
