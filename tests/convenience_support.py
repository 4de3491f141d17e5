"""What the tests of the engine's convenience members share: a real engine whose routine methods
are scripted instance attributes (the members fetch them by attribute at call time), and stand-in
entity classes that reach the engine the way module entities' classes do."""

import types

import pytest

from equilexproxy import entities as entities_module
from equilexproxy import raw


class Script:
    """Routine methods of `engine` replaced by instance attributes that log each call, in order,
    and answer what the test says."""

    def __init__(self, engine):
        self.engine = engine
        self.calls = []

    def returns(self, name, *answers, raises=None):
        """`name` answers `answers` in turn (the last one again once they run out)."""
        pending = list(answers)

        def method(*args, **keywords):
            assert not keywords, f"{name} called with keywords {keywords}"
            self.calls.append((name, *args))
            if raises is not None:
                raise raises
            if not pending:
                return None
            return pending.pop(0) if len(pending) > 1 else pending[0]

        setattr(self.engine, name, method)
        return self

    def computes(self, name, function):
        """`name` answers `function(*args)`."""

        def method(*args):
            self.calls.append((name, *args))
            return function(*args)

        setattr(self.engine, name, method)
        return self

    def names(self):
        return [call[0] for call in self.calls]


class Posing:
    """A proxy of `value` that reports the value's class as its own `__class__`, as proxies do:
    isinstance counts it as an instance of that class, the interpreter's type checks do not. It
    compares as the value does."""

    def __init__(self, value):
        self.value = value

    @property
    def __class__(self):
        return type(self.value)

    def __lt__(self, other):
        return self.value < other

    def __gt__(self, other):
        return self.value > other

    def __str__(self):
        return f"Posing({self.value!r})"


class Made:
    """How an entity was constructed: its class name, positional and keyword arguments."""

    def __init__(self, log, kind, args, keywords):
        self.kind, self.args, self.keywords = kind, args, keywords
        log.append(self)


def fake_entities_module():
    """A module with SystemComponent, Phase and Constituent classes that read and write through
    their engine exactly as module entities' classes do, and log how they were made."""
    module = types.ModuleType("fake_entities")
    module.made = []

    class SystemComponent:
        def __init__(self, index, engine):
            self.index, self.engine = index, engine

        def __new__(cls, *args, **keywords):
            Made(module.made, "SystemComponent", args, keywords)
            return super().__new__(cls)

    class Phase:
        def __new__(cls, *args, **keywords):
            Made(module.made, "Phase", args, keywords)
            return super().__new__(cls)

        def __init__(self, index, engine):
            self.index, self.engine = index, engine

        @property
        def status(self):
            return self.engine.tqgsp(self.index)

        @status.setter
        def status(self, value):
            self.engine.tqcsp(self.index, value)

        @property
        def model_name(self):
            return self.engine.tqmodl(self.index)

        @property
        def activity(self):
            return self.engine.tqgetr("AC", self.index, 0)

        @property
        def eq_amount(self):
            return self.engine.tqgetr("A", self.index, 0)

        def get_constituent(self, id):
            return Constituent(id, self)

    class Constituent:
        def __init__(self, index, parent):
            self.index, self.parent = index, parent

    module.SystemComponent = SystemComponent
    module.Phase = Phase
    module.Constituent = Constituent
    return module


def entity_classes(kind, monkeypatch):
    """Module raw's global `entities` for one test: the fake module, or the real one."""
    if kind == "real":
        return entities_module
    module = fake_entities_module()
    monkeypatch.setattr(raw, "entities", module)
    return module


@pytest.fixture(params=["fake", "real"])
def entities(request, monkeypatch):
    """The entity classes the engine's members meet: the fake ones, then module entities' own."""
    return entity_classes(request.param, monkeypatch)
