"""Seeded random states of the test systems for the equilibrium sweeps: temperatures over each
system's interesting range, pressures where they matter, random inputs in four kinds -
ordinary (every input at least 1e-3 of the total), traces (some inputs 1e-10 to 1e-7 of the
total), deep traces (some inputs 1e-14 to 1e-10 of the total) and zeros (some inputs exactly 0)."""

import math
from dataclasses import dataclass

import numpy as np

from equilibrium_certificate import State


@dataclass(frozen=True)
class Sweep:
    file_name: str
    t_range: tuple  # K
    p_range: tuple = (1.0, 1.0)  # bar, drawn uniformly in ln P
    components: int = 0


SWEEPS = {
    "cho_gas": Sweep("cho_gas.dat", (500.0, 2500.0), (0.01, 100.0), 3),
    "eutectic": Sweep("eutectic.dat", (300.0, 1800.0), (1.0, 1.0), 2),
    "quaternary": Sweep("quaternary.dat", (800.0, 3000.0), (1.0, 1e4), 4),
    "demixing": Sweep("demixing.dat", (300.0, 1800.0), (1.0, 1.0), 2),
    "carbide": Sweep("carbide.dat", (800.0, 2600.0), (1.0, 1.0), 3),
    "carbon_pressure": Sweep("carbon_pressure.dat", (300.0, 3000.0), (1.0, 1e5), 1),
}
KINDS = ("ordinary", "traces", "deep-traces", "zeros")
TRACE_DECADES = {"traces": (-10.0, -7.0), "deep-traces": (-14.0, -10.0)}


def random_states(sweep, kind, count, seed):
    """`count` states of one kind; the same seed gives the same states."""
    rng = np.random.default_rng(seed)
    n = sweep.components
    states = []
    while len(states) < count:
        t = float(rng.uniform(*sweep.t_range))
        low, high = sweep.p_range
        p = float(math.exp(rng.uniform(math.log(low), math.log(high)))) if high > low else low
        total = float(10.0 ** rng.uniform(-1.0, 1.0))
        x = rng.dirichlet(np.ones(n)) * total
        if n > 1 and kind != "ordinary":
            # One or more inputs (never all) become traces or zeros.
            chosen = rng.choice(n, size=int(rng.integers(1, n)), replace=False)
            for k in chosen:
                x[k] = 0.0 if kind == "zeros" else total * 10.0 ** rng.uniform(
                    *TRACE_DECADES[kind])
        elif n > 1:
            x = np.maximum(x, 1e-3 * total)
        states.append(State(t, p, tuple(float(v) for v in x)))
    return states
