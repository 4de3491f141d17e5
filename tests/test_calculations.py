"""calc and its target variants, and map_temp: the routine chosen, the calls made, the
dictionary built."""

import pytest

from convenience_support import Script
from query_support import define
from equilexproxy import raw

CALCULATIONS = [("calc", " "), ("calc_Ttarget", "T"), ("calc_Ptarget", "P"),
                ("calc_Vtarget", "V")]
ROUTINES = ["tqce", "tqcel", "tqcen", "tqcenl"]


@pytest.fixture
def script(make_engine):
    script = Script(make_engine())
    for name in ROUTINES:
        script.returns(name, "ignored")
    return script


@pytest.mark.parametrize("method, option", CALCULATIONS)
@pytest.mark.parametrize(
    "args, keywords, routine",
    [
        ((), {}, "tqce"),
        ((True, True), {}, "tqcenl"),
        ((), {"show": True}, "tqcel"),
        ((), {"from_previous": 1}, "tqcen"),
        ((), {"show": 0, "from_previous": None}, "tqce"),
        (("yes", []), {}, "tqcel"),
    ],
)
def test_routine_follows_from_the_flags(script, method, option, args, keywords, routine):
    assert getattr(script.engine, method)(*args, **keywords) is None
    assert script.calls == [(routine, option, 0, 0, (2000, 0))]


def test_estimate_is_passed_unchanged(script):
    estimate = (500, 1)
    script.engine.calc_Ttarget(estimate=estimate)
    assert script.calls == [("tqce", "T", 0, 0, estimate)]
    assert script.calls[0][4] is estimate


def test_calculation_arguments():
    cls = raw.EquilexProxy
    for method, _ in CALCULATIONS:
        assert getattr(cls, method).__defaults__ == (False, False, (2000, 0))
        assert getattr(cls, method).__doc__ is None
    with pytest.raises(TypeError) as caught:
        cls.calc(None, 1, 2, 3, 4)
    assert str(caught.value) == "calc() takes at most 4 positional arguments (5 given)"


def test_a_failing_flag_stops_before_any_call(script):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("undecided")

    with pytest.raises(RuntimeError):
        script.engine.calc(Undecided())
    assert script.calls == []


# --- map_temp ------------------------------------------------------------------------------------


def mapped(script, steps, results=None):
    """tqmap and tqmapl answer `steps` in turn; tqgetr answers from `results` in turn, or a
    number that tells the call apart."""
    script.returns("tqmap", *steps).returns("tqmapl", *steps)
    answers = list(results or [])
    script.computes("tqgetr", lambda *key: answers.pop(0) if answers else float(len(script.calls)))


def test_map_steps_and_collects_the_chosen_results(script):
    outvars = [("T", 0, 0), ("A", 5, 0), ("AC", 5, 0)]
    mapped(script, [2, 1, 0], [300.0, 0.0, 0.06, 1000.0, 0.0, 1.0, 3000.0, 1.0, 1.0])
    result = script.engine.map_temp(300, 3000, outvars)
    assert result == {("T", 0, 0): [300.0, 1000.0, 3000.0], ("A", 5, 0): [0.0, 0.0, 1.0],
                      ("AC", 5, 0): [0.06, 1.0, 1.0]}
    assert list(result) == outvars
    reads = [("tqgetr", *key) for key in outvars]
    assert script.calls == ([("tqmap", "TF", 0, 0, (300, 3000))] + reads
                            + [("tqmap", "TN", 0, 0, (300, 3000))] + reads
                            + [("tqmap", "TN", 0, 0, (300, 3000))] + reads)


def test_map_defaults(script):
    default = raw.EquilexProxy.map_temp.__defaults__
    assert default == (200, 3000, [("T", 0, 0)], False)
    mapped(script, [1, 0, 1, 0])
    first = script.engine.map_temp()
    second = script.engine.map_temp()
    assert first == {("T", 0, 0): [2.0, 4.0]} and second == {("T", 0, 0): [6.0, 8.0]}
    assert first is not second
    assert raw.EquilexProxy.map_temp.__defaults__[2] is default[2]
    assert script.calls[0] == ("tqmap", "TF", 0, 0, (200, 3000))
    # Every call asks with the very key of the default list.
    assert next(iter(first)) is default[2][0]


def test_map_with_listing(script):
    mapped(script, [0])
    script.engine.map_temp(show=1)
    assert script.names() == ["tqmapl", "tqgetr"]


def test_map_that_ends_at_once(script):
    mapped(script, [0])
    assert script.engine.map_temp(outvars=[("T", 0, 0), ("H", 0, 0)]) == {
        ("T", 0, 0): [2.0], ("H", 0, 0): [3.0]}
    assert script.names() == ["tqmap", "tqgetr", "tqgetr"]


def test_map_ends_on_a_negative_indicator(script):
    mapped(script, [-3])
    script.engine.map_temp()
    assert script.names() == ["tqmap", "tqgetr"]


def test_repeated_key_gets_two_values_per_step(script):
    mapped(script, [1, 0])
    result = script.engine.map_temp(outvars=[("T", 0, 0), ("T", 0, 0)])
    assert result == {("T", 0, 0): [2.0, 3.0, 5.0, 6.0]}


def test_empty_outvars_still_steps_to_the_end(script):
    mapped(script, [2, 1, 0])
    assert script.engine.map_temp(outvars=[]) == {}
    assert script.names() == ["tqmap"] * 3


def test_one_shot_outvars_is_consumed_when_the_keys_are_made(script):
    mapped(script, [1, 0])
    assert script.engine.map_temp(outvars=iter([("T", 0, 0)])) == {("T", 0, 0): []}
    assert script.names() == ["tqmap", "tqmap"]


def test_key_items_beyond_three_are_not_read(script):
    mapped(script, [0])
    key = ("T", 0, 0, "label")
    assert script.engine.map_temp(outvars=[key]) == {key: [2.0]}
    assert script.calls[1] == ("tqgetr", "T", 0, 0)


def test_each_read_runs_as_the_append_statement_does(make_engine):
    """d[key].append(self.tqgetr(key[0], key[1], key[2])): the key's list first, then tqgetr
    fetched, then the key's items, then the call."""
    log = []

    class Key(tuple):
        def __getitem__(self, item):
            log.append(("item", item))
            return tuple.__getitem__(self, item)

    class Engine(raw.EquilexProxy):
        @property
        def tqgetr(self):
            log.append("fetch tqgetr")
            return lambda *args: log.append(("tqgetr", *args)) or 1.0

    engine = make_engine(engine_class=Engine)
    engine.tqmap = lambda *args: 0
    key = Key(("T", 0, 0))
    assert engine.map_temp(outvars=[key]) == {key: [1.0]}
    assert log == ["fetch tqgetr", ("item", 0), ("item", 1), ("item", 2), ("tqgetr", "T", 0, 0)]

    # An outvars that yields another key on a later pass: the missing list fails first.
    class Shifting:
        passes = 0

        def __iter__(self):
            Shifting.passes += 1
            return iter([("T", 0, Shifting.passes)])

    log.clear()
    with pytest.raises(KeyError):
        engine.map_temp(outvars=Shifting())
    assert log == []


def test_unhashable_key_fails_before_the_first_step(script):
    mapped(script, [0])
    with pytest.raises(TypeError):
        script.engine.map_temp(outvars=[["T", 0, 0]])
    assert script.calls == []


def test_failing_result_read_loses_the_collected_values(script):
    script.returns("tqmap", 1, 0).returns("tqgetr", raises=TypeError("incorrect type"))
    with pytest.raises(TypeError, match="incorrect type"):
        script.engine.map_temp()
    assert script.names() == ["tqmap", "tqgetr"]


def test_map_arguments():
    with pytest.raises(TypeError) as caught:
        raw.EquilexProxy.map_temp(None, 1, 2, 3, 4, 5)
    assert str(caught.value) == "map_temp() takes at most 5 positional arguments (6 given)"
    assert raw.EquilexProxy.map_temp.__doc__ is None


def test_through_the_library_routines(lib_engine, fake_lib):
    define(fake_lib, "TQCE", "t i i p e")
    define(fake_lib, "TQMAP", "t i i p o e", [0])
    define(fake_lib, "TQGETR", "t i i D e", [300.0])
    assert lib_engine.calc_Ttarget(estimate=(500, 0)) is None
    assert lib_engine.map_temp(300, 2000) == {("T", 0, 0): [300.0]}
    assert fake_lib.calls == [("TQCE", (b"T\0", 1, 0, 0, (500.0, 0.0))),
                              ("TQMAP", (b"TF\0", 2, 0, 0, (300.0, 2000.0))),
                              ("TQGETR", (b"T\0", 1, 0, 0))]
