"""Compile and run errors, on_error modes, host functions, pickling, sandboxing and the GIL."""
import pickle
import threading
import time
from decimal import Decimal

import pandas as pd
import pytest

import pyexpression as px
from pyexpression import _core

RATIO = "integer q\nq = a / b\nq * 10"
FIELDS = {"a": "integer", "b": "integer"}


def shout(text):
    return text.upper() + "!"


def test_compile_error_has_code_and_position():
    with pytest.raises(px.CompileError) as caught:
        px.Engine().compile("integer x\nx = 1 +\n", fields={})
    err = caught.value
    assert err.code != 0 and err.message and (err.line, err.column) >= (2, 1)
    with pytest.raises(px.CompileError, match="not found"):
        px.Engine().compile("nosuchfunction(1)", fields={})


def test_compile_error_shows_the_line_with_a_caret_and_a_hint():
    cases = [  # text, fields, what str() must show
        ("1 + qtty * 2", {"qty": "integer"}, ["   | 1 + qtty * 2\n   |     ^", "hint: did you mean `qty`?"]),
        # Wide characters take two columns.
        ('"名前" & uper(name)', {"name": "string"}, ['   | "名前" & uper(name)\n   |          ^', "did you mean `upper`?"]),
        ('execute("ls")', {}, ["Engine(allow={'process'})"]),
    ]
    for text, fields, shown in cases:
        with pytest.raises(px.CompileError) as caught:
            px.Engine().compile(text, fields=fields)
        for piece in shown:
            assert piece in str(caught.value), str(caught.value)
        again = pickle.loads(pickle.dumps(caught.value))
        assert (str(again), again.hint) == (str(caught.value), caught.value.hint)
    with pytest.raises(px.CompileError) as caught:
        px.Engine().compile("real amount\namount = qty unit_price", {"qty": "integer", "unit_price": "real"},
                            strict=True)
    assert "   | amount = qty unit_price\n   |              ^" in str(caught.value)


def test_cut_texts_are_reported():
    rules = px.Engine().compile("string t; string(400) wide; t = s; wide = s", fields={"s": "string"})
    with pytest.warns(px.TextCutWarning, match="'t' was cut to 255 characters; declare it string") as caught:
        assert len(rules.run(s="é" * 300).variables["t"]) == 255
    assert len(caught) == 1  # `wide` holds the whole text
    with pytest.warns(px.TextCutWarning, match="'t' was cut to 255 characters in 2 rows"):
        frame = rules.run_batch(pd.DataFrame({"s": ["a" * 300, "b", "c" * 256, "d" * 500]}).iloc[[0, 1, 2]])
    assert frame.attrs["cuts"] == {"t": 2}
    assert "cuts" not in rules.run_batch(pd.DataFrame({"s": ["short"]})).attrs


def test_warnings_are_kept_and_strict_makes_them_errors():
    eng = px.Engine()
    fields = {"qty": "integer", "unit_price": "real"}
    rules = eng.compile("real amount\namount = qty unit_price", fields=fields)
    assert [(w.code, w.line, w.column) for w in rules.warnings] == [(1001, 2, 14)]
    assert "operator missing" in rules.warnings[0].message
    assert eng.compile("qty * unit_price", fields=fields, strict=True).warnings == []
    with pytest.raises(px.CompileError) as caught:
        eng.compile("real amount\namount = qty unit_price", fields=fields, strict=True)
    assert (caught.value.code, caught.value.line) == (1001, 2)
    assert pickle.loads(pickle.dumps(rules)).warnings == rules.warnings


def test_run_error_has_position_and_row():
    rules = px.Engine().compile(RATIO, fields=FIELDS, result="integer")
    with pytest.raises(px.RunError) as caught:
        rules.run(a=1, b=0)
    assert caught.value.row is None and caught.value.code == _core.E_DIVIDE_BY_ZERO
    assert (caught.value.line, caught.value.column) == (2, 7)
    with pytest.raises(px.RunError) as caught:
        rules.run_batch({"a": [4, 5, 6, 7], "b": [2, 1, 0, 0]})
    assert caught.value.row == 2 and caught.value.code == _core.E_DIVIDE_BY_ZERO and caught.value.line == 2


@pytest.mark.parametrize("on_error, results, qs, index", [
    ("null", [20, 50, pd.NA, 10], [2, 5, pd.NA, 1], [10, 11, 12, 13]),
    ("skip", [20, 50, 10], [2, 5, 1], [10, 11, 13]),
])
def test_on_error_modes(on_error, results, qs, index):
    rules = px.Engine().compile(RATIO, fields=FIELDS, result="integer")
    frame = pd.DataFrame({"a": [4, 5, 6, 7], "b": [2, 1, 0, 7]}, index=[10, 11, 12, 13])
    out = rules.run_batch(frame, on_error=on_error)
    assert out["result"].tolist() == results and list(out.index) == index
    # A failed row's outputs are all null.
    assert out["q"].tolist() == qs
    assert out.attrs["error_count"] == 1 and out.attrs["errors"][0].row == 2


def test_registered_functions():
    eng = px.Engine()
    eng.register("shout", shout, args="s", returns="s")
    eng.register("half", lambda x: x / 2, args="r", returns="r")
    eng.register("boom", lambda: 1 / 0, returns="i")
    rules = eng.compile('shout(name) & " " & tostring(half(price))', fields={"name": "string", "price": "real"})
    assert rules.run(name="ça va", price=Decimal("0.3")).value == "ÇA VA! 0.15"
    assert rules.run_batch({"name": ["a", "b"], "price": [1, 3]})["result"].tolist() == ["A! 0.5", "B! 1.5"]
    with pytest.raises(px.RunError, match="ZeroDivisionError") as caught:
        eng.compile("boom()", fields={}, result="integer").run()
    assert isinstance(caught.value.__cause__, ZeroDivisionError)


def test_rules_pickle_as_source_and_compile_again():
    eng = px.Engine(iso_dates=True, limits={"steps": 10**6})
    eng.register("shout", shout, args="s", returns="s")
    rules = eng.compile("string(20) s\ns = shout(t)\ntostring(d)", fields={"t": "string", "d": "date"})
    copy = pickle.loads(pickle.dumps(rules))
    assert copy is not rules and copy.variables == {"s": "string"}
    record = {"t": "hi", "d": "2026-01-02"}
    assert copy.run(record) == rules.run(record) == ("2026-01-02 00:00:00", {"s": "HI!"})


def test_output_columns_and_names():
    rules = px.Engine().compile("real total\nboolean big\ntotal = x * 2\nbig = total > 10\n1",
                                fields={"x": "real"}, result=None)
    assert rules.columns == {"total": "real", "big": "boolean"}
    out = rules.run_batch({"x": [Decimal("2.5"), Decimal("7")]})
    assert list(out.columns) == ["total", "big"] and out["big"].tolist() == [False, True]
    with pytest.raises(ValueError, match="result_name"):
        px.Engine().compile("integer result\nresult = 1\n2", fields={})


def test_batch_input_shapes_are_checked():
    rules = px.Engine().compile(RATIO, fields=FIELDS, result="integer")
    with pytest.raises(KeyError):
        rules.run_batch({"a": [1]})
    with pytest.raises(ValueError, match="lengths"):
        rules.run_batch({"a": [1, 2], "b": [1]})
    with pytest.raises(ValueError, match="on_error"):
        rules.run_batch({"a": [1], "b": [1]}, on_error="ignore")
    with pytest.raises(KeyError):
        rules.run(a=1)


def capability_enforced():
    try:
        px.Engine().compile('execute("true")', fields={})
    except px.CompileError:
        return True
    return False


def test_settings_are_validated():
    with pytest.raises(ValueError, match="capability"):
        px.Engine(allow={"everything"})
    with pytest.raises(ValueError, match="limit"):
        px.Engine(limits={"speed": 1})


@pytest.mark.skipif(not capability_enforced(), reason="this library build does not enforce capability groups")
def test_sandbox_denies_process_unless_allowed():
    with pytest.raises(px.CompileError):
        px.Engine().compile('locale("C")', fields={})
    px.Engine(allow={"process", "locale"}).compile('execute("true")', fields={})
    with pytest.raises(px.CompileError):
        px.Engine(allow="all", deny="process").compile('execute("true")', fields={})
    # Pseudo files are allowed only by name: "all" leaves them out.
    status = 'file f; f.open("/proc/self/status"); left(f.readline(), 5)'
    for allow in ("all", {"files"}):
        with pytest.raises(px.RunError, match="pseudo files"):
            px.Engine(allow=allow).compile(status, fields={}).run()
    assert px.Engine(allow={"all", "pseudo_files"}).compile(status, fields={}).run()[0] == "Name:"


def test_batch_releases_the_gil():
    # The program spins far longer than any scheduler delay; a thread that needs the GIL cancels
    # it. Had the batch kept the GIL, the thread could not run and the batch would end normally.
    rules = px.Engine().compile("integer i\ni = 0\nwhile i < n begin i = i + 1 end\ni", fields={"n": "integer"}, result="integer")
    done = threading.Event()

    def canceller():
        while not done.is_set():
            rules.cancel()
            time.sleep(0.005)

    thread = threading.Thread(target=canceller)
    thread.start()
    try:
        with pytest.raises(px.RunError) as caught:
            rules.run_batch({"n": [3 * 10**9]})
    finally:
        done.set()
        thread.join()
    assert caught.value.row == 0
    assert rules.run(n=5).value == 5  # the next run is not cancelled


def test_threads_share_rules_safely():
    # Batches and single runs from several threads at once: each gets its own rows' results.
    rules = px.Engine().compile("string(20) tag\ntag = upper(name)\nn * 3", fields={"n": "integer", "name": "string"},
                                result="integer")
    outcomes = {}

    def work(k):
        frame = rules.run_batch({"n": list(range(k, k + 20000)), "name": [f"t{k}"] * 20000})
        single = rules.run(n=k, name="x")
        outcomes[k] = (frame["result"].tolist() == [3 * i for i in range(k, k + 20000)]
                       and set(frame["tag"]) == {f"T{k}"} and single.value == 3 * k)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outcomes == {k: True for k in range(4)}


def test_the_users_settings_file_counts_only_when_asked(tmp_path, monkeypatch):
    (tmp_path / "expression").mkdir()
    (tmp_path / "expression" / "config").write_text("escaped_string = yes\n")
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    monkeypatch.setenv("EXPRESSION_SYSCONFDIR", str(tmp_path / "none"))
    text = "len('a\\b')"
    assert px.Engine().compile(text, fields={}, result="integer").run()[0] == 3
    rules = px.Engine(user_settings=True).compile(text, fields={}, result="integer")
    assert rules.run()[0] == 2
    assert pickle.loads(pickle.dumps(rules)).run()[0] == 2
