"""Module entities under hostile state: globals rebound while a member runs, engines whose
methods change between and during calls, the language descriptor's order of checks."""

import json

import pytest

from equilexproxy import entities
from entity_fakes import RecordingEngine, run_script

# Each script rebinds a module global from inside an engine call and collects garbage, so that
# an object the member still used without owning it would be freed under it.
SCRIPTS = {
    "Language read": """
        class Engine:
            language = entities.LanguageDesc()
            def tqgio(self, option):
                entities.Language = None
                gc.collect()
                return 2
        engine = Engine()
        result = [engine.language, outcome(lambda: engine.language)]
    """,
    "Language write": """
        sent = []
        class Engine:
            language = entities.LanguageDesc()
            @property
            def tqcio(self):
                entities.Language = None
                gc.collect()
                return lambda option, code: sent.append(code)
        Engine().language = "finnish"
        result = [sent, outcome(lambda: setattr(Engine(), "language", "finnish"))]
    """,
    "Constituent during tqinpc": """
        class Engine:
            def tqinpc(self, indexp, name):
                entities.Constituent = None
                gc.collect()
                return 4
        phase = entities.Phase(1, Engine())
        made = phase.get_constituent("AB")
        result = [type(made).__name__, made.index, vars(made)["parent"] is phase,
                  outcome(lambda: phase.get_constituent("AB"))]
    """,
    "Sublattice during tqnosl": """
        class Engine:
            def tqmodl(self, index):
                return "SUBL"
            def tqnosl(self, index):
                entities.Sublattice = None
                gc.collect()
                return 2
        phase = entities.Phase(1, Engine())
        result = [outcome(lambda: phase.sublattices)]
    """,
    "np during the sizes": """
        class Engine:
            def tqmodl(self, index):
                return "SUBL"
            def tqnosl(self, index):
                return 1
            def tqnolc(self, indexp, index):
                entities.np = None
                gc.collect()
                return 3
        result = [outcome(lambda: entities.Phase(1, Engine()).get_species_by_index_global(2))]
    """,
    "np and parse_interaction during the expansion": """
        import numpy
        class Engine:
            def tqlpar(self, indexp, option):
                entities.np = None
                return ["1: *2 ( 1)-( 2)"]
            def tqmodl(self, index):
                return "SUBL"
            def tqnosl(self, index):
                entities.np = numpy
                return 1
            def tqnolc(self, indexp, index):
                entities.parse_interaction = None
                gc.collect()
                return 2
            def tqgnlc(self, indexp, indexs, index):
                return "AB"[index - 1]
        expanded = entities.Phase(1, Engine()).interactions_g_expanded()
        result = [type(expanded).__name__, expanded.tolist(),
                  outcome(lambda: entities.Phase(1, Engine()).interaction_g_expanded("1: *2 ( 1)"))]
    """,
    "a class deleted": """
        del entities.CpRange
        gc.collect()
        result = [outcome(lambda: entities.Constituent(1, None).get_Cp_at(1))]
    """,
}

PROLOGUE = """
    import gc, json
    from equilexproxy import entities
    def outcome(call):
        try:
            call()
            return "no error"
        except Exception as failure:
            return [type(failure).__name__, str(failure)]
"""

EXPECTED = {
    "Language read": ["GERMAN", ["TypeError", "'NoneType' object is not callable"]],
    "Language write": [[5], ["TypeError", "'NoneType' object is not subscriptable"]],
    "Constituent during tqinpc": ["Constituent", 4, True,
                                  ["TypeError", "'NoneType' object is not callable"]],
    "Sublattice during tqnosl": [["TypeError", "'NoneType' object is not callable"]],
    "np during the sizes": [["AttributeError", "'NoneType' object has no attribute 'array'"]],
    "np and parse_interaction during the expansion": [
        "ndarray", ["(A)-(B)"], ["TypeError", "'NoneType' object is not callable"]],
    "a class deleted": [["NameError", "name 'CpRange' is not defined"]],
}


@pytest.mark.parametrize("name", SCRIPTS)
def test_globals_rebound_during_a_call(name):
    import textwrap

    script = (textwrap.dedent(PROLOGUE) + textwrap.dedent(SCRIPTS[name])
              + "print(json.dumps(result))\n")
    done = run_script(script)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == EXPECTED[name]


def test_rebound_globals_take_effect(monkeypatch):
    class Other:
        def __init__(self, *args, **keywords):
            self.args, self.keywords = args, keywords

    phase = entities.Phase(1, RecordingEngine(tqnopc=2, tqgnp="GAS", tqgsp="ENTERED",
                                              tqmodl="PURE"))
    for name in ("Constituent", "ParameterG", "ValueEx", "Phase"):
        monkeypatch.setattr(entities, name, Other)
    made = phase.get_constituent(2)
    assert type(made) is Other and made.args == (2, phase)
    parameter = phase.get_parameter_gex(3)
    assert type(parameter) is Other and parameter.args == (phase, 3)
    assert parameter.keywords == {"iexpr": 1}
    assert [c.args for c in phase.constituents] == [(1, phase), (2, phase)]
    # A Phase is now no Phase for a component's look-up by phase.
    with pytest.raises(Exception) as caught:
        entities.SystemComponent(1, RecordingEngine()).fraction_phase(phase)
    assert str(caught.value) == (
        "phase <  1, name: GAS                      [ENTERED   ], model: PURE , ncon:   2, "
        "nsubl: 0> must be an integer, a string or a Phase object")


def test_builtins_are_read_as_globals(monkeypatch):
    monkeypatch.setattr(entities, "int", lambda token: f"<{token}>", raising=False)
    assert entities.parse_interaction("1: *2 ( 1)").asList() == ["<1>", "2", "<1>"]
    monkeypatch.setattr(entities, "len", lambda data: 99, raising=False)
    engine = RecordingEngine(tqgdat=(1.0, 2.0, 3.0, 4.0))
    cp_range = entities.CpRange(1, entities.Constituent(1, entities.Phase(1, engine)))
    with pytest.raises(IndexError):  # len says 99 values, so e reads D[4]
        cp_range.e


# --- the language descriptor: what it looks up, and when ---------------------------------------


class NoTqcio:
    language = entities.LanguageDesc()


class Refusing:
    """tqcio cannot even be fetched; the descriptor must not need it for a refused value."""

    language = entities.LanguageDesc()

    @property
    def tqcio(self):
        raise LookupError("tqcio fetched")


@pytest.mark.parametrize("value", [2.0, None, True, b"GERMAN", entities.Language])
def test_a_value_of_another_class_reaches_nothing(value):
    for carrier in (NoTqcio(), Refusing()):
        with pytest.raises(ValueError, match="value must be a language code"):
            carrier.language = value


@pytest.mark.parametrize("value", ["no such language", "german", 3, entities.Language.GERMAN])
def test_tqcio_is_fetched_first_in_each_accepted_branch(value):
    with pytest.raises(LookupError, match="tqcio fetched"):
        Refusing().language = value
    with pytest.raises(AttributeError):
        NoTqcio().language = value


# --- engine methods that change under the entities ----------------------------------------------


def test_an_instance_attribute_of_the_engine_is_honoured():
    engine = RecordingEngine(tqgnp="class method")
    phase = entities.Phase(1, engine)
    assert phase.name == "class method"
    engine.tqgnp = lambda index: f"instance {index}"
    assert phase.name == "instance 1"
    del engine.tqgnp
    assert phase.name == "class method"
    engine.__dict__["tqgnp"] = lambda index: "again"
    assert phase.name == "again"


def test_a_replaced_class_method_is_honoured(monkeypatch):
    class Engine:
        def tqgnp(self, index):
            return "first"

    phase = entities.Phase(1, Engine())
    assert phase.name == "first"
    Engine.tqgnp = lambda self, index: "second"
    assert phase.name == "second"
    Engine.tqgnp = staticmethod(lambda index: "static")
    assert phase.name == "static"
    Engine.tqgnp = property(lambda self: lambda index: "property")
    vars(phase.engine)["tqgnp"] = "ignored: a data descriptor wins"
    assert phase.name == "property"
    del Engine.tqgnp
    with pytest.raises(TypeError, match="'str' object is not callable"):
        phase.name
    del vars(phase.engine)["tqgnp"]
    with pytest.raises(AttributeError):
        phase.name


def test_engines_of_different_classes_alternate():
    first = RecordingEngine(tqgnp="recording")

    class Plain:
        def tqgnp(self, index):
            return "plain"

    phase = entities.Phase(1, first)
    seen = []
    for engine in (first, Plain(), first, Plain()):
        phase.engine = engine
        seen.append(phase.name)
    assert seen == ["recording", "plain"] * 2


def test_engines_of_one_class_with_and_without_their_own_method():
    plain, own = RecordingEngine(tqgnp="class"), RecordingEngine(tqgnp="class")
    own.tqgnp = lambda index: "own"

    class Slotted:
        __slots__ = ()

        def tqgnp(self, index):
            return "slotted"

    phase = entities.Phase(1, plain)
    seen = []
    for engine in (plain, own, plain, own, Slotted(), Slotted(), own):
        phase.engine = engine
        seen.append(phase.name)
    assert seen == ["class", "own", "class", "own", "slotted", "slotted", "own"]


def test_an_engine_with_its_own_attribute_look_up():
    class Engine:
        def __getattr__(self, name):
            return lambda *args: (name, args)

    assert entities.Phase(3, Engine()).name == ("tqgnp", (3,))


def test_missing_owners_fail_with_attribute_error():
    phase = entities.Phase(1, RecordingEngine())
    del phase.engine
    with pytest.raises(AttributeError):
        phase.name
    with pytest.raises(AttributeError):
        entities.Constituent(1, object()).H298
    with pytest.raises(AttributeError, match="tqgnp"):
        entities.Phase(1, object()).name


def test_an_argument_that_cannot_be_read_fails_after_the_method_is_fetched():
    fetched = []

    class Engine(RecordingEngine):
        def __getattribute__(self, name):
            if name.startswith("tq"):
                fetched.append(name)
            return super().__getattribute__(name)

    engine = Engine(tqgnp="name", tqgdat=[1.0])
    phase = entities.Phase(1, engine)
    constituent = entities.Constituent(3, phase)
    del phase.index  # an argument of one name, and the second name of parent.index
    with pytest.raises(AttributeError, match="index"):
        phase.name
    with pytest.raises(AttributeError, match="index"):
        constituent.H298
    assert fetched == ["tqgnp", "tqgdat"]
    assert engine.calls == []
    phase.index = 2
    assert (phase.name, constituent.H298) == ("name", 1.0)
    assert engine.calls == [("tqgnp", 2), ("tqgdat", 2, 3, "H", 1)]


# Members that call themselves again through C code alone (an instance attribute standing in for
# the method they call): the interpreter's recursion limit ends the call, as it ends the same
# loop written in Python, instead of the C stack.
SELF_CALLS = {
    "repr through an instance __str__": """
        phase = entities.Phase(1, RecordingEngine())
        phase.__str__ = phase.__repr__
        call = lambda: repr(phase)
    """,
    "repr of a value object": """
        value = entities.ValueH(entities.Constituent(1, entities.Phase(1, RecordingEngine())))
        value.__str__ = value.__repr__
        call = lambda: repr(value)
    """,
    "expanded texts through interactions_g": """
        phase = entities.Phase(1, RecordingEngine())
        phase.interactions_g = phase.interactions_g_expanded
        call = phase.interactions_g_expanded
    """,
}


@pytest.mark.parametrize("name", SELF_CALLS)
def test_endless_self_calls_raise_recursion_error(name):
    import textwrap

    script = (textwrap.dedent(PROLOGUE) + "from entity_fakes import RecordingEngine\n"
              + textwrap.dedent(SELF_CALLS[name]) + "print(json.dumps(outcome(call)[0]))\n")
    done = run_script(script)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == "RecursionError"
