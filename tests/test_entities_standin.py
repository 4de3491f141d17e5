"""The entities over the stand-in library with the structural sample: every entity of the loaded
system made and printed, values changed and read back, interaction texts expanded. Entities
are compared with the engine's own routine answers, never with numbers of the sample."""

import re

import pytest

from equilexproxy import entities


@pytest.fixture
def structure(standin_engine, sample_data_dir):
    """The structural sample loaded on the library road; the engine then on each road."""
    road = standin_engine.use_eqpy
    standin_engine.use_eqpy = False
    standin_engine.load_datafile(str(sample_data_dir / "structure.dat"))
    assert standin_engine.last_error == 0
    standin_engine.use_eqpy = road
    return standin_engine


@pytest.fixture
def library(engine, sample_data_dir):
    engine.load_datafile(str(sample_data_dir / "structure.dat"))
    assert engine.last_error == 0
    return engine


def phases_of(engine):
    return [entities.Phase(k, engine) for k in range(1, engine.tqnop() + 1)]


def cp_ranges(constituent):
    """The heat-capacity ranges the engine reports for a constituent (asked on the library road,
    which records a range out of range rather than raising)."""
    engine, p, c = constituent.parent.engine, constituent.parent.index, constituent.index
    road, engine.use_eqpy = engine.use_eqpy, False
    ranges, r = [], 1
    while r < 20 and engine.tqgdat(p, c, "Cp", r):
        ranges.append(constituent.get_Cp_at(r))
        r += 1
    engine.use_eqpy, engine.last_error = road, 0
    return ranges


def phase_with_model(engine, test):
    for phase in phases_of(engine):
        if test(phase):
            return phase
    pytest.skip("the sample has no such phase")


# --- every entity, made and printed --------------------------------------------------------------


def test_every_entity_agrees_with_the_engine(structure):
    engine = structure
    components = [entities.SystemComponent(k, engine) for k in range(1, engine.tqnosc() + 1)]
    for component in components:
        mass, coefficients = engine.tqstsc(component.index)
        assert (component.name, component.wmass, component.coeffs) == (
            engine.tqgnsc(component.index), mass, coefficients)
        assert str(component) == (f"system component <name: {component.name}, wmass: {mass}, "
                                  f"coeffs: {coefficients}>")
    texts = []
    for phase in phases_of(engine):
        p = phase.index
        model = engine.tqmodl(p)
        sublattice_count = 0 if model == "PURE" else engine.tqnosl(p)
        assert (phase.name, phase.model_name, phase.status, phase.number_constituents,
                phase.number_sublattices) == (engine.tqgnp(p), model, engine.tqgsp(p),
                                              engine.tqnopc(p), sublattice_count)
        texts.append(str(phase))
        assert texts[-1].startswith(f"phase <{p:3}, name: {engine.tqgnp(p):25}[")
        for constituent in phase.constituents:
            c = constituent.index
            assert (constituent.name, constituent.wmass, constituent.coeffs) == (
                engine.tqgnpc(p, c), *engine.tqstpc(p, c))
            assert constituent.H298 == engine.tqgdat(p, c, "H", 1)[0]
            assert constituent.S298_value().get() == engine.tqgdat(p, c, "S", 1)[0]
            texts.append(str(constituent))
            texts.append(str(constituent.H298_value()))
            for cp_range in cp_ranges(constituent):
                data = engine.tqgdat(p, c, "Cp", cp_range.index)
                assert [cp_range.a, cp_range.b, cp_range.c, cp_range.d] == list(data[:4])
                assert cp_range.Tupper == engine.tqgdat(p, c, "Tt", cp_range.index)[0]
                texts.append(repr(cp_range))
        species = phase.species
        assert len(species) == sum(engine.tqnolc(p, s) for s in range(1, sublattice_count + 1))
        for sublattice in phase.sublattices:
            texts.append(str(sublattice))
            for one in sublattice.species:
                assert one.name == engine.tqgnlc(p, sublattice.index, one.index)
                assert phase.get_species_by_index_global(one.index_global) is not None
                assert species[one.index_global - 1].name == one.name
                texts.append(str(one))
        for indexx, text in enumerate(engine.tqlpar(p, "G"), start=1):
            for iexpr in range(1, len(engine.tqgpar(p, "G", indexx)) + 1):
                parameter = phase.get_parameter_gex(indexx, iexpr)
                assert parameter.A == engine.tqgpar(p, "G", indexx)[iexpr - 1][0]
                texts.append(f"{text} -> {parameter}")
        for text, parameters in phase.interactions_m.items():
            texts.extend(f"{text} -> {parameter}" for parameter in parameters)
    print("\n".join(texts))  # shown with pytest -s
    assert len(texts) > 50 and all(type(text) is str and text for text in texts)


def test_molar_volume_data_and_the_1004_fall_back(library):
    engine = library
    with_data = without = None
    for phase in phases_of(engine):
        for constituent in phase.constituents:
            data = engine.tqgdat(phase.index, constituent.index, "V", 1)
            if data and with_data is None:
                with_data = (constituent, data)
            if not data and engine.last_error == 1004 and without is None:
                without = constituent
            engine.last_error = 0
    if with_data is None or without is None:
        pytest.skip("the sample needs constituents with and without molar volumes")
    constituent, data = with_data
    assert constituent.density == data[0] and constituent.thermal_expansion == data[1:5]
    assert constituent.bulk_modulus_derivative_b == data[10]
    assert without.density == 0 and engine.last_error == 1004
    # The recorded number stays: a constituent with data falls back as well.
    assert constituent.density == 0 and constituent.compressibility == 0.0
    engine.last_error = 0  # as remove_all leaves it
    assert constituent.density == data[0]


# --- values changed and read back ----------------------------------------------------------------


def test_reference_data_written_through_entities(structure):
    engine = structure
    phase = phase_with_model(engine, lambda p: p.number_constituents >= 2)
    constituent = phase.get_constituent(2)
    p, c = phase.index, constituent.index
    constituent.H298 = -1234.5
    assert engine.tqgdat(p, c, "H", 1)[0] == -1234.5 == constituent.H298_value().get()
    value = constituent.S298_value()
    value.set(77.25)
    assert constituent.S298 == 77.25 == engine.tqgdat(p, c, "S", 1)[0]
    assert str(value) == f"S298(<{phase.name}>, <{constituent.name}>) = 77.25 J/mol/K"
    # Two value objects naming one datum see each other's writes.
    other = entities.ValueS(entities.Constituent(c, entities.Phase(p, engine)))
    assert other.get() == 77.25


def test_heat_capacity_ranges_written_through_entities(library):
    engine = library
    widest = None
    for phase in phases_of(engine):
        for constituent in phase.constituents:
            for cp_range in cp_ranges(constituent):
                count = len(engine.tqgdat(phase.index, constituent.index, "Cp", cp_range.index))
                if widest is None or count > widest[1]:
                    widest = (cp_range, count)
    cp_range, count = widest
    p, c, r = cp_range.constituent.parent.index, cp_range.constituent.index, cp_range.index
    cp_range.b = 0.0125
    cp_range.d_value().set(-2500.0)
    data = engine.tqgdat(p, c, "Cp", r)
    assert (data[1], data[3]) == (0.0125, -2500.0) == (cp_range.b, cp_range.d)
    assert [cp_range.e, cp_range.i] == ([data[4], data[5]] if count >= 6 else [0.0, 0.0])
    cp_range.Ht = 4321.0
    assert engine.last_error == 0 and engine.tqgdat(p, c, "Ht", r)[0] == 4321.0 == cp_range.Ht
    # Coefficient 0 names no datum: the library refuses it.
    entities.ValueCp(cp_range.constituent, r).set(1.0)
    assert engine.last_error == 1023 and engine.tqgdat(p, c, "Cp", r) == data


def test_excess_parameters_written_through_entities(library):
    engine = library
    phase = phase_with_model(engine, lambda p: len(p.interactions_g()) >= 2)
    parameter = phase.get_parameter_gex(2, 1)
    parameter.B = 3.5
    parameter.F_value().set(-1.25)
    values = engine.tqgpar(phase.index, "G", 2)[0]
    assert (values[1], values[5]) == (3.5, -1.25) == (parameter.B, parameter.F)
    assert str(parameter.B_value()) == f"{engine.tqlpar(phase.index, 'G')[1]}: 3.5*T [J]"
    entities.ValueEx(phase, 2, 1, 0).set(9.0)
    assert engine.last_error == 1024 and engine.tqgpar(phase.index, "G", 2)[0] == values

    magnetic = phase_with_model(engine, lambda p: p.interactions_m)
    (text, [first, *_]), *_ = magnetic.interactions_m.items()
    first.tc = -500.0
    first.beta = -0.5
    assert engine.tqgpar(magnetic.index, "M", first.indexx)[0][:2] == [-500.0, -0.5]
    assert str(first) == "excess Curie temperature=-500.00000, excess magnetic moment=-0.50000000"


def test_molar_volume_and_critical_data_written_through_entities(library):
    engine = library
    gas = entities.Phase(1, engine)
    critical = next((c for c in gas.constituents
                     if len(engine.tqgdat(1, c.index, "Gc", 1)) == 5), None)
    if critical is None:
        pytest.skip("the sample's gas has no critical data")
    critical.critical_pressure = 45.5
    critical.dipole_moment = 0.25
    assert engine.tqgdat(1, critical.index, "Gc", 1)[1::3] == (45.5, 0.25)
    engine.last_error = 0
    condensed = next(c for phase in phases_of(engine) for c in phase.constituents
                     if engine.tqgdat(phase.index, c.index, "V", 1))
    engine.last_error = 0
    condensed.thermal_expansion = [1e-05, 2e-08]
    condensed.density = 3.25
    data = engine.tqgdat(condensed.parent.index, condensed.index, "V", 1)
    assert (data[0], data[1], data[2]) == (3.25, 1e-05, 2e-08)
    assert condensed.thermal_expansion == data[1:5]


def test_statuses_and_names_written_through_entities(structure):
    engine = structure
    phase = entities.Phase(2, engine)
    phase.status = "DORMANT"
    assert engine.tqgsp(2) == "DORMANT" == phase.status
    component = entities.SystemComponent(3, engine)
    component.name = "CARBON"
    assert engine.tqgnsc(3) == "CARBON" == component.name


# --- interaction texts ---------------------------------------------------------------------------


def expected_expansion(engine, p, text):
    """The expanded text worked out here from the engine's species names: groups of one
    sublattice joined by "-", ": " where the sublattice changes, the k-th power written after
    the k-th species, the model word last."""
    names = [(s, engine.tqgnlc(p, s, k)) for s in range(1, engine.tqnosl(p) + 1)
             for k in range(1, engine.tqnolc(p, s) + 1)]
    body = text.split("*", 1)[1]
    numbers = [int(n) for n in re.findall(r"\(\s*(\d+)\)", body)]
    powers = [int(n) for n in re.findall(r"\^\[\s*(\d+)\s*\]", body)]
    model = re.search(r"\((Guts|Quasichemical|Bragg-Williams)\)", body)
    pieces, last = [], names[numbers[0] - 1][0]
    for k, number in enumerate(numbers):
        sublattice, name = names[number - 1]
        if sublattice != last:
            pieces.append(": ")
            last = sublattice
        elif k > 0:
            pieces.append("-")
        pieces.append(f"({name})" + (f"^[{powers[k]}]" if k < len(powers) else ""))
    return "".join(pieces) + (f" ({model.group(1)})" if model else "")


def test_interaction_texts_expand_to_species_names(structure):
    engine = structure
    expanded_any = False
    for phase in phases_of(engine):
        texts = phase.interactions_g()
        assert texts == engine.tqlpar(phase.index, "G")
        expanded = phase.interactions_g_expanded()
        assert expanded.tolist() == [expected_expansion(engine, phase.index, t) for t in texts]
        for k, text in enumerate(texts, start=1):
            result = entities.parse_interaction(text)
            assert result["interaction_index"] in (k, "***")
            assert phase.get_interaction_index(text) == k
            assert phase.get_interaction_g_index_expanded(expanded[k - 1]) == (
                expanded.tolist().index(expanded[k - 1]) + 1)
            expanded_any = True
        if texts:
            assert phase.get_interaction_indices(texts[::-1]).tolist() == list(
                range(len(texts)))[::-1]
    assert expanded_any


def test_magnetic_interactions(structure):
    engine = structure
    for phase in phases_of(engine):
        found = phase.interactions_m
        texts = engine.tqlpar(phase.index, "M")
        assert list(found) == list(dict.fromkeys(texts))
        for n, text in enumerate(texts, start=1):
            expressions = engine.tqgpar(phase.index, "M", n)
            assert [(q.indexx, q.iexpr) for q in found[text]] == [
                (n, e) for e in range(1, len(expressions) + 1)]
            assert [q.tc for q in found[text]] == [e[0] for e in expressions]


# --- results after an equilibrium ----------------------------------------------------------------

PHASE_RESULTS = [
    ("activity", "AC"), ("chemical_potential", "MU"), ("incoming_amount", "IA"),
    ("eq_amount", "A"), ("pressure_total", "P"), ("volume_total", "VT"), ("temperature", "T"),
    ("heat_capacity", "CP"), ("enthalpy", "H"), ("entropy", "S"), ("gibbs_energy", "G"),
    ("volume", "V"), ("heat_capacity_specific", "CPM"), ("enthalpy_specific", "HM"),
    ("entropy_specific", "SM"), ("gibbs_energy_specific", "GM"), ("volume_specific", "VM"),
]
COMPONENT_RESULTS = [
    ("pressure_total", "P"), ("volume_total", "VT"), ("temperature", "T"),
    ("equilibrium_amount", "A"), ("incoming_amount", "IA"), ("chemical_potential", "MU"),
    ("activity", "AC"), ("fraction_system", "X"),
]


def test_results_after_an_equilibrium_agree_with_tqgetr(engine, sample_data_dir):
    engine.load_datafile(str(sample_data_dir / "limestone.dat"))
    assert engine.last_error == 0
    engine.tqsetc("T", 0, 0, 1200.0)
    engine.tqsetc("P", 0, 0, 1.0)
    incoming = {"Ca": 1.0, "C": 1.0, "O": 3.0}
    for k in range(1, engine.tqnosc() + 1):
        engine.tqsetc("IA", 0, k, incoming[engine.tqgnsc(k)])
    engine.tqce(" ", 0, 0, [0.0, 0.0])
    assert engine.last_error == 0
    phases = phases_of(engine)
    for phase in phases:
        for member, option in PHASE_RESULTS:
            assert getattr(phase, member) == engine.tqgetr(option, phase.index, 0), member
    for k in range(1, engine.tqnosc() + 1):
        component = entities.SystemComponent(k, engine)
        for member, option in COMPONENT_RESULTS:
            assert getattr(component, member) == engine.tqgetr(option, 0, k), member
        in_phases = []
        for phase in phases:
            amount = engine.tqgetr("AP", phase.index, k)
            assert component.amount_phase(phase) == amount == component.amount_phase(phase.name)
            assert component.fraction_phase(phase.index) == engine.tqgetr("XP", phase.index, k)
            in_phases.append(amount)
        # Mass balance: the component's amount at equilibrium is what came in, spread over
        # the phases.
        assert sum(in_phases) == pytest.approx(component.equilibrium_amount, rel=1e-9)
        assert component.equilibrium_amount == pytest.approx(incoming[component.name], rel=1e-9)
