"""An independent model of a system's Gibbs energies, read from the .dat file itself (PyYAML) and
written from the documented formulas ("How the calculator uses the data" in data/README.md), not
from the library: the standard functions from the Cp ranges (transformation enthalpies, range 1
extrapolated below 298.15 K), the V dP term of condensed constituents, the magnetic term, the
ideal gas, ideal mixing, and the Redlich-Kister-Muggianu excess of RKMP and QKTO phases (binary
terms with powers and orders, ternary terms with their nu fractions, pressure terms).

Units are the library's defaults: J, K, bar, mol. Compositions are numpy arrays whose last axis
runs over a phase's constituents, so one call evaluates many compositions at once."""

import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import yaml

R = 8.3144621  # J/(mol K)
T0 = 298.15
P0 = 1.0  # bar
EXCESS_MODELS = ("RKMP", "QKTO")


def _cp_terms(cp_range):
    """Cp as (coefficient, power) pairs: a, b T, c T^2, d T^-2 and the extra terms."""
    terms = [(cp_range.get("a", 0.0), 0.0), (cp_range.get("b", 0.0), 1.0),
             (cp_range.get("c", 0.0), 2.0), (cp_range.get("d", 0.0), -2.0)]
    terms += [(float(e), float(p)) for e, p in cp_range.get("terms", [])]
    return terms


def _integral_cp(terms, t1, t2):
    """(integral of Cp dT, integral of Cp / T dT) from t1 to t2."""
    h = s = 0.0
    for e, p in terms:
        h += e * (math.log(t2 / t1) if p == -1.0 else (t2 ** (p + 1) - t1 ** (p + 1)) / (p + 1))
        s += e * (math.log(t2 / t1) if p == 0.0 else (t2**p - t1**p) / p)
    return h, s


def standard_hs(h298, s298, cp_ranges, t):
    """H and S at temperature t: range 1 from 298.15 K (extrapolated below it), the
    transformation enthalpy of each range end passed (S gains Ht/Tt), the last range extrapolated
    upwards without its own Ht."""
    h, s, lower = float(h298), float(s298), T0
    for i, cp_range in enumerate(cp_ranges):
        upper = float(cp_range["Tt"])
        terms = _cp_terms(cp_range)
        if t <= upper or i == len(cp_ranges) - 1:
            dh, ds = _integral_cp(terms, lower, t)
            return h + dh, s + ds
        dh, ds = _integral_cp(terms, lower, upper)
        ht = float(cp_range.get("Ht", 0.0))
        h, s, lower = h + dh + ht, s + ds + ht / upper, upper
    raise ValueError("no Cp range")


def volume_integral(volume, molar_mass, t, p):
    """The integral of V dP from 1 bar to p (bar), in J/mol, with
    V = M/density exp(int alpha dT) (1 - kappa(T) (P - 1)): cm3 bar = 0.1 J."""
    a, b, c, d = (list(volume.get("expansion", [])) + [0.0] * 4)[:4]
    ka, kb, kc, kd = (list(volume.get("compressibility", [])) + [0.0] * 4)[:4]
    expansion = (a * (t - T0) + b / 2 * (t * t - T0 * T0) + c * math.log(t / T0)
                 - d * (1 / t - 1 / T0))
    kappa = ka + kb * t + kc * t * t + kd * t**3
    v0 = molar_mass / float(volume["density"]) * math.exp(expansion)
    dp = p - P0
    return 0.1 * v0 * (dp - kappa * dp * dp / 2)


def magnetic_gibbs(t, tc, moment, p):
    """R T ln(moment + 1) f(T/Tc) with the ordering polynomial of p; negative values
    (antiferromagnets) divided by -1 for p = 0.4 and by -3 otherwise."""
    factor = -1.0 if p == 0.4 else -3.0
    if tc < 0:
        tc /= factor
    if moment < 0:
        moment /= factor
    tau = t / tc
    d = 518 / 1125 + 11692 / 15975 * (1 / p - 1)
    if tau <= 1:
        f = 1 - (79 / (140 * p * tau)
                 + 474 / 497 * (1 / p - 1) * (tau**3 / 6 + tau**9 / 135 + tau**15 / 600)) / d
    else:
        f = -(tau**-5 / 10 + tau**-15 / 315 + tau**-25 / 1500) / d
    return R * t * math.log(moment + 1) * f


@dataclass
class Excess:
    """One excess Gibbs parameter of a phase without sublattices: its species (constituent
    indices), their powers and its expressions (one row of eight values each: A..F, then the
    two pressure terms; values beyond are not used)."""
    species: list
    powers: np.ndarray
    expressions: np.ndarray

    def values(self, t, p):
        e = self.expressions
        return (e[:, 0] + e[:, 1] * t + e[:, 2] * t * math.log(t) + e[:, 3] * t * t
                + e[:, 4] * t**3 + e[:, 5] / t + e[:, 6] * p + e[:, 7] * p * p)



def _products(xs, powers):
    """prod_s xs_s^p_s and its derivative by each xs_s (0 where p_s = 0), over the last axis."""
    factors = xs**powers
    slopes = powers * xs ** np.maximum(powers - 1, 0)
    m = xs.shape[-1]
    if m == 2:
        f0, f1 = factors[..., 0], factors[..., 1]
        return f0 * f1, np.stack([slopes[..., 0] * f1, slopes[..., 1] * f0], axis=-1)
    if m == 3:
        f0, f1, f2 = factors[..., 0], factors[..., 1], factors[..., 2]
        return f0 * f1 * f2, np.stack([slopes[..., 0] * f1 * f2, slopes[..., 1] * f0 * f2,
                                       slopes[..., 2] * f0 * f1], axis=-1)
    derivatives = np.empty(xs.shape)
    for s in range(m):
        derivatives[..., s] = slopes[..., s] * np.prod(np.delete(factors, s, axis=-1), axis=-1)
    return np.prod(factors, axis=-1), derivatives


class ExcessTerms:
    """The excess parameters of a phase at one temperature and pressure, grouped by their number
    of species so that many compositions are summed at once:
    - two species i, j: x_i^p_i x_j^p_j sum_v L_v (x_i - x_j)^v;
    - three: x_i x_j x_k (with powers) sum_m nu_m L_m, nu_m = x_m + (1 - x_i - x_j - x_k)/3, over
      the first three expressions; one expression is L0 alone, the same as three equal ones
      since the nu add up to 1;
    - any other number: the product of the fractions (with powers) times L0."""

    def __init__(self, excess, size, t, p):
        self.size = size
        groups = {2: [], 3: [], 0: []}
        for parameter in excess:
            groups[len(parameter.species) if len(parameter.species) in (2, 3) else 0].append(
                parameter)
        self.binary = self._group(groups[2], t, p, width=None)
        self.ternary = self._group(groups[3], t, p, width=3)
        self.other = [(np.array(e.species), np.array(e.powers, dtype=float), e.values(t, p)[0])
                      for e in groups[0]]

    def _group(self, parameters, t, p, width):
        if not parameters:
            return None
        species = np.array([e.species for e in parameters])
        powers = np.array([e.powers for e in parameters], dtype=float)
        values = [e.values(t, p) for e in parameters]
        if width is None:
            L = np.zeros((len(parameters), max(len(v) for v in values)))
            for row, v in enumerate(values):
                L[row, :len(v)] = v
        else:
            L = np.array([[v[0]] * 3 if len(v) == 1 else list(v[:3]) + [0.0] * (3 - len(v[:3]))
                          for v in values])
        one_hot = np.zeros((species.size, self.size))
        one_hot[np.arange(species.size), species.ravel()] = 1.0
        return species, powers, L, one_hot

    def gibbs_and_gradient(self, x):
        """G_ex at compositions x and its derivatives by each fraction, every fraction taken
        as independent (mu_i then follows from the Darken relation)."""
        g = np.zeros(x.shape[:-1])
        gradient = np.zeros(x.shape)
        if self.binary is not None:
            species, powers, L, one_hot = self.binary
            xs = x[..., species]  # (..., parameters, 2)
            pre, d_pre = _products(xs, powers)
            difference = xs[..., 0] - xs[..., 1]
            q = np.zeros(difference.shape)
            dq = np.zeros(difference.shape)
            for v in range(L.shape[1] - 1, -1, -1):  # Horner, with the derivative
                dq = dq * difference + q
                q = q * difference + L[:, v]
            g += np.sum(pre * q, axis=-1)
            contributions = d_pre * q[..., None]
            contributions[..., 0] += pre * dq
            contributions[..., 1] -= pre * dq
            gradient += contributions.reshape(*x.shape[:-1], -1) @ one_hot
        if self.ternary is not None:
            species, powers, L, one_hot = self.ternary
            xs = x[..., species]  # (..., parameters, 3)
            pre, d_pre = _products(xs, powers)
            rest = (1.0 - np.sum(xs, axis=-1)) / 3.0
            q = np.sum((xs + rest[..., None]) * L, axis=-1)
            dq = L - np.sum(L, axis=-1, keepdims=True) / 3.0
            g += np.sum(pre * q, axis=-1)
            contributions = d_pre * q[..., None] + pre[..., None] * dq
            gradient += contributions.reshape(*x.shape[:-1], -1) @ one_hot
        for species, powers, L0 in self.other:
            pre, d_pre = _products(x[..., species], powers)
            g += pre * L0
            for s, i in enumerate(species):
                gradient[..., i] += d_pre[..., s] * L0
        return g, gradient


@dataclass
class Phase:
    name: str  # as the library holds it: "X#1" and "X#2" for the copies of a phase
    model: str
    gas: bool
    status: str
    constituent_names: list
    stoichiometry: np.ndarray  # (constituents, components)
    constituent_status: list
    data: list  # the constituents' mappings as the file writes them
    molar_masses: np.ndarray
    magnetic_factor: float
    excess: list = field(default_factory=list)
    copy: int = 0  # 0 a single phase, 1 or 2 a copy

    @property
    def pure(self):
        return self.model == "PURE"

    @property
    def ideal(self):
        return not self.excess

    @property
    def size(self):
        return len(self.constituent_names)

    def entered_constituents(self):
        return np.array([s == "ENTERED" for s in self.constituent_status])

    def standard_gibbs(self, t, p):
        """G of each constituent at t and p (bar): the standard function, the magnetic term,
        the V dP term of condensed constituents; a gas constituent's at 1 bar (its pressure
        enters as R T ln P with its fraction)."""
        g = np.empty(self.size)
        for i, c in enumerate(self.data):
            h, s = standard_hs(c["H298"], c["S298"], c["cp"], t)
            value = h - t * s
            magnetic = c.get("magnetic")
            if magnetic and 0 < self.magnetic_factor < 1:
                value += magnetic_gibbs(t, float(magnetic["Tc"]), float(magnetic["moment"]),
                                        self.magnetic_factor)
            if not self.gas and "volume" in c:
                value += volume_integral(c["volume"], self.molar_masses[i], t, p)
            g[i] = value
        return g

    def excess_terms(self, t, p):
        if getattr(self, "_terms", None) is None or self._terms[0] != (t, p):
            self._terms = ((t, p), ExcessTerms(self.excess, self.size, t, p))
        return self._terms[1]

    def excess_gibbs(self, x, t, p):
        """(G_ex, its gradient by the fractions) of compositions x."""
        return self.excess_terms(t, p).gibbs_and_gradient(x)

    def excess_potentials(self, x, t, p):
        """RT ln gamma of each constituent: G_ex + dG_ex/dx_i - sum_j x_j dG_ex/dx_j."""
        g, gradient = self.excess_gibbs(x, t, p)
        return g[..., None] + gradient - np.sum(x * gradient, axis=-1, keepdims=True)

    def pressure_term(self, t, p):
        return R * t * math.log(p / P0) if self.gas else 0.0

    def gibbs(self, x, t, p, g0=None):
        """G per mole of constituents (formula units) at compositions x."""
        g0 = self.standard_gibbs(t, p) if g0 is None else g0
        x = np.asarray(x, dtype=float)
        with np.errstate(divide="ignore", invalid="ignore"):
            ideal = R * t * np.sum(np.where(x > 0, x * np.log(x), 0.0), axis=-1)
        excess = self.excess_gibbs(x, t, p)[0] if self.excess else 0.0
        return x @ g0 + ideal + excess + self.pressure_term(t, p) * np.sum(x, axis=-1)

    def potentials(self, x, t, p, g0=None):
        """The chemical potential of each constituent at compositions x (-inf where x is 0)."""
        g0 = self.standard_gibbs(t, p) if g0 is None else g0
        x = np.asarray(x, dtype=float)
        with np.errstate(divide="ignore"):
            mu = g0 + R * t * np.log(x) + self.pressure_term(t, p)
        if self.excess:
            mu = mu + self.excess_potentials(x, t, p)
        return mu


@dataclass
class System:
    path: Path
    component_names: list
    component_masses: np.ndarray
    phases: list  # as the library holds them, copies expanded

    def phase(self, name):
        return next(p for p in self.phases if p.name == name)

    def index(self, name):
        """The library's 1-based index of a phase."""
        return next(i for i, p in enumerate(self.phases, start=1) if p.name == name)


def _excess_parameter(item, names):
    (group,) = item["species"]  # one list: a phase without sublattices
    species, powers = [], []
    for entry in group:
        name, power = (entry["name"], entry.get("power", 1)) if isinstance(entry, dict) \
            else (entry, 1)
        species.append(names.index(str(name)))
        powers.append(int(power))
    width = max(8, max(len(e) for e in item["expressions"]))
    expressions = np.zeros((len(item["expressions"]), width))
    for row, e in enumerate(item["expressions"]):
        expressions[row, :len(e)] = e
    return Excess(species, np.array(powers), expressions[:, :8])


def load_system(path):
    """The model of the .dat file at path."""
    path = Path(path)
    document = yaml.safe_load(path.read_text().split("\n...\n")[0])
    components = document["components"]
    masses = np.array([float(c["mass"]) for c in components])
    phases = []
    for item in document["phases"]:
        constituents = item["constituents"]
        names = [str(c["name"]) for c in constituents]
        stoichiometry = np.array([c["stoichiometry"] for c in constituents], dtype=float)
        excess = []
        if item["model"] in EXCESS_MODELS and not item.get("sublattices"):
            excess = [_excess_parameter(e, names) for e in item.get("excess_gibbs", [])]
        copies = int(item.get("copies", 1))
        for copy in range(1, copies + 1):
            phases.append(Phase(
                name=f"{item['name']}#{copy}" if copies == 2 else str(item["name"]),
                model=str(item["model"]), gas=bool(item.get("gas", False)),
                status=str(item.get("status", "ENTERED")).upper(), constituent_names=names,
                stoichiometry=stoichiometry,
                constituent_status=[str(c.get("status", "ENTERED")).upper()
                                    for c in constituents],
                data=constituents, molar_masses=stoichiometry @ masses,
                magnetic_factor=float(item.get("magnetic_structure_factor", 0.0)),
                excess=excess, copy=copy if copies == 2 else 0))
    return System(path, [str(c["name"]) for c in components], masses, phases)


# --- the lowest tangent-plane distance of a phase ------------------------------------------------

def simplex_grid(size, steps):
    """Every composition of `size` constituents on a grid of 1/steps, interior points only
    (the faces are reached by the local search, which works on logarithms)."""
    if size == 1:
        return np.ones((1, 1))
    points = []

    def fill(prefix, left, slots):
        if slots == 1:
            points.append(prefix + [left])
            return
        for k in range(1, left - slots + 2):
            fill(prefix + [k], left - k, slots - 1)

    fill([], steps, size)
    return np.array(points, dtype=float) / steps


_GRIDS = {}


def _grid(size):
    steps = {2: 400, 3: 60, 4: 24, 5: 14}.get(size)
    if steps is None:
        return None
    if size not in _GRIDS:
        _GRIDS[size] = simplex_grid(size, steps)
    return _GRIDS[size]


def tangent_plane_distance(phase, t, p, plane, g0=None):
    """The lowest tangent-plane distance of a phase, per mole of constituents, against the
    potentials `plane` (sum_k a_ik mu_k of each constituent): (value in J/mol, composition).

    Only ENTERED constituents may hold matter. Ideal phases have the closed form
    -R T ln sum_i exp(-(G_i - plane_i)/RT); others are searched on a simplex grid and refined
    from the best grid points and from the ideal start by damped successive substitution on the
    logarithms of the fractions, x_i ~ exp((plane_i - G_i - RT ln gamma_i(x))/RT)."""
    g0 = phase.standard_gibbs(t, p) if g0 is None else g0
    entered = phase.entered_constituents()
    rt = R * t
    offset = g0 + phase.pressure_term(t, p) - plane  # per constituent
    if not entered.any():
        return math.inf, None
    if phase.size == 1:
        return float(offset[0]), np.ones(1)
    w = np.where(entered, -offset / rt, -np.inf)
    top = np.max(w)
    ideal_x = np.exp(w - top)
    ideal_x /= ideal_x.sum()
    ideal_min = -rt * (top + math.log(np.sum(np.exp(w - top))))
    if phase.ideal:
        return float(ideal_min), ideal_x

    def distance(x):
        return phase.gibbs(x, t, p, g0) - x @ plane

    starts = [ideal_x]
    index = np.flatnonzero(entered)
    grid = _grid(len(index))
    if grid is not None:
        full = np.zeros((len(grid), phase.size))
        full[:, index] = grid
        values = distance(full)
        starts += [full[k] for k in np.argsort(values)[:4]]
    else:  # many constituents: start near each vertex too
        for i in index:
            x = np.full(phase.size, 1e-3 / max(1, len(index) - 1))
            x[~entered] = 0.0
            x[i] = 1 - 1e-3
            starts.append(x)
    x = _refine(phase, t, p, g0, plane, np.array(starts), entered)
    values = distance(x)
    best = int(np.argmin(values))
    return float(values[best]), x[best]


def _refine(phase, t, p, g0, plane, x, entered, rounds=400):
    """Damped successive substitution of many starts at once (rows of x)."""
    rt = R * t
    base = np.where(entered, (plane - g0 - phase.pressure_term(t, p)) / rt, -np.inf)
    with np.errstate(divide="ignore"):
        log_x = np.where(entered, np.log(np.maximum(x, 1e-300)), -np.inf)
    for _ in range(rounds):
        x = np.exp(log_x)
        w = base - phase.excess_potentials(x, t, p) / rt
        top = np.max(w, axis=-1, keepdims=True)
        target = w - top - np.log(np.sum(np.exp(w - top), axis=-1, keepdims=True))
        step = np.where(entered, target - log_x, 0.0)
        if np.max(np.abs(step)) < 1e-7:  # the distance well within the tolerance
            break
        log_x = np.where(entered, log_x + 0.6 * step, -np.inf)
        top = np.max(log_x, axis=-1, keepdims=True)
        log_x -= top + np.log(np.sum(np.exp(log_x - top), axis=-1, keepdims=True))
    return np.exp(log_x)
