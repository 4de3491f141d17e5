"""Module entities: every class as a class statement would make it - bases, docstrings, members
in order with their kinds, parameters and defaults, instance attributes, argument errors."""

import inspect

import pytest

from equilexproxy import entities
from entity_fakes import RecordingEngine

# Members in class-dictionary order: "P name" read-only property, "PS name" property with a
# setter, "M name(params)" method (self left out).
FRAMES = {
    "LanguageDesc": """M __init__() | M __get__(instance, owner) | M __set__(instance, value)""",
    "Value": """M __init__() | M set(value) | M get(value)""",
    "ValueH": """M __init__(constituent) | M set(value) | M get() | M __str__() | M __repr__()""",
    "ValueS": """M __init__(constituent) | M set(value) | M get() | M __str__() | M __repr__()""",
    "ValueCp": """M __init__(constituent, indexcp, index=0) | M set(value) | M get()""",
    "ValueEx": """M __init__(phase, indexx, iexpr, iterm, type='G') | M set(value) | M get()
                  | M __str__() | M __repr__()""",
    "SystemComponent": """PS name | P wmass | P coeffs | P pressure_total | P volume_total
        | P temperature | P equilibrium_amount | P incoming_amount | P chemical_potential
        | P activity | P fraction_system | M fraction_phase(phase_id) | M amount_phase(phase_id)
        | M __init__(index, engine) | M __str__() | M __repr__()""",
    "ParameterG": """PS A | PS B | PS C | PS D | PS E | PS F | M __init__(phase, indexx, iexpr=1)
        | M __str__() | M __repr__() | M A_value() | M B_value() | M C_value() | M D_value()
        | M E_value() | M F_value()""",
    "ParameterM": """M __init__(phase, indexx, iexpr) | PS tc | PS beta | M __str__()
        | M __repr__()""",
    "Phase": """P name | P model_name | PS status | P number_constituents | P number_sublattices
        | P activity | P chemical_potential | P incoming_amount | P eq_amount | P pressure_total
        | P volume_total | P temperature | P heat_capacity | P enthalpy | P entropy
        | P gibbs_energy | P volume | P heat_capacity_specific | P enthalpy_specific
        | P entropy_specific | P gibbs_energy_specific | P volume_specific
        | M __init__(index, engine) | M __str__() | M __repr__() | M get_constituent(index)
        | M get_sublattice(index) | P constituents | P sublattices | P species
        | M constituent_by_name(name) | M get_parameter_gex(indexx, iexpr=1)
        | M get_parameter_magn(indexx, iexpr=1) | M get_interaction_index(interaction, kind='G')
        | M get_interaction_indices(interactions, kind='G') | M interactions_g()
        | M get_species_by_index_global(index) | M interaction_g_expanded(interaction)
        | M interactions_g_expanded() | M get_interaction_g_index_expanded(interaction)
        | M get_interaction_g_indices_expanded(interactions) | P interactions_m""",
    "CpRange": """PS a | PS b | PS c | PS d | P e | P f | P g | P i | P j | P k | P Tupper | P Tlower
        | PS Ht | M __init__(index, constituent) | M __repr__() | M a_value() | M b_value()
        | M c_value() | M d_value()""",
    "Constituent": """P name | P wmass | P coeffs | P incoming | PS status | P heat_capacity
        | P enthalpy | P entropy | P gibbs_energy | P volume | P temperature_upper
        | M __init__(index, phase) | PS H298 | PS S298 | PS magnetic_temperature
        | PS magnetic_moment | PS critical_temperature | PS critical_pressure
        | PS critical_volume | PS acentric_factor | PS dipole_moment | PS density
        | PS thermal_expansion_a | PS thermal_expansion_b | PS thermal_expansion_c
        | PS thermal_expansion_d | PS thermal_expansion | PS compressibility_a
        | PS compressibility_b | PS compressibility_c | PS compressibility_d
        | PS compressibility | PS bulk_modulus_derivative_a | PS bulk_modulus_derivative_b
        | PS bulk_modulus_derivative | M __str__() | M __repr__() | M get_Cp_at(index)
        | M H298_value() | M S298_value()""",
    "Sublattice": """P number_species | M __init__(index, phase) | M __str__() | M __repr__()
        | M get_species(index) | P species | M species_by_name(name)""",
    "Species": """P name | P molar_fraction | P index_global | M __init__(index, sublattice)
        | M __str__() | M __repr__()""",
}

MEMBER_COUNTS = {"LanguageDesc": 3, "Value": 3, "ValueH": 5, "ValueS": 5, "ValueCp": 3,
                 "ValueEx": 5, "SystemComponent": 16, "ParameterG": 15, "ParameterM": 5,
                 "Phase": 42, "CpRange": 19, "Constituent": 40, "Sublattice": 7, "Species": 6}

CLASS_DOCS = {
    "ParameterG": "p = A + B*T + C*T*ln(T) + D*T2 + E*T3 + F/T (+G*P + H*P2)",
    "CpRange": "Cp(T) = a + b*T + c*T^2+d/T^2+e*T^i+f*T^j+g*T^k",
}

MEMBER_DOCS = {
    ("SystemComponent", "name"): "can be changed; equivalent to `equilex.raw.Equilex.tqgnsc` and "
                                 "`equilex.raw.Equilex.tqcnsc`",
    ("SystemComponent", "wmass"): "uses `equilex.raw.Equilex.tqstsc` internally",
    ("SystemComponent", "coeffs"): "uses `equilex.raw.Equilex.tqstsc` internally",
    ("Sublattice", "number_species"): "equivalent to `equilex.raw.Equilex.tqnolc`",
    ("Sublattice", "get_species"): "returns a `equilex.utils.Species` object with a given index",
    ("Sublattice", "species"): "a list of all species in the sublattice",
    ("Species", "name"): "equivalent to `equilex.raw.Equilex.tqgnlc`",
    ("Species", "molar_fraction"): "equivalent to `equilex.raw.Equilex.tqgtlc`",
}

STANDARD = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


def frame(name):
    members = []
    for entry in FRAMES[name].split("|"):
        kind, _, rest = entry.strip().partition(" ")
        members.append((kind, rest.partition("(")[0], rest.partition("(")[2].rstrip(")")))
    return members


@pytest.mark.parametrize("name", FRAMES)
def test_class_frame(name):
    cls = getattr(entities, name)
    members = frame(name)
    assert len(members) == MEMBER_COUNTS[name]
    assert [n for n in vars(cls) if n not in STANDARD] == [n for _, n, _ in members]
    assert cls.__module__ == "equilexproxy.entities" and cls.__qualname__ == name
    assert cls.__doc__ == CLASS_DOCS.get(name)
    base = entities.Value if name.startswith("Value") and name != "Value" else object
    assert cls.__bases__ == (base,) and type(cls) is type
    assert "__slots__" not in vars(cls)
    for kind, member, params in members:
        value = vars(cls)[member]
        doc = MEMBER_DOCS.get((name, member))
        if kind == "M":
            assert not isinstance(value, property)
            assert value.__qualname__ == f"{name}.{member}" and value.__module__ == cls.__module__
            signature = inspect.signature(value)
            shown = ", ".join(str(p) for p in list(signature.parameters.values())[1:])
            assert shown == params, member
            assert list(signature.parameters)[0] == "self"
        else:
            assert type(value) is property and value.fdel is None
            assert (value.fset is not None) == (kind == "PS"), member
            assert value.fget.__name__ == member and value.fget.__qualname__ == f"{name}.{member}"
            if value.fset is not None:
                assert value.fset.__name__ == member
                assert list(inspect.signature(value.fset).parameters) == ["self", "value"]
        assert value.__doc__ == doc, member


def test_the_one_annotation_of_the_module():
    annotated = []
    for name in FRAMES:
        for member, value in vars(getattr(entities, name)).items():
            functions = [value.fget, value.fset] if isinstance(value, property) else [value]
            for function in functions:
                if function is not None and getattr(function, "__annotations__", None):
                    annotated.append((name, member, function.__annotations__))
    assert annotated == [("Sublattice", "get_species", {"index": "int"})]


def test_defaults_are_the_declared_objects():
    assert entities.ValueCp.__init__.__defaults__ == (0,)
    assert entities.ValueEx.__init__.__defaults__ == ("G",)
    assert entities.ParameterG.__init__.__defaults__ == (1,)
    assert entities.ParameterM.__init__.__defaults__ is None
    assert entities.Phase.get_parameter_gex.__defaults__ == (1,)
    assert entities.Phase.get_interaction_indices.__defaults__ == ("G",)


def test_module_functions():
    for function, params in [(entities.parse_interaction, ["interaction_string"]),
                             (entities._get_interaction_parser, [])]:
        assert function.__module__ == "equilexproxy.entities"
        assert list(inspect.signature(function).parameters) == params
    result = entities.parse_interaction(interaction_string="1: *2 ( 1)-( 2)")
    assert result.asList() == [1, "2", 1, 2]


# --- instances ----------------------------------------------------------------------------------

phase = entities.Phase(2, RecordingEngine())
constituent = entities.Constituent(3, phase)
sublattice = entities.Sublattice(1, phase)


@pytest.mark.parametrize(
    "make, attributes",
    [
        (lambda: entities.SystemComponent(1, "E"), {"engine": "E", "index": 1}),
        (lambda: entities.Phase(index=4, engine="E"), {"engine": "E", "index": 4}),
        (lambda: entities.Constituent(3, phase), {"index": 3, "parent": phase}),
        (lambda: entities.Sublattice(phase=phase, index=2), {"index": 2, "parent": phase}),
        (lambda: entities.Species(5, sublattice), {"index": 5, "parent": sublattice}),
        (lambda: entities.CpRange(2, constituent), {"index": 2, "constituent": constituent}),
        (lambda: entities.ParameterG(phase, 4),
         {"phase": phase, "indexx": 4, "iexpr": 1, "type": "G"}),
        (lambda: entities.ParameterM(phase, 4, iexpr=3),
         {"phase": phase, "indexx": 4, "iexpr": 3, "type": "M"}),
        (lambda: entities.ValueH(constituent), {"constituent": constituent}),
        (lambda: entities.ValueCp(constituent, 2), {"constituent": constituent, "indexcp": 2,
                                                    "index": 0}),
        (lambda: entities.ValueEx(phase, 1, 2, 3),
         {"phase": phase, "indexx": 1, "iexpr": 2, "iterm": 3, "type": "G"}),
        (lambda: entities.Value(), {}),
    ],
)
def test_constructors_store_their_arguments_in_order(make, attributes):
    made = make()
    assert list(vars(made).items()) == list(attributes.items())


def test_construction_and_handing_out_make_no_engine_call():
    engine = RecordingEngine()
    p = entities.Phase(1, engine)
    c = p.get_constituent(2)
    made = [c, p.get_sublattice(1), p.get_parameter_gex(1), p.get_parameter_magn(1),
            c.get_Cp_at(1), c.H298_value(), c.S298_value(), c.get_Cp_at(1).a_value(),
            p.get_parameter_gex(1).A_value(), entities.Sublattice(1, p).get_species(2)]
    assert len(made) == 10 and engine.calls == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: entities.Constituent(1),
         "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: entities.ParameterM(phase, 2),
         "__init__() takes exactly 4 positional arguments (3 given)"),
        (lambda: entities.ValueCp(constituent),
         "__init__() takes at least 3 positional arguments (2 given)"),
        (lambda: entities.ValueEx(phase, 1, 1, 1, "G", 9),
         "__init__() takes at most 6 positional arguments (7 given)"),
        (lambda: constituent.get_Cp_at(), "get_Cp_at() takes exactly 2 positional arguments "
                                          "(1 given)"),
        (lambda: phase.interactions_g(1), "interactions_g() takes exactly 1 positional argument "
                                          "(2 given)"),
        (lambda: phase.get_parameter_gex(1, 2, 3),
         "get_parameter_gex() takes at most 3 positional arguments (4 given)"),
        (lambda: phase.get_parameter_gex(indexx=1, depth=2),
         "get_parameter_gex() got an unexpected keyword argument 'depth'"),
        (lambda: phase.get_parameter_gex(1, indexx=1),
         "get_parameter_gex() got multiple values for keyword argument 'indexx'"),
        (lambda: sublattice.get_species(True),
         "Argument 'index' has incorrect type (expected int, got bool)"),
        (lambda: sublattice.get_species(2.0),
         "Argument 'index' has incorrect type (expected int, got float)"),
        (lambda: sublattice.get_species(index=None),
         "Argument 'index' has incorrect type (expected int, got NoneType)"),
        (lambda: entities.Value().get(), "get() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "obj, member",
    [(phase, "name"), (phase, "constituents"), (phase, "interactions_m"),
     (entities.CpRange(1, constituent), "e"), (constituent, "coeffs"), (sublattice, "species")],
)
def test_read_only_properties_refuse_assignment(obj, member):
    with pytest.raises(AttributeError):
        setattr(obj, member, 1)
    with pytest.raises(AttributeError):
        delattr(obj, member)
    assert obj.__dict__.get(member) is None


def test_settable_properties_have_no_deleter():
    with pytest.raises(AttributeError):
        del phase.status


def test_plain_value_does_nothing():
    value = entities.Value()
    assert value.set(3) is None and value.get(1) is None and value.set(value=1) is None
    assert vars(value) == {}


def test_value_cp_has_the_default_representation():
    value = entities.ValueCp(constituent, 1)
    assert repr(value) == object.__repr__(value) and str(value) == repr(value)
    assert "__str__" not in vars(entities.ValueCp) and "__repr__" not in vars(entities.Value)


def test_repr_uses_the_instance_own_str():
    class Named(entities.Phase):
        def __str__(self):
            return "mine"

    assert repr(Named(1, RecordingEngine())) == "mine"


def test_subclasses_inherit_the_members():
    class Mine(entities.Constituent):
        pass

    engine = RecordingEngine(tqgnpc="X")
    assert Mine(1, entities.Phase(3, engine)).name == "X"
    assert engine.calls == [("tqgnpc", 3, 1)]
