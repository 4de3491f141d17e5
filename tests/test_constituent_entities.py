"""Phase constituents with their stored data, heat-capacity ranges, sublattices and species,
through a recording engine."""

import pytest

from equilexproxy import entities
from entity_fakes import RecordingEngine, by_args


def constituent_on(engine, phase_index=3, index=2):
    return entities.Constituent(index, entities.Phase(phase_index, engine))


# --- Constituent ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, call, answer, expected",
    [
        ("name", ("tqgnpc", 3, 2), "H2O", "H2O"),
        ("wmass", ("tqstpc", 3, 2), (18.015, (2.0, 1.0)), 18.015),
        ("coeffs", ("tqstpc", 3, 2), (18.015, (2.0, 1.0)), (2.0, 1.0)),
        ("incoming", ("tqpcis", 3, 2), False, False),
        ("status", ("tqgspc", 3, 2), "DORMANT", "DORMANT"),
        ("heat_capacity", ("tqgdpc", "CP", 3, 2), 29.1, 29.1),
        ("enthalpy", ("tqgdpc", "H", 3, 2), -1.5, -1.5),
        ("entropy", ("tqgdpc", "S", 3, 2), 2.5, 2.5),
        ("gibbs_energy", ("tqgdpc", "G", 3, 2), -9.0, -9.0),
        ("volume", ("tqgdpc", "V", 3, 2), 0.01, 0.01),
        ("temperature_upper", ("tqgdpc", "T", 3, 2), 6000.0, 6000.0),
    ],
)
def test_constituent_properties(member, call, answer, expected):
    engine = RecordingEngine(**{call[0]: answer})
    assert getattr(constituent_on(engine), member) == expected
    assert engine.calls == [call]


def test_constituent_status_assignment():
    engine = RecordingEngine(tqcspc="dropped")
    constituent = constituent_on(engine)
    constituent.status = "ELIMINATED"
    assert engine.calls == [("tqcspc", 3, 2, "ELIMINATED")]


@pytest.mark.parametrize(
    "index, name, mass, text",
    [
        (2, "H2O", 18.015, "constituent at: GAS <  2, name: H2O                      , mw: 1.8e+01>"),
        (1, "X", 9.5, "constituent at: GAS <  1, name: X                        , mw:    9.5>"),
        (1, "H2", 2.016, "constituent at: GAS <  1, name: H2                       , mw:    2.0>"),
        (1234, "A_NAME_LONGER_THAN_25_CHARS", 0.0,
         "constituent at: GAS <1234, name: A_NAME_LONGER_THAN_25_CHARS, mw:    0.0>"),
    ],
)
def test_constituent_text(index, name, mass, text):
    engine = RecordingEngine(tqgnp="GAS", tqgnpc=name, tqstpc=(mass, ()))
    constituent = entities.Constituent(index, entities.Phase(1, engine))
    assert str(constituent) == text and repr(constituent) == text
    assert engine.names() == ["tqgnp", "tqgnpc", "tqstpc"] * 2


def test_constituent_hands_out_ranges_and_values():
    constituent = constituent_on(RecordingEngine())
    for index in (2, 0, -1):
        cp_range = constituent.get_Cp_at(index)
        assert type(cp_range) is entities.CpRange
        assert (cp_range.index, cp_range.constituent) == (index, constituent)
    h, s = constituent.H298_value(), constituent.S298_value()
    assert (type(h), type(s)) == (entities.ValueH, entities.ValueS)
    assert h.constituent is constituent and constituent.H298_value() is not h
    assert constituent.parent.engine.calls == []


# Reference, magnetic and critical data: option, element, then the setter's selector and i5.
STORED = [
    ("H298", "H", 0, (1, 0, 0), "P"), ("S298", "S", 0, (1, 0, 1), "P"),
    ("magnetic_temperature", "M", 0, (7, 1, 1), "P"), ("magnetic_moment", "M", 1, (7, 1, 2), "P"),
    ("critical_temperature", "Gc", 0, (4, 1, 1), 1), ("critical_pressure", "Gc", 1, (4, 1, 2), 1),
    ("critical_volume", "Gc", 2, (4, 1, 3), 1), ("acentric_factor", "Gc", 3, (4, 1, 4), 1),
    ("dipole_moment", "Gc", 4, (4, 1, 5), 1),
]


@pytest.mark.parametrize("member, option, element, selector, phase_argument", STORED)
def test_stored_data(member, option, element, selector, phase_argument):
    data = (11.0, 22.0, 33.0, 44.0, 55.0)
    engine = RecordingEngine(tqgdat=data, tqcdat="dropped")
    constituent = constituent_on(engine, phase_index=3, index=2)
    assert getattr(constituent, member) == data[element]
    setattr(constituent, member, 7.5)
    i5 = 3 if phase_argument == "P" else phase_argument
    assert engine.calls == [("tqgdat", 3, 2, option, 1), ("tqcdat", *selector, 2, i5, 7.5)]


def test_stored_data_without_fall_back():
    engine = RecordingEngine(tqgdat=(1.0, 2.0, 3.0, 4.0))
    constituent = constituent_on(engine)
    assert constituent.acentric_factor == 4.0
    with pytest.raises(IndexError):
        constituent.dipole_moment
    engine.answers["tqgdat"] = ()
    engine.last_error = 1004  # only the molar-volume data look at it
    with pytest.raises(IndexError):
        constituent.H298


# Molar-volume data: d, a1-a4, b1-b4, k1, k2.
VOLUME = (2.26, 1.1, 1.2, 1.3, 1.4, 2.1, 2.2, 2.3, 2.4, 4.0, 0.5)
SCALARS = [("density", 0, 1, 1, 0)]
SCALARS += [(f"thermal_expansion_{c}", 1 + k, 2, 1 + k, 0.0) for k, c in enumerate("abcd")]
SCALARS += [(f"compressibility_{c}", 5 + k, 3, 1 + k, 0.0) for k, c in enumerate("abcd")]
SCALARS += [(f"bulk_modulus_derivative_{c}", 9 + k, 4, 1 + k, 0.0) for k, c in enumerate("ab")]


@pytest.mark.parametrize("member, element, group, coefficient, fallback", SCALARS)
def test_molar_volume_scalars(member, element, group, coefficient, fallback):
    engine = RecordingEngine(tqgdat=VOLUME)
    constituent = constituent_on(engine)
    assert getattr(constituent, member) == VOLUME[element]
    setattr(constituent, member, 9.75)
    engine.last_error = 1004
    value = getattr(constituent, member)
    assert value == fallback and type(value) is type(fallback)
    assert engine.calls == [("tqgdat", 3, 2, "V", 1), ("tqcdat", 4, group, coefficient, 2, 3, 9.75),
                            ("tqgdat", 3, 2, "V", 1)]


@pytest.mark.parametrize(
    "member, expected, fallback",
    [("thermal_expansion", VOLUME[1:5], [0.0, 0.0, 0.0, 0.0]),
     ("compressibility", VOLUME[5:9], 0.0),
     ("bulk_modulus_derivative", VOLUME[9:11], 0.0)],
)
def test_molar_volume_vectors(member, expected, fallback):
    engine = RecordingEngine(tqgdat=VOLUME)
    constituent = constituent_on(engine)
    value = getattr(constituent, member)
    assert value == expected and type(value) is tuple
    engine.last_error = 1004
    first, second = getattr(constituent, member), getattr(constituent, member)
    assert first == fallback and type(first) is type(fallback)
    if isinstance(first, list):
        assert first is not second
    assert engine.calls == [("tqgdat", 3, 2, "V", 1)] * 3


def test_the_fall_back_follows_the_read():
    """The test comes after the call: the read that records 1004 gets the fall-back, and the
    number stays until another error or remove_all replaces it."""

    engine = RecordingEngine()

    def read(indexp, indexc, option, indexr):
        engine.last_error = 1004 if indexp == 4 else engine.last_error
        return () if indexp == 4 else VOLUME

    engine.answers["tqgdat"] = read
    without, with_data = constituent_on(engine, 4, 1), constituent_on(engine, 3, 1)
    assert with_data.density == 2.26
    assert without.density == 0 and without.thermal_expansion == [0.0] * 4
    assert with_data.density == 0 and with_data.compressibility_d == 0.0
    engine.last_error = 1003
    assert with_data.density == 2.26
    engine.last_error = 0  # as remove_all leaves it
    assert with_data.thermal_expansion == VOLUME[1:5]
    assert without.bulk_modulus_derivative == 0.0 and with_data.thermal_expansion_a == 0.0


def test_short_molar_volume_data():
    engine = RecordingEngine(tqgdat=(2.26, 1.1))
    constituent = constituent_on(engine)
    assert constituent.thermal_expansion == (1.1,) and constituent.compressibility == ()
    with pytest.raises(IndexError):
        constituent.thermal_expansion_b


@pytest.mark.parametrize(
    "member, group, value, written",
    [
        ("thermal_expansion", 2, [1, 2, 3, 4, 5, 6], [1, 2, 3, 4]),
        ("thermal_expansion", 2, (1.5, 2.5, 3.5), [1.5, 2.5, 3.5]),
        ("compressibility", 3, [7.0], [7.0]),
        ("bulk_modulus_derivative", 4, [1, 2, 3, 4], [1, 2]),
        ("compressibility", 3, [], []),
        ("bulk_modulus_derivative", 4, "ab", ["a", "b"]),
    ],
)
def test_molar_volume_vector_setters(member, group, value, written):
    engine = RecordingEngine(tqcdat="dropped")
    setattr(constituent_on(engine), member, value)
    assert engine.calls == [("tqcdat", 4, group, k + 1, 2, 3, x) for k, x in enumerate(written)]


def test_molar_volume_vector_setter_failures():
    engine = RecordingEngine()
    constituent = constituent_on(engine)
    with pytest.raises(TypeError):
        constituent.compressibility = 2.5
    assert engine.calls == []

    class Breaks:
        def __len__(self):
            return 4

        def __getitem__(self, k):
            if k == 2:
                raise KeyError(k)
            return k * 10

    with pytest.raises(KeyError):
        constituent.thermal_expansion = Breaks()
    assert engine.calls == [("tqcdat", 4, 2, 1, 2, 3, 0), ("tqcdat", 4, 2, 2, 2, 3, 10)]


# --- CpRange -------------------------------------------------------------------------------------


def range_on(data, index=1, tt=None, ht=(1000.0,)):
    tt = tt or {}
    engine = RecordingEngine(
        tqgdat=lambda p, c, option, r: {"Cp": data, "Tt": tt.get(r, (700.0,)), "Ht": ht}[option])
    return entities.CpRange(index, constituent_on(engine)), engine


TEN = (25.0, 0.0123, -1.5e-06, -250.0, 1.1, 3.0, 2.2, -1.0, 3.3, 0.5)


@pytest.mark.parametrize("count", [4, 6, 8, 10])
def test_cp_terms(count):
    cp_range, engine = range_on(TEN[:count], index=2)
    assert [cp_range.a, cp_range.b, cp_range.c, cp_range.d] == list(TEN[:4])
    read = {name: getattr(cp_range, name) for name in "efgijk"}
    pairs = {"e": 4, "i": 5, "f": 6, "j": 7, "g": 8, "k": 9}
    assert read == {name: TEN[at] if at < count else 0.0 for name, at in pairs.items()}
    assert engine.calls == [("tqgdat", 3, 2, "Cp", 2)] * 10


@pytest.mark.parametrize("count, fails", [(5, "i"), (7, "j"), (9, "k")])
def test_cp_terms_of_an_odd_count(count, fails):
    cp_range, _ = range_on(TEN[:count])
    with pytest.raises(IndexError):
        getattr(cp_range, fails)
    coefficient = {"i": "e", "j": "f", "k": "g"}[fails]
    assert getattr(cp_range, coefficient) == TEN[count - 1]


def test_cp_coefficient_setters_and_values():
    cp_range, engine = range_on(TEN[:4], index=3)
    for number, letter in enumerate("abcd", start=1):
        setattr(cp_range, letter, number * 0.5)
        value = getattr(cp_range, f"{letter}_value")()
        assert type(value) is entities.ValueCp
        assert list(vars(value).values()) == [cp_range.constituent, 3, number]
        value.set(number * 0.5)
    calls = [("tqcdat", 1, 3, n, 2, 3, n * 0.5) for n in range(1, 5)]
    assert engine.calls == [call for call in calls for _ in range(2)]
    assert cp_range.c_value().get() == TEN[2]


def test_temperature_limits():
    first, engine = range_on(TEN[:4], index=1, tt={1: (700.0,)})
    assert first.Tlower == 298.15 and engine.calls == []
    assert first.Tupper == 700.0 and engine.calls == [("tqgdat", 3, 2, "Tt", 1)]
    second, engine = range_on(TEN[:4], index=2, tt={1: (700.0,), 2: (1500.0,)})
    assert (second.Tlower, second.Tupper) == (700.0, 1500.0)
    assert engine.calls == [("tqgdat", 3, 2, "Tt", 1), ("tqgdat", 3, 2, "Tt", 2)]


@pytest.mark.parametrize("count, selector", [(4, 5), (6, 6), (8, 7), (10, 8), (5, 5), (0, 3)])
def test_transformation_enthalpy(count, selector):
    cp_range, engine = range_on(TEN[:count], index=2, ht=(2500.0,))
    assert cp_range.Ht == 2500.0
    cp_range.Ht = 3000.0
    assert engine.calls == [("tqgdat", 3, 2, "Ht", 2), ("tqgdat", 3, 2, "Cp", 2),
                            ("tqcdat", 1, 2, selector, 2, 3, 3000.0)]


@pytest.mark.parametrize(
    "index, text, options",
    [
        (1, "Cp = +25.000000+0.012300000*T-1.5000000e-06*T^2-250.00000T^-2 [298.15-700.0(K)]",
         ["Cp"] * 4 + ["Tt"]),
        (2, "Cp = +25.000000+0.012300000*T-1.5000000e-06*T^2-250.00000T^-2 [700.0-1500.0(K)]",
         ["Cp"] * 4 + ["Tt", "Tt"]),
    ],
)
def test_cp_text(index, text, options):
    cp_range, engine = range_on(TEN, index=index, tt={1: (700.0,), 2: (1500.0,)})
    assert repr(cp_range) == text and str(cp_range) == text
    assert [call[3] for call in engine.calls] == options * 2
    if index == 2:
        assert [call[4] for call in engine.calls[4:6]] == [1, 2]


def test_cp_range_failures():
    cp_range, engine = range_on(())
    assert cp_range.e == 0.0 and cp_range.k == 0.0
    with pytest.raises(IndexError):
        cp_range.a
    engine.answers["tqgdat"] = ()
    with pytest.raises(IndexError):
        entities.CpRange(2, cp_range.constituent).Tlower


# --- Sublattice, Species -------------------------------------------------------------------------


def sublattice_engine(**answers):
    sizes = {1: 2, 2: 0, 3: 4}
    return RecordingEngine(tqgnp="X", tqnolc=lambda p, l: sizes.get(l, 3), **answers)


def test_sublattice():
    engine = sublattice_engine(tqinlc=3)
    phase = entities.Phase(7, engine)
    sublattice = entities.Sublattice(3, phase)
    assert sublattice.number_species == 4
    species = sublattice.species
    assert [(s.index, s.parent) for s in species] == [(k, sublattice) for k in range(1, 5)]
    assert sublattice.species is not species
    found = sublattice.species_by_name("Va")
    assert (found.index, found.parent) == (3, sublattice)
    assert sublattice.get_species(0).index == 0
    assert engine.calls == [("tqnolc", 7, 3)] * 3 + [("tqinlc", "Va", 7, 3)]


def test_sublattice_without_species():
    engine = sublattice_engine()
    assert entities.Sublattice(2, entities.Phase(7, engine)).species == []
    assert engine.calls == [("tqnolc", 7, 2)]


def test_sublattice_text():
    engine = sublattice_engine()
    sublattice = entities.Sublattice(3, entities.Phase(7, engine))
    text = "sublattice at X <index: 3, number of species: 4>"
    assert str(sublattice) == text and repr(sublattice) == text
    assert engine.calls == [("tqgnp", 7), ("tqnolc", 7, 3)] * 2


def test_species():
    engine = sublattice_engine(tqgnlc="Y", tqgtlc=0.25)
    species = entities.Species(1, entities.Sublattice(2, entities.Phase(7, engine)))
    assert species.name == "Y" and species.molar_fraction == 0.25
    text = "species at sublattice 2 of X <index: 1, name: Y>"
    assert str(species) == text and repr(species) == text
    assert engine.calls == [("tqgnlc", 7, 2, 1), ("tqgtlc", 7, 2, 1)] + [
        ("tqgnp", 7), ("tqgnlc", 7, 2, 1)] * 2


@pytest.mark.parametrize(
    "sublattice, index, expected, counted",
    [(1, 4, 4, []), (3, 2, 4, [1, 2]), (4, 1, 7, [1, 2, 3]), (0, 5, 5, []), (-2, 5, 5, [])],
)
def test_species_number_in_the_phase(sublattice, index, expected, counted):
    engine = sublattice_engine()
    phase = entities.Phase(7, engine)
    species = entities.Species(index, entities.Sublattice(sublattice, phase))
    assert species.index_global == expected
    assert engine.calls == [("tqnolc", 7, k) for k in counted]


def test_species_number_uses_the_phase_own_sublattices():
    class Phase(entities.Phase):
        def get_sublattice(self, index):
            return type("Counted", (), {"number_species": 10 * index})()

    species = entities.Species(1, entities.Sublattice(3, Phase(7, None)))
    assert species.index_global == 1 + 10 + 20
