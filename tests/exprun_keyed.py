#!/usr/bin/env python3
"""exprun's whole-file jobs against a Python reference.

- --group-by: count, sum and average per group on generated data with nulls equal Python's
  decimal arithmetic, and --jobs 1, 2 and 3 give identical bytes;
- --partition-by: running totals and lag per key; --unique: the first record per key;
- formatnumber against Decimal.quantize(ROUND_HALF_UP) with thousands separators.

The recipes of the guide's "Whole-file jobs" section and the examples of exprun's own functions
are run, with every other example of the guide, by tests/language_doc_test.cpp.
"""
import argparse
import csv
import decimal
import io
import os
import random
import subprocess
import sys
import tempfile

D = decimal.Context(prec=52, rounding=decimal.ROUND_HALF_EVEN, Emax=98304, Emin=-98303)
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def run(exprun, args, cwd=None, stdin=None):
    p = subprocess.run([exprun] + args, cwd=cwd, input=stdin, capture_output=True)
    if p.returncode != 0:
        raise RuntimeError(f"exprun {args} failed ({p.returncode}): {p.stderr.decode()}")
    return p.stdout


def rows(data):
    return list(csv.DictReader(io.StringIO(data.decode())))


def generate(path, n, keys, seed):
    rnd = random.Random(seed)
    names = [f"k{i}" for i in range(keys - 3)] + ['a "quoted", key', "", "ünïcode"]
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["id", "g", "amount"])
        for i in range(n):
            amount = "" if rnd.random() < 0.1 else f"{rnd.randint(-500000, 5000000) / 100:.2f}"
            w.writerow([i, rnd.choice(names), amount])


def group_reference(path):
    groups = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f):
            g = groups.setdefault(r["g"], [0, 0, D.create_decimal(0)])
            g[0] += 1
            if r["amount"]:
                g[1] += 1
                g[2] = D.add(g[2], decimal.Decimal(r["amount"]))
    return groups


def check_groups(exprun, work):
    data = os.path.join(work, "data.csv")
    generate(data, 30000, 400, 7)
    program = ("static integer records; static integer n; static real total\n"
               "if isnull(records) then begin records = 0; n = 0; total = 0 end\n"
               "records = records + 1\n"
               "if not isnull(amount) then begin n = n + 1; total = total + amount end")
    args = ["--group-by", "g", "--field", "amount:real", "-e", program,
            "--end", "real average; if n > 0 then average = total / n", data]
    outs = [run(exprun, ["--jobs", str(j)] + args) for j in (1, 2, 3)]
    check(outs[0] == outs[1] == outs[2], "--group-by: --jobs 1, 2 and 3 give the same bytes")
    ref = group_reference(data)
    got = rows(outs[0])
    check([r["g"] for r in got] == list(ref), "--group-by: groups in order of first appearance")
    for r in got:
        records, n, total = ref[r["g"]]
        ok = (int(r["records"]) == records and int(r["n"]) == n and decimal.Decimal(r["total"]) == total and
              (decimal.Decimal(r["average"]) == D.divide(total, n) if n else r["average"] == ""))
        check(ok, f"--group-by: group {r['g']!r}: {r} against {ref[r['g']]}")


def check_partitions(exprun, work):
    data = os.path.join(work, "data.csv")
    generate(data, 20000, 150, 11)
    program = ("static real running; static string last; string previous\n"
               "if isnull(running) then running = 0\n"
               "if not isnull(amount) then running = running + amount\n"
               "previous = last; last = amount")
    args = ["--partition-by", "g", "--field", "amount:real", "--no-result", "-e", program, data]
    outs = [run(exprun, ["--jobs", str(j)] + args) for j in (1, 2)]
    check(outs[0] == outs[1], "--partition-by: --jobs 1 and 2 give the same bytes")
    running, last = {}, {}
    for r in rows(outs[0]):
        g = r["g"]
        if r["amount"]:
            running[g] = D.add(running.get(g, 0), decimal.Decimal(r["amount"]))
        else:
            running.setdefault(g, decimal.Decimal(0))
        # `last` is a string: the real's text (27423.10 becomes 27423.1), the same number.
        previous = last.get(g, "")
        ok = decimal.Decimal(r["running"]) == running[g] and \
            (r["previous"] == previous == "" or (previous and decimal.Decimal(r["previous"]) == decimal.Decimal(previous)))
        last[g] = r["amount"]
        check(ok, f"--partition-by: record {r['id']}: {r}")
        if not ok:
            break

    outs = [run(exprun, ["--jobs", str(j), "--unique", "g,amount", data]) for j in (1, 3)]
    check(outs[0] == outs[1], "--unique: --jobs 1 and 3 give the same bytes")
    seen, expected = set(), []
    with open(data, newline="") as f:
        for r in csv.DictReader(f):
            if (r["g"], r["amount"]) not in seen:
                seen.add((r["g"], r["amount"]))
                expected.append(r["id"])
    check([r["id"] for r in rows(outs[0])] == expected, "--unique keeps the first record of each key")


def check_formatnumber(exprun, work):
    rnd = random.Random(3)
    cases = []
    for _ in range(3000):
        digits = "".join(rnd.choice("0123456789") for _ in range(rnd.randint(1, 30)))
        value = decimal.Decimal(f"{rnd.choice('-+')}{digits}E{rnd.randint(-35, 8)}")
        cases.append((value, rnd.randint(0, 12)))
    cases += [(decimal.Decimal(v), d) for v, d in
              [("12.5", 2), ("2.5", 0), ("-2.5", 0), ("-0.004", 2), ("999.995", 2), ("0.5", 0), ("1E-40", 3)]]
    path = os.path.join(work, "numbers.csv")
    with open(path, "w") as f:
        f.write("x,d\n" + "".join(f"{v},{d}\n" for v, d in cases))
    out = run(exprun, ["--field", "x:real", "--field", "d:integer", "--output", "result",
                       "-e", 'formatnumber(x, d, ",")', path])
    got = [r["result"] for r in rows(out)]
    for (value, d), text in zip(cases, got):
        q = value.quantize(decimal.Decimal(1).scaleb(-d), rounding=decimal.ROUND_HALF_UP,
                           context=decimal.Context(prec=200))
        want = f"{q:,.{d}f}"
        if want.startswith("-") and decimal.Decimal(want.replace(",", "")) == 0:
            want = want[1:]
        check(text == want, f"formatnumber({value}, {d}, \",\") is {text!r}, not {want!r}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exprun", required=True)
    a = ap.parse_args()
    a.exprun = os.path.abspath(a.exprun)
    with tempfile.TemporaryDirectory() as work:
        check_groups(a.exprun, work)
        check_partitions(a.exprun, work)
        check_formatnumber(a.exprun, work)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
