"""Generates the two large test systems of tests/data (run `python3 tests/large_systems.py` to
write them again; a test holds the files equal to what this script writes):

- gas30.dat: 30 components, an ideal gas with one species of each and 100 stoichiometric
  compounds of two or three components. Each compound lies a sublimation enthalpy of 180-300
  kJ per atom below its gas species and has about 120 J/(mol K) per atom less entropy, so the
  compounds evaporate between about 1500 and 2500 K at 1 bar: at 1000 K most of the input is
  condensed, at 2000 K much of it is gaseous, and the gas alone could always hold all of it.
- wide100.dat: 10 components and one RKMP phase of 100 constituents (the 10 elements, the 45
  pairs AB and the 45 pairs AB2) with one binary parameter (-5 kJ/mol between the first two);
  the compounds lie 8-20 kJ per atom below their elements.

The numbers come from a seeded generator, so the files never change unless this script does."""

import random
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"


def _constituent(name, stoichiometry, h298, s298, cp_a, indent="      "):
    coefficients = ", ".join(f"{c:g}" for c in stoichiometry)
    return (f"{indent}- {{name: {name}, stoichiometry: [{coefficients}], H298: {h298:.1f}, "
            f"S298: {s298:.3f}, cp: [{{a: {cp_a:.3f}, Tt: 6000}}]}}\n")


def gas30_text(seed=30):
    rng = random.Random(seed)
    count = 30
    names = [f"E{k:02d}" for k in range(1, count + 1)]
    out = ["# Written by tests/large_systems.py: 30 components, an ideal gas of one species each,\n"
           "# 100 stoichiometric compounds.\n",
           "equilex-data: 1\n", 'title: "30 components: an ideal gas and 100 compounds"\n',
           "components:\n"]
    out += [f"  - {{name: {name}, mass: {10.0 + 3.0 * k:.1f}}}\n" for k, name in enumerate(names)]
    out += ["phases:\n", "  - name: GAS\n", "    model: IDMX\n", "    gas: true\n",
            "    constituents:\n"]
    gas_h, gas_s = [], []
    for k, name in enumerate(names):
        h, s = rng.uniform(150e3, 450e3), rng.uniform(140.0, 200.0)
        gas_h.append(h)
        gas_s.append(s)
        unit = [1 if i == k else 0 for i in range(count)]
        out.append(_constituent(f"{name}(g)", unit, h, s, 20.786))
    made = set()
    while len(made) < 100:
        size = rng.choice((2, 2, 3))
        members = tuple(sorted(rng.sample(range(count), size)))
        coefficients = tuple(rng.choice((1, 1, 2, 3)) for _ in members)
        if (members, coefficients) in made:
            continue
        made.add((members, coefficients))
        stoichiometry = [0] * count
        for i, c in zip(members, coefficients):
            stoichiometry[i] = c
        atoms = sum(coefficients)
        h = sum(c * (gas_h[i] - rng.uniform(180e3, 300e3)) for i, c in zip(members, coefficients))
        s = sum(c * (gas_s[i] - rng.uniform(110.0, 130.0)) for i, c in zip(members, coefficients))
        name = "".join(f"{names[i]}{c if c > 1 else ''}" for i, c in zip(members, coefficients))
        out += [f"  - name: {name}\n", "    model: PURE\n", "    constituents:\n",
                _constituent(name, stoichiometry, h, s, 25.0 * atoms)]
    return "".join(out)


def wide100_text(seed=100):
    rng = random.Random(seed)
    count = 10
    names = [f"M{k}" for k in range(count)]
    out = ["# Written by tests/large_systems.py: 10 components, one RKMP phase of 100 "
           "constituents\n"
           "# with one binary parameter.\n",
           "equilex-data: 1\n", 'title: "10 components: one non-ideal phase of 100 constituents"\n',
           "components:\n"]
    out += [f"  - {{name: {name}, mass: {20.0 + 7.0 * k:.1f}}}\n" for k, name in enumerate(names)]
    out += ["phases:\n", "  - name: SOLUTION\n", "    model: RKMP\n", "    constituents:\n"]
    for k, name in enumerate(names):
        unit = [1 if i == k else 0 for i in range(count)]
        out.append(_constituent(name, unit, 0.0, rng.uniform(25.0, 35.0), 25.0))
    for second in (1, 2):
        for i in range(count):
            for j in range(i + 1, count):
                stoichiometry = [0] * count
                stoichiometry[i], stoichiometry[j] = 1, second
                atoms = 1 + second
                h = -atoms * rng.uniform(8e3, 20e3)
                s = atoms * rng.uniform(25.0, 35.0) - rng.uniform(0.0, 5.0)
                suffix = "2" if second == 2 else ""
                out.append(_constituent(f"{names[i]}{names[j]}{suffix}", stoichiometry, h, s,
                                        25.0 * atoms))
    out += ["    excess_gibbs:\n", f"      - species: [[{names[0]}, {names[1]}]]\n",
            "        expressions:\n", "          - [-5000, 0, 0, 0, 0, 0]\n"]
    return "".join(out)


LARGE_SYSTEMS = {"gas30.dat": gas30_text, "wide100.dat": wide100_text}

if __name__ == "__main__":
    for file_name, make in LARGE_SYSTEMS.items():
        (DATA / file_name).write_text(make())
