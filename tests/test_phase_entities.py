"""System components, phases, excess parameters, phase navigation and interactions, through a
recording engine."""

import numpy as np
import pytest

from equilexproxy import entities
from entity_fakes import RecordingEngine, by_args

# --- SystemComponent -----------------------------------------------------------------------------


def test_component_name_and_stoichiometry():
    engine = RecordingEngine(tqgnsc="A", tqstsc=(10.5, (1.0, 0.0)), tqcnsc="dropped")
    component = entities.SystemComponent(2, engine)
    assert component.name == "A"
    component.name = "Z"
    assert component.wmass == 10.5 and component.coeffs == (1.0, 0.0)
    assert engine.calls == [("tqgnsc", 2), ("tqcnsc", 2, "Z"), ("tqstsc", 2), ("tqstsc", 2)]


@pytest.mark.parametrize(
    "member, option",
    [("pressure_total", "P"), ("volume_total", "VT"), ("temperature", "T"),
     ("equilibrium_amount", "A"), ("incoming_amount", "IA"), ("chemical_potential", "MU"),
     ("activity", "AC"), ("fraction_system", "X")],
)
def test_component_results(member, option):
    engine = RecordingEngine(tqgetr=by_args({(option, 0, 3): 0.25}))
    assert getattr(entities.SystemComponent(3, engine), member) == 0.25
    assert engine.calls == [("tqgetr", option, 0, 3)]


class MyStr(str):
    pass


@pytest.mark.parametrize("method, option", [("fraction_phase", "XP"), ("amount_phase", "AP")])
@pytest.mark.parametrize(
    "phase_id, calls",
    [
        (2, [("tqgetr", "?", 2, 4)]),
        (True, [("tqgetr", "?", True, 4)]),
        ("LIQUID", [("tqinp", "LIQUID"), ("tqgetr", "?", 2, 4)]),
        (MyStr("LIQUID"), [("tqinp", "LIQUID"), ("tqgetr", "?", 2, 4)]),
        (entities.Phase(2, None), [("tqgetr", "?", 2, 4)]),
    ],
)
def test_component_in_a_phase(method, option, phase_id, calls):
    engine = RecordingEngine(tqinp=2, tqgetr=0.5)
    assert getattr(entities.SystemComponent(4, engine), method)(phase_id=phase_id) == 0.5
    assert engine.calls == [tuple(option if x == "?" else x for x in call) for call in calls]


@pytest.mark.parametrize("phase_id, shown", [(1.5, "1.5"), (None, "None"), ([2], "[2]")])
def test_component_in_a_phase_refuses_other_kinds(phase_id, shown):
    engine = RecordingEngine()
    with pytest.raises(Exception) as caught:
        entities.SystemComponent(1, engine).amount_phase(phase_id)
    assert type(caught.value) is Exception
    assert str(caught.value) == f"{shown} must be an integer, a string or a Phase object"
    assert engine.calls == []


def test_component_text():
    engine = RecordingEngine(tqgnsc="C", tqstsc=(12.011, (0.0, 0.0, 1.0)))
    component = entities.SystemComponent(3, engine)
    text = "system component <name: C, wmass: 12.011, coeffs: (0.0, 0.0, 1.0)>"
    assert str(component) == text and repr(component) == text
    assert engine.names() == ["tqgnsc", "tqstsc", "tqstsc"] * 2


# --- Phase ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, routine", [("name", "tqgnp"), ("model_name", "tqmodl"), ("status", "tqgsp"),
                        ("number_constituents", "tqnopc")],
)
def test_phase_identity_and_counts(member, routine):
    marker = object()
    engine = RecordingEngine(**{routine: marker})
    assert getattr(entities.Phase(6, engine), member) is marker
    assert engine.calls == [(routine, 6)]


@pytest.mark.parametrize(
    "model, expected, calls",
    [("PURE", 0, [("tqmodl", 4)]), ("SUBL", 2, [("tqmodl", 4), ("tqnosl", 4)]),
     ("pure", 2, [("tqmodl", 4), ("tqnosl", 4)])],
)
def test_number_of_sublattices(model, expected, calls):
    engine = RecordingEngine(tqmodl=model, tqnosl=2)
    count = entities.Phase(4, engine).number_sublattices
    assert count == expected and type(count) is int
    assert engine.calls == calls


PHASE_RESULTS = [
    ("activity", "AC"), ("chemical_potential", "MU"), ("incoming_amount", "IA"),
    ("eq_amount", "A"), ("pressure_total", "P"), ("volume_total", "VT"), ("temperature", "T"),
    ("heat_capacity", "CP"), ("enthalpy", "H"), ("entropy", "S"), ("gibbs_energy", "G"),
    ("volume", "V"), ("heat_capacity_specific", "CPM"), ("enthalpy_specific", "HM"),
    ("entropy_specific", "SM"), ("gibbs_energy_specific", "GM"), ("volume_specific", "VM"),
]


@pytest.mark.parametrize("member, option", PHASE_RESULTS)
def test_phase_results(member, option):
    engine = RecordingEngine(tqgetr=by_args({(option, 5, 0): -1.25}))
    assert getattr(entities.Phase(5, engine), member) == -1.25
    assert engine.calls == [("tqgetr", option, 5, 0)]


def test_phase_status_assignment_and_rebinding():
    engine = RecordingEngine(tqcsp="dropped")
    phase = entities.Phase(3, engine)
    phase.status = "DORMANT"
    phase.index = 8
    phase.status = 7  # not a text: the engine's concern
    assert engine.calls == [("tqcsp", 3, "DORMANT"), ("tqcsp", 8, 7)]
    assert "status" not in vars(phase)


@pytest.mark.parametrize(
    "index, name, status, model, text, calls",
    [
        (1, "GAS", "ENTERED", "IDMX",
         "phase <  1, name: GAS                      [ENTERED   ], model: IDMX , ncon:   3, "
         "nsubl: 2>", ["tqgnp", "tqgsp", "tqmodl", "tqnopc", "tqmodl", "tqnosl"]),
        (12, "LONG_PHASE_NAME_24_CHARS_", "ELIMINATED", "PURE",
         "phase < 12, name: LONG_PHASE_NAME_24_CHARS_[ELIMINATED], model: PURE , ncon:   3, "
         "nsubl: 0>", ["tqgnp", "tqgsp", "tqmodl", "tqnopc", "tqmodl"]),
        (1234, "X", "DORMANT", "QUASICHEM",
         "phase <1234, name: X                        [DORMANT   ], model: QUASICHEM, ncon:   3, "
         "nsubl: 2>", ["tqgnp", "tqgsp", "tqmodl", "tqnopc", "tqmodl", "tqnosl"]),
    ],
)
def test_phase_text(index, name, status, model, text, calls):
    engine = RecordingEngine(tqgnp=name, tqgsp=status, tqmodl=model, tqnopc=3, tqnosl=2)
    phase = entities.Phase(index, engine)
    assert str(phase) == text
    assert engine.names() == calls
    assert repr(phase) == text


def test_phase_text_fails_whole():
    engine = RecordingEngine(tqgnp="GAS", tqgsp=None)  # None cannot take the width 10
    with pytest.raises(TypeError):
        str(entities.Phase(1, engine))


# --- ParameterG, ParameterM ---------------------------------------------------------------------


def parameter_engine():
    expressions = [[-160.0, 5.2, 0.0, 100.0, 1e-10, 12.345678912],
                   [0.5, 0.0001, 1e-05, 1e7, 0.0, -2.0]]
    return RecordingEngine(tqgpar=expressions)


@pytest.mark.parametrize("iexpr, row", [(1, 0), (2, 1), (0, 1), (-1, 0)])
def test_parameter_g_terms(iexpr, row):
    engine = parameter_engine()
    parameter = entities.ParameterG(entities.Phase(5, engine), 4, iexpr)
    values = [parameter.A, parameter.B, parameter.C, parameter.D, parameter.E, parameter.F]
    assert values == engine.answers["tqgpar"][row]
    assert engine.calls == [("tqgpar", 5, "G", 4)] * 6


def test_parameter_setters_use_their_selector():
    engine = RecordingEngine()
    phase = entities.Phase(5, engine)
    g = entities.ParameterG(phase, 4, 2)
    for term, letter in enumerate("ABCDEF", start=1):
        setattr(g, letter, term * 1.5)
    m = entities.ParameterM(phase, 4, 2)
    m.tc = 100
    m.beta = 0.3
    g.type = m.type = "other"
    g.C = 0
    assert engine.calls == [
        *[("tqcdat", 13, 4, 2, term, 5, term * 1.5) for term in range(1, 7)],
        ("tqcdat", 10, 4, 2, 1, 5, 100), ("tqcdat", 10, 4, 2, 2, 5, 0.3),
        ("tqcdat", 13, 4, 2, 3, 5, 0),
    ]


def test_parameter_getters_read_their_attributes_afresh():
    engine = RecordingEngine(tqgpar=[[1.0, 2.0]])
    parameter = entities.ParameterM(entities.Phase(5, engine), 4, 1)
    parameter.type, parameter.indexx, parameter.phase.index = "G", 9, 6
    assert (parameter.tc, parameter.beta) == (1.0, 2.0)
    assert engine.calls == [("tqgpar", 6, "G", 9)] * 2


def test_parameter_index_errors():
    engine = RecordingEngine(tqgpar=[[1.0, 2.0]])
    phase = entities.Phase(5, engine)
    with pytest.raises(IndexError):
        entities.ParameterG(phase, 1, 2).A
    with pytest.raises(IndexError):
        entities.ParameterG(phase, 1).C
    with pytest.raises(TypeError):
        entities.ParameterG(phase, 1, "1").A
    engine.answers["tqgpar"] = []  # the library reported no expressions
    with pytest.raises(IndexError):
        entities.ParameterM(phase, 1, 1).tc
    with pytest.raises(AttributeError):
        entities.ParameterM(object(), 1, 1).tc


def test_parameter_g_text():
    engine = parameter_engine()
    parameter = entities.ParameterG(entities.Phase(5, engine), 4)
    text = "-160.00000+5.2000000*T+0.0000000*TlnT+100.00000*T^2+1.0000000e-10*T^3+12.345679/T"
    assert str(parameter) == text and repr(parameter) == text
    assert engine.calls == [("tqgpar", 5, "G", 4)] * 12


@pytest.mark.parametrize(
    "tc, beta, text",
    [
        (-120.0, 0.5, "excess Curie temperature=-120.00000, excess magnetic moment=+0.50000000"),
        (0.0001, 1e-05, "excess Curie temperature=+0.00010000000, excess magnetic moment="
                        "+1.0000000e-05"),
        (1e7, 0.0, "excess Curie temperature=+1.0000000e+07, excess magnetic moment=+0.0000000"),
    ],
)
def test_parameter_m_text(tc, beta, text):
    engine = RecordingEngine(tqgpar=[[tc, beta]])
    parameter = entities.ParameterM(entities.Phase(6, engine), 1, 1)
    assert str(parameter) == text and repr(parameter) == text
    assert engine.calls == [("tqgpar", 6, "M", 1)] * 4


def test_parameter_value_objects():
    engine = parameter_engine()
    parameter = entities.ParameterG(entities.Phase(5, engine), 4, 2)
    values = [getattr(parameter, f"{letter}_value")() for letter in "ABCDEF"]
    assert engine.calls == []
    assert [type(v) for v in values] == [entities.ValueEx] * 6
    assert [list(vars(v).values()) for v in values] == [
        [parameter.phase, 4, 2, term, "G"] for term in range(1, 7)]
    again = parameter.A_value()
    parameter.iexpr = 1
    assert again is not values[0] and again.iexpr == 2
    assert values[2].get() == parameter.__class__(parameter.phase, 4, 2).C == 1e-05
    values[2].set(7.5)
    assert engine.calls[-1] == ("tqcdat", 13, 4, 2, 3, 5, 7.5)


# --- Phase navigation ----------------------------------------------------------------------------


def test_get_constituent_chooses_by_kind():
    engine = RecordingEngine(tqinpc=4)
    phase = entities.Phase(2, engine)
    by_index = phase.get_constituent(3)
    assert (by_index.index, by_index.parent) == (3, phase) and engine.calls == []
    assert phase.get_constituent(True).index is True
    by_name = phase.get_constituent("AB")
    same = phase.constituent_by_name(name="AB")
    assert (by_name.index, same.index, by_name.parent) == (4, 4, phase)
    assert engine.calls == [("tqinpc", 2, "AB")] * 2
    assert [phase.get_constituent(x) for x in (2.0, None, by_index)] == [None] * 3
    assert type(by_index) is entities.Constituent


def test_constituent_by_name_passes_anything_on():
    engine = RecordingEngine(tqinpc=lambda indexp, name: 7)
    assert entities.Phase(1, engine).constituent_by_name(3).index == 7
    assert engine.calls == [("tqinpc", 1, 3)]


def test_lists_of_constituents_and_sublattices():
    engine = RecordingEngine(tqnopc=3, tqmodl="SUBL", tqnosl=2)
    phase = entities.Phase(7, engine)
    constituents = phase.constituents
    assert [(c.index, c.parent) for c in constituents] == [(1, phase), (2, phase), (3, phase)]
    sublattices = phase.sublattices
    assert [(s.index, s.parent) for s in sublattices] == [(1, phase), (2, phase)]
    assert engine.calls == [("tqnopc", 7), ("tqmodl", 7), ("tqnosl", 7)]
    assert phase.constituents is not constituents and phase.constituents[0] is not constituents[0]
    assert phase.get_sublattice("x").index == "x"


def test_empty_lists():
    engine = RecordingEngine(tqnopc=0, tqmodl="PURE")
    phase = entities.Phase(3, engine)
    assert phase.constituents == [] and phase.sublattices == [] and phase.species == []
    assert engine.calls == [("tqnopc", 3), ("tqmodl", 3), ("tqmodl", 3)]


def two_sublattice_engine(sizes=(2, 3), names=None):
    names = names or {}
    return RecordingEngine(
        tqmodl="SUBL", tqnosl=len(sizes),
        tqnolc=lambda indexp, index: sizes[index - 1],
        tqgnlc=lambda indexp, indexs, index: names.get((indexs, index), f"S{indexs}.{index}"),
    )


def test_species_of_a_phase():
    engine = two_sublattice_engine()
    species = entities.Phase(7, engine).species
    assert [(s.parent.index, s.index) for s in species] == [(1, 1), (1, 2), (2, 1), (2, 2), (2, 3)]
    assert engine.calls == [("tqmodl", 7), ("tqnosl", 7), ("tqnolc", 7, 1), ("tqnolc", 7, 2)]


def test_parameters_handed_out():
    phase = entities.Phase(2, None)
    for made, cls, iexpr in [(phase.get_parameter_magn(4), entities.ParameterM, 1),
                             (phase.get_parameter_gex(4, 2), entities.ParameterG, 2),
                             (phase.get_parameter_gex(indexx=4, iexpr=2), entities.ParameterG, 2)]:
        assert type(made) is cls and (made.phase, made.indexx, made.iexpr) == (phase, 4, iexpr)


# --- Phase interactions -------------------------------------------------------------------------

TEXTS = ["1: *3 ( 1)-( 2)-( 4) : ( 8)", "2: *2 ( 1)-( 2) : ( 6)", "3: *2 ( 3) : ( 6)-( 7)^[2]"]


@pytest.mark.parametrize(
    "interaction, kind, expected",
    [(TEXTS[0], "G", 1), (TEXTS[2], "G", 3), ("absent", "G", -1), (TEXTS[1], "M", 2)],
)
def test_get_interaction_index(interaction, kind, expected):
    engine = RecordingEngine(tqlpar=TEXTS)
    phase = entities.Phase(7, engine)
    if kind == "G":
        assert phase.get_interaction_index(interaction) == expected
    else:
        assert phase.get_interaction_index(interaction, kind=kind) == expected
    assert engine.calls == [("tqlpar", 7, kind)]


def test_get_interaction_index_without_interactions():
    assert entities.Phase(1, RecordingEngine(tqlpar=[])).get_interaction_index(TEXTS[0]) == -1


def test_get_interaction_indices():
    engine = RecordingEngine(tqlpar=TEXTS)
    phase = entities.Phase(7, engine)
    found = phase.get_interaction_indices([TEXTS[1], TEXTS[0]])
    assert found.dtype == np.float64 and found.tolist() == [1.0, 0.0]
    empty = phase.get_interaction_indices([], "M")
    assert empty.dtype == np.float64 and empty.shape == (0,)
    assert engine.calls == [("tqlpar", 7, "G"), ("tqlpar", 7, "M")]
    with pytest.raises(ValueError):
        phase.get_interaction_indices([TEXTS[0], "absent"])


def test_interactions_g_is_the_engine_list():
    listed = list(TEXTS)
    engine = RecordingEngine(tqlpar=listed)
    assert entities.Phase(7, engine).interactions_g() is listed
    assert engine.calls == [("tqlpar", 7, "G")]


@pytest.mark.parametrize(
    "sizes, number, expected",
    [
        ((2, 3), 0, None), ((2, 3), -2, None), ((2, 3), 0.5, None), ((2, 3), 1, (1, 1)),
        ((2, 3), 2, (1, 2)), ((2, 3), 2.9, (1, 2)), ((2, 3), 3, (2, 1)), ((2, 3), 5, (2, 3)),
        ((2, 3), 6, None), ((2, 0, 1), 3, (3, 1)), ((), 1, None), ((4,), np.int64(2), (1, 2)),
    ],
)
def test_species_by_phase_wide_number(sizes, number, expected):
    engine = two_sublattice_engine(sizes)
    species = entities.Phase(7, engine).get_species_by_index_global(number)
    if expected is None:
        assert species is None
    else:
        assert type(species) is entities.Species and type(species.index) is int
        assert (species.parent.index, species.index) == expected
    if number < 1:
        assert engine.calls == []
    else:
        assert engine.calls[:2] == [("tqmodl", 7), ("tqnosl", 7)]
        assert engine.calls[2:] == [("tqnolc", 7, k) for k in range(1, len(sizes) + 1)]


def test_species_by_phase_wide_number_of_a_compound():
    engine = RecordingEngine(tqmodl="PURE")
    assert entities.Phase(3, engine).get_species_by_index_global(1) is None
    assert engine.calls == [("tqmodl", 3)]


FIVE_AND_FIVE = {(1, k): name for k, name in enumerate("ABCDE", start=1)}
FIVE_AND_FIVE.update({(2, k): name for k, name in enumerate("VWXYZ", start=1)})


@pytest.mark.parametrize(
    "text, expanded",
    [
        ("4: *R ( 1)-( 3) : ( 6)-( 8)", "(A)-(C): (V)-(X)"),
        ("1: *2 ( 1)-( 2) (Quasichemical)", "(A)-(B) (Quasichemical)"),
        ("1: *3 ( 1)-( 2)-( 4)", "(A)-(B)-(D)"),
        # The powers pair with the species by position among the powers written.
        ("3: *2 ( 3) : ( 6)-( 7)^[2]", "(C)^[2]: (V)-(W)"),
        ("3: *2 ( 1)^[1]-( 2)^[3] : ( 6)", "(A)^[1]-(B)^[3]: (V)"),
        # A return to an earlier sublattice opens a further group.
        ("1: *2 ( 1) : ( 6)-( 2)", "(A): (V): (B)"),
        ("***: *Q ( 10)", "(Z)"),
    ],
)
def test_interaction_expanded(text, expanded):
    engine = two_sublattice_engine((5, 5), FIVE_AND_FIVE)
    assert entities.Phase(7, engine).interaction_g_expanded(text) == expanded


def test_interaction_that_does_not_parse(capsys):
    engine = two_sublattice_engine()
    with pytest.raises(entities.pp.ParseException):
        entities.Phase(7, engine).interaction_g_expanded("1:*2 ( 1)")
    assert capsys.readouterr().out == "COULD NOT PARSE '1:*2 ( 1)'\n"
    assert engine.calls == []


def test_interaction_naming_a_species_the_phase_lacks():
    engine = two_sublattice_engine((2, 3))
    with pytest.raises(ValueError) as caught:
        entities.Phase(7, engine).interaction_g_expanded("1: *2 ( 1)-( 9)")
    assert str(caught.value) == "species 9 of '1: *2 ( 1)-( 9)' is no species of this phase"


def expansions_engine(texts):
    engine = two_sublattice_engine((5, 5), FIVE_AND_FIVE)
    engine.answers["tqlpar"] = texts
    return engine


def test_expanded_look_ups():
    texts = ["1: *2 ( 1)-( 2)", "2: *R ( 1)-( 3) : ( 6)-( 8)", "7: *3 ( 1)-( 2)"]
    phase = entities.Phase(7, expansions_engine(texts))
    expanded = phase.interactions_g_expanded()
    assert isinstance(expanded, np.ndarray)
    assert expanded.tolist() == ["(A)-(B)", "(A)-(C): (V)-(X)", "(A)-(B)"]
    # Equal expanded texts: the first position wins.
    assert phase.get_interaction_g_index_expanded("(A)-(B)") == 1
    assert phase.get_interaction_g_index_expanded(interaction="(A)-(C): (V)-(X)") == 2
    assert phase.get_interaction_g_index_expanded("(V)") == 0
    found = phase.get_interaction_g_indices_expanded(["(A)-(C): (V)-(X)", "(V)", "(A)-(B)"])
    assert found.dtype == np.float64 and found.tolist() == [2.0, -1.0, 1.0]


def test_expanded_look_ups_without_interactions():
    phase = entities.Phase(7, expansions_engine([]))
    assert phase.interactions_g_expanded().shape == (0,)
    assert phase.get_interaction_g_index_expanded("(A)") == 0
    with pytest.warns(FutureWarning):  # numpy compares an empty float array with a text
        found = phase.get_interaction_g_indices_expanded(["(A)"])
    assert found.tolist() == [-1.0]


def test_interactions_m():
    texts = ["1: *2 ( 1)-( 2)", "2: *2 ( 1)-( 3)", "1: *2 ( 1)-( 2)", "4: *2 ( 2)-( 3)"]
    counts = {1: 2, 2: 0, 3: 1, 4: 1}
    engine = RecordingEngine(tqlpar=texts,
                             tqgpar=lambda indexp, option, indexx: [[0.0, 0.0]] * counts[indexx])
    phase = entities.Phase(6, engine)
    found = phase.interactions_m
    assert list(found) == ["1: *2 ( 1)-( 2)", "2: *2 ( 1)-( 3)", "4: *2 ( 2)-( 3)"]
    assert found["2: *2 ( 1)-( 3)"] == []
    # The later of two equal texts replaces the earlier one's list.
    assert [(p.indexx, p.iexpr) for p in found["1: *2 ( 1)-( 2)"]] == [(3, 1)]
    assert all(type(p) is entities.ParameterM and p.phase is phase
               for p in found["4: *2 ( 2)-( 3)"])
    assert engine.calls == [("tqlpar", 6, "M")] + [("tqgpar", 6, "M", n) for n in (1, 2, 3, 4)]


def test_interactions_m_without_magnetic_interactions():
    engine = RecordingEngine(tqlpar=[])
    assert entities.Phase(6, engine).interactions_m == {}
    assert engine.calls == [("tqlpar", 6, "M")]


def test_interactions_m_uses_the_phase_own_method():
    class Phase(entities.Phase):
        def get_parameter_magn(self, indexx, iexpr=1):
            return ("mine", indexx, iexpr)

    engine = RecordingEngine(tqlpar=["x"], tqgpar=[[1.0], [2.0]])
    assert Phase(1, engine).interactions_m == {"x": [("mine", 1, 1), ("mine", 1, 2)]}
