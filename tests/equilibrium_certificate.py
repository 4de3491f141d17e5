"""The certificate of an equilibrium: computed here from what the engine reports (tqgetr: amounts,
fractions, component potentials, activities, G, H, S) and from the stored data through the
independent model of equilibrium_reference, never from a second minimiser.

The API, for the sweeps and the map checks:

    system = open_system(engine, path)           # loads the file in the engine, builds the model
    result = calculate(engine, system, State(t, p, amounts))
    failures = certify(system, result)            # [] when every clause holds
    assert_certified(system, result)              # the same, as an assertion with the failures
    result.assemblage                             # the names of the phases holding matter
    locate(engine, system, make_state, low, high) # a change of assemblage, by bisection
    scan(engine, system, make_state, low, high)   # every change of assemblage over an interval

Clauses (tolerances of the issue; RT at the state's temperature):
- every reported number finite, no negative amount;
- each component's balance: the amounts held (constituent amounts times their stoichiometry) equal
  the input to 1e-6 of the input, whatever its share of the total; a component without input is
  held to 1e-20 of the total at most;
- each constituent of a phase holding matter with a fraction > 0: its potential from the model at
  the reported composition equals its stoichiometry times the component potentials to 1e-8 RT; a
  constituent reported at fraction 0 (or at a subnormal amount, too coarse for a logarithm) in
  such a phase must be one the potentials keep below 1e-250, or one whose amount they put below
  the smallest normal double (x times the phase's amount: in a trace phase, a species whose
  fraction is a product of traces has no amount a double can hold, and 0 is the nearest), or one
  that holds a component without input;
- no ENTERED phase without matter has a lowest tangent-plane distance below -1e-8 RT (per mole of
  constituents) at those potentials (dormant and eliminated phases left out);
- the zero-input rule: a constituent with a positive coefficient on a component without input
  stays at activity <= e^-50 (activity against the component potentials, a gas constituent's
  against 1 bar, as "AC" reports it), and so does what the engine reports as its "AC";
- G = sum of input times potential, G = sum over phases of amount times the model's G at the
  reported composition, and H - T S = G."""

import math
from dataclasses import dataclass, field

import numpy as np

from equilibrium_reference import R, load_system, tangent_plane_distance
from equilibrium_support import load

BALANCE = 1e-6
ZERO_BALANCE = 1e-20
POTENTIAL = 1e-8  # of RT
TANGENT_PLANE = 1e-8  # of RT
ZERO_INPUT_LN_ACTIVITY = -50.0
TINY = np.finfo(float).tiny  # the smallest normal double
LN_TINY = math.log(TINY)


@dataclass(frozen=True)
class State:
    t: float  # K
    p: float  # bar
    amounts: tuple  # mol of each system component

    def __str__(self):
        amounts = ", ".join(f"{a:.6g}" for a in self.amounts)
        return f"{self.t:.6f} K, {self.p:.6g} bar, inputs {amounts}"


@dataclass
class Result:
    state: State
    error: int
    phase_amounts: np.ndarray = None
    amounts: list = field(default_factory=list)  # per phase: constituent amounts
    fractions: list = field(default_factory=list)  # per phase with matter: its fractions
    activities: list = field(default_factory=list)  # per phase: "AC" of each constituent
    potentials: np.ndarray = None  # component potentials, J/mol
    g: float = math.nan
    h: float = math.nan
    s: float = math.nan
    names: tuple = ()

    @property
    def assemblage(self):
        """The phases holding matter."""
        return frozenset(n for n, a in zip(self.names, self.phase_amounts) if a > 0)


def open_system(engine, path):
    load(engine, path)
    return load_system(path)


def set_state(engine, system, state):
    engine.tqsetc("T", 0, 0, float(state.t))
    engine.tqsetc("P", 0, 0, float(state.p))
    for k, amount in enumerate(state.amounts, start=1):
        engine.tqsetc("IA", 0, k, float(amount))


def calculate(engine, system, state):
    """One equilibrium (tqce) of the state and everything the certificate reads of it."""
    engine.last_error = 0
    set_state(engine, system, state)
    if engine.last_error:
        raise AssertionError(f"conditions of {state} refused: {engine.last_error}")
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    error = engine.last_error
    engine.last_error = 0
    if error:
        return Result(state, error)
    return read_result(engine, system, state)


def read_result(engine, system, state):
    get = engine.tqgetr
    result = Result(state, 0, names=tuple(p.name for p in system.phases))
    result.phase_amounts = np.array([get("A", i, 0) for i in range(1, len(system.phases) + 1)])
    for i, phase in enumerate(system.phases, start=1):
        constituents = range(1, phase.size + 1)
        result.amounts.append(np.array([get("A", i, c) for c in constituents]))
        result.activities.append(np.array([get("AC", i, c) for c in constituents]))
        # A constituent's fraction in its phase, from the amounts ("X" is of components).
        size = float(np.sum(result.amounts[-1]))
        result.fractions.append(result.amounts[-1] / size if size > 0 else None)
    result.potentials = np.array([get("MU", 0, k)
                                  for k in range(1, len(system.component_names) + 1)])
    result.g, result.h, result.s = (get(option, 0, 0) for option in ("G", "H", "S"))
    if engine.last_error:
        raise AssertionError(f"reading the result of {state} failed: {engine.last_error}")
    return result


def certify(system, result):
    """The clauses that fail, as texts (an empty list: the equilibrium is certified)."""
    state = result.state
    if result.error:
        return [f"error {result.error}"]
    t, p = state.t, state.p
    rt = R * t
    b = np.asarray(state.amounts, dtype=float)
    total = b.sum()
    failures = []

    numbers = [result.phase_amounts, result.potentials, np.array([result.g, result.h, result.s])]
    numbers += result.amounts + result.activities + [f for f in result.fractions if f is not None]
    if not all(np.all(np.isfinite(v)) for v in numbers):
        failures.append("a reported number is not finite")
        return failures
    if any(np.any(a < 0) for a in result.amounts) or np.any(result.phase_amounts < 0):
        failures.append("a negative amount")

    held = sum(a @ phase.stoichiometry for a, phase in zip(result.amounts, system.phases))
    for k, name in enumerate(system.component_names):
        if b[k] > 0:
            if abs(held[k] - b[k]) > BALANCE * b[k]:
                failures.append(f"balance of {name}: held {held[k]:.6g} of {b[k]:.6g} "
                                f"(relative {(held[k] - b[k]) / b[k]:.3g})")
        elif abs(held[k]) > ZERO_BALANCE * total:
            failures.append(f"balance of {name}: held {held[k]:.6g} without input")

    zero = b == 0
    mu = result.potentials
    g_model = 0.0
    for i, phase in enumerate(system.phases):
        if phase.status == "ELIMINATED":
            if result.phase_amounts[i] != 0:
                failures.append(f"{phase.name} (ELIMINATED) holds {result.phase_amounts[i]:.6g}")
            continue
        g0 = phase.standard_gibbs(t, p)
        plane = phase.stoichiometry @ mu
        entered = phase.entered_constituents()
        absent_component = (phase.stoichiometry[:, zero] > 0).any(axis=1)
        # The zero-input rule, on the potentials and on what the engine reports.
        if absent_component.any():
            ln_a = (plane - g0) / rt
            for c in np.flatnonzero(absent_component & entered):
                reported = result.activities[i][c]
                if ln_a[c] > ZERO_INPUT_LN_ACTIVITY + 1e-8 or reported > math.exp(-50) * (
                        1 + 1e-6):
                    failures.append(
                        f"zero-input rule: {phase.name} {phase.constituent_names[c]} at ln a "
                        f"{ln_a[c]:.6g} against the potentials, reported activity {reported:.3g}")
        amount = result.phase_amounts[i]
        if amount > 0:
            x = result.fractions[i]
            if phase.status != "ENTERED":
                failures.append(f"{phase.name} ({phase.status}) holds {amount:.6g} mol")
            if x is None:
                failures.append(f"{phase.name} holds {amount:.6g} mol, its constituents none")
                continue
            g_model += float(np.sum(result.amounts[i])) * float(phase.gibbs(x, t, p, g0))
            model_mu = phase.potentials(x, t, p, g0)
            for c in range(phase.size):
                # A subnormal amount or fraction has too few digits for its logarithm: it is
                # judged as a zero fraction, by what the potentials imply for it.
                if min(x[c], result.amounts[i][c]) >= TINY:
                    miss = (model_mu[c] - plane[c]) / rt
                    if abs(miss) > POTENTIAL:
                        failures.append(
                            f"potential of {phase.name} {phase.constituent_names[c]} "
                            f"(x = {x[c]:.6g}): {miss:.3g} RT off its stoichiometry times the "
                            "component potentials")
                elif entered[c] and not absent_component[c]:
                    # A fraction of 0: what the potentials imply for it must underflow.
                    rest = g0[c] + phase.pressure_term(t, p)
                    if phase.excess:
                        rest += phase.excess_potentials(x, t, p)[c]
                    ln_x = (plane[c] - rest) / rt
                    ln_amount = ln_x + math.log(float(np.sum(result.amounts[i])))
                    if ln_x > math.log(1e-250) and ln_amount >= LN_TINY:
                        failures.append(f"{phase.name} {phase.constituent_names[c]} at fraction"
                                        f" 0 where the potentials give ln x = {ln_x:.6g}")
        elif phase.status == "ENTERED":
            distance, _ = tangent_plane_distance(phase, t, p, plane, g0)
            if distance < -TANGENT_PLANE * rt:
                failures.append(f"{phase.name} absent with a tangent-plane distance of "
                                f"{distance / rt:.3g} RT")

    scale = rt * total + 1e-12 * float(np.sum(np.abs(b * mu)))
    if abs(result.g - float(b @ mu)) > POTENTIAL * scale:
        failures.append(f"G = {result.g:.12g} but the inputs times the potentials give "
                        f"{float(b @ mu):.12g}")
    if abs(result.g - g_model) > POTENTIAL * scale:
        failures.append(f"G = {result.g:.12g} but the phases' model Gibbs energies add up to "
                        f"{g_model:.12g}")
    if abs(result.h - t * result.s - result.g) > 1e-9 * (abs(result.h) + t * abs(result.s)) + (
            POTENTIAL * rt * total):
        failures.append(f"H - T S = {result.h - t * result.s:.12g} but G = {result.g:.12g}")
    return failures


def assert_certified(system, result):
    failures = certify(system, result)
    assert not failures, f"{system.path.name}, {result.state}: " + "; ".join(failures)


def locate(engine, system, make_state, low, high, tolerance=1e-7):
    """A change of assemblage between low and high by bisection of single calculations:
    (low, high, assemblage below, assemblage above), high - low <= tolerance (relative to high
    when high > 1). make_state(value) gives the state at a value of the varied quantity."""
    below = _assemblage(engine, system, make_state(low))
    above = _assemblage(engine, system, make_state(high))
    if below == above:
        raise ValueError(f"the assemblage is {sorted(below)} at both ends")
    while high - low > tolerance * max(1.0, abs(high)):
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if _assemblage(engine, system, make_state(middle)) == below:
            low = middle
        else:
            high = middle
    return low, high, below, _assemblage(engine, system, make_state(high))


def scan(engine, system, make_state, low, high, steps=200, tolerance=1e-7):
    """Every change of assemblage that single calculations on a grid of `steps` intervals show,
    each located by bisection: a list of (low, high, assemblage below, assemblage above)."""
    values = np.linspace(low, high, steps + 1)
    found, previous = [], _assemblage(engine, system, make_state(values[0]))
    for a, b in zip(values[:-1], values[1:]):
        current = _assemblage(engine, system, make_state(b))
        if current != previous:
            found.append(locate(engine, system, make_state, a, b, tolerance))
        previous = current
    return found


def _assemblage(engine, system, state):
    result = calculate(engine, system, state)
    if result.error:
        raise AssertionError(f"{system.path.name}, {state}: error {result.error}")
    return result.assemblage
