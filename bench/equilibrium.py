"""What the stand-in's equilibrium calculator costs, through the engine's library road:

- one tqce on limestone (1 mol CaCO3, 1200 K, 1 bar) and one tqcen from that result;
- one target calculation: the temperature at which CaCO3 forms from CaO and CO2 at 1 bar;
- one complete temperature map from 300 K to 2000 K (every tqmap call of it);
- one tqgetr read of a constituent's activity;
- the growth of one tqce with the size of the system: generated ideal systems of 10, 100 and
  1000 constituents over 5 components (a gas, and beyond 100 constituents, the most one mixture
  phase holds, condensed ideal mixtures of 100 constituents each);
- what the complete limestone map costs in single equilibria: counted by the library itself (its
  test hook eqx_standin_equilibria, whatever the machine's load), and its time in tqce times;
- tqce on a non-ideal quaternary system (tests/data/quaternary.dat: an RKMP liquid with ternary
  terms, a QKTO solid, pure solids) over seeded random states, traces and zero inputs among
  them: the median and the slowest, each state's time the shortest of a few calls;
- one tqce on a non-ideal phase of 100 constituents over 10 components with one binary
  parameter (tests/data/wide100.dat).

Prints microseconds per call, the map's costs, then as its last line the ratio of one tqce on the
1000-constituent system to one on the 100-constituent system.
"""

import ctypes

import math
import os
import random
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

from equilexproxy.raw import EquilexProxy

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("EQX_BUILD", REPO / "build"))
LIBRARY = str(BUILD / "standin" / "libequilex.so")
LIMESTONE = REPO / "data" / "limestone.dat"
TEST_DATA = REPO / "tests" / "data"
REPEAT = 5
COMPONENTS = ("A", "B", "C", "D", "E")


def microseconds(statement, namespace, number):
    """Best of REPEAT runs, in microseconds per run of the statement."""
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=REPEAT, number=number)) / number * 1e6


def checked(engine, what):
    if engine.last_error != 0:
        sys.exit(f"{what}: error {engine.last_error}")


def load(engine, path):
    engine.tqini()
    engine.last_error = 0
    engine.load_datafile(str(path))
    checked(engine, f"loading {path}")


def limestone(engine):
    """Loads limestone and sets 1 mol CaCO3 at 1200 K and 1 bar."""
    load(engine, LIMESTONE)
    calcite = engine.tqinp("CaCO3")
    engine.tqsetc("IA", calcite, 1, 1.0)
    engine.tqsetc("T", 0, 0, 1200.0)
    engine.tqsetc("P", 0, 0, 1.0)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    checked(engine, "limestone at 1200 K")
    return calcite


def time_limestone(engine, times):
    calcite = limestone(engine)
    gas = engine.tqinp("GAS")
    co2 = engine.tqinpc(gas, "CO2")
    namespace = {"engine": engine, "gas": gas, "co2": co2}
    times["tqce limestone 1200 K"] = microseconds('engine.tqce(" ", 0, 0, (0.0, 0.0))',
                                                  namespace, 2000)
    times["tqcen limestone 1200 K"] = microseconds('engine.tqcen(" ", 0, 0, (0.0, 0.0))',
                                                   namespace, 2000)
    times["tqgetr AC of CO2"] = microseconds('engine.tqgetr("AC", gas, co2)', namespace, 100_000)
    checked(engine, "limestone calls")

    # The decomposition temperature: CaO and CO2 in, CaCO3 as the phase that forms.
    engine.tqremc(0)
    engine.tqsetc("IA", engine.tqinp("CaO"), 1, 1.0)
    engine.tqsetc("IA", gas, co2, 1.0)
    engine.tqsetc("A", calcite, 0, 0.0)
    namespace["estimate"] = (1000.0, 0.0)
    times["tqce T target (decomposition)"] = microseconds('engine.tqce("T", 0, 0, estimate)',
                                                          namespace, 100)
    checked(engine, "decomposition target")
    engine.tqremc(3)

    # The complete map of 1 mol CaCO3 from 300 K to 2000 K.
    engine.tqremc(0)
    engine.tqsetc("IA", calcite, 1, 1.0)

    def whole_map():
        left = engine.tqmap("TF", 0, 0, (300.0, 2000.0))
        while left > 0:
            left = engine.tqmap("TN", 0, 0, (300.0, 2000.0))

    namespace["whole_map"] = whole_map
    times["T map 300-2000 K (all calls)"] = microseconds("whole_map()", namespace, 20)
    checked(engine, "temperature map")


def ideal_system(directory, size, seed=7):
    """A data-file of `size` constituents over five components, in ideal mixtures of at most 100
    constituents each (the most one mixture phase holds): a gas, then condensed mixtures. Each
    phase holds the five elements and random molecules of up to eight atoms with random
    standard data. The condensed mixtures are less stable: at the 1500 K of the bench the gas
    alone holds the input, and the activities of the others are calculated."""
    rng = random.Random(seed)
    lines = [
        "equilex-data: 1",
        "components:",
        *[f"  - {{name: {name}, mass: {10.0 + 5 * k}}}" for k, name in enumerate(COMPONENTS)],
        "phases:",
    ]
    left = size
    for number in range((size + 99) // 100):
        count = min(left, 100)
        left -= count
        gas = number == 0
        lines += [
            f"  - name: {'GAS' if gas else f'MIX{number}'}",
            "    model: IDMX",
            *(["    gas: true"] if gas else []),
            "    constituents:",
        ]
        seen = set()
        while len(seen) < count:
            counts = [0] * len(COMPONENTS)
            if len(seen) < len(COMPONENTS):
                counts[len(seen)] = 1
            else:
                for _ in range(rng.randint(2, 8)):
                    counts[rng.randrange(len(COMPONENTS))] += 1
            name = "".join(f"{c}{n}" for c, n in zip(COMPONENTS, counts) if n)
            if name in seen:
                continue
            seen.add(name)
            atoms = sum(counts)
            h298 = (0.0 if atoms == 1 else rng.uniform(-300e3, 100e3)) + (0 if gas else 20e3)
            entropy = (150.0 if gas else 60.0) + 40.0 * atoms + rng.uniform(-20, 20)
            lines += [
                f"      - name: {name}",
                f"        stoichiometry: {counts}",
                f"        H298: {h298:.1f}",
                f"        S298: {entropy:.3f}",
                f"        cp: [{{a: {20.0 + 8.0 * atoms:.2f}, b: 0.004, Tt: 6000}}]",
            ]
    path = Path(directory) / f"ideal{size}.dat"
    path.write_text("\n".join(lines) + "\n")
    return path


def time_ideal(engine, path, size):
    load(engine, path)
    for k in range(len(COMPONENTS)):
        engine.tqsetc("IA", 0, k + 1, 1.0 + 0.5 * k)
    engine.tqsetc("T", 0, 0, 1500.0)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    checked(engine, f"tqce on {path.name}")
    namespace = {"engine": engine}
    number = max(20, 20_000 // size)
    return microseconds('engine.tqce(" ", 0, 0, (0.0, 0.0))', namespace, number)


def map_costs(engine, times):
    """The complete map of 1 mol CaCO3 from 300 K to 2000 K (one transition): the single
    equilibria the library calculates for it, and its time over that of one tqce at 1200 K."""
    counter = ctypes.CDLL(LIBRARY).eqx_standin_equilibria  # the engine's image: the same file
    counter.restype = ctypes.c_int64
    calcite = limestone(engine)
    engine.tqremc(0)
    engine.tqsetc("IA", calcite, 1, 1.0)
    before = counter()
    left = engine.tqmap("TF", 0, 0, (300.0, 2000.0))
    while left > 0:
        left = engine.tqmap("TN", 0, 0, (300.0, 2000.0))
    checked(engine, "temperature map")
    equilibria = counter() - before
    tqce_times = times["T map 300-2000 K (all calls)"] / times["tqce limestone 1200 K"]
    return [f"T map 300-2000 K: {equilibria} equilibria calculated, {tqce_times:.0f} tqce times"]


def quaternary_states(count, seed=14):
    """(T, P, inputs) of the quaternary system: 800-3000 K, 1 bar to 1e4 bar in ln P, random
    inputs; a third of the states with one to three inputs at 1e-14 to 1e-7 of the total, a
    tenth with one or two inputs exactly 0."""
    rng = random.Random(seed)
    states = []
    for number in range(count):
        t = rng.uniform(800.0, 3000.0)
        p = math.exp(rng.uniform(0.0, math.log(1e4)))
        amounts = [rng.random() + 1e-3 for _ in range(4)]
        total = sum(amounts)
        if number % 3 == 1:
            for k in rng.sample(range(4), rng.randint(1, 3)):
                amounts[k] = total * 10.0 ** rng.uniform(-14.0, -7.0)
        elif number % 10 == 0:
            for k in rng.sample(range(4), rng.randint(1, 2)):
                amounts[k] = 0.0
        states.append((t, p, amounts))
    return states


def cpu_seconds(call, rounds=3):
    """The shortest CPU time of `rounds` calls."""
    best = math.inf
    for _ in range(rounds):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def quaternary_costs(engine, count=200):
    load(engine, TEST_DATA / "quaternary.dat")
    costs, failed = [], {}
    for t, p, amounts in quaternary_states(count):
        engine.tqremc(0)
        for k, amount in enumerate(amounts):
            engine.tqsetc("IA", 0, k + 1, amount)
        engine.tqsetc("T", 0, 0, t)
        engine.tqsetc("P", 0, 0, p)
        engine.last_error = 0
        costs.append(cpu_seconds(lambda: engine.tqce(" ", 0, 0, (0.0, 0.0))))
        if engine.last_error != 0:
            failed[engine.last_error] = failed.get(engine.last_error, 0) + 1
    costs.sort()
    failures = ", ".join(f"{n} x {e}" for e, n in sorted(failed.items())) or "none"
    return [f"tqce quaternary, {count} random states: median {statistics.median(costs) * 1e3:.3f} ms,"
            f" slowest {costs[-1] * 1e3:.2f} ms (errors: {failures})"]


def wide_costs(engine):
    load(engine, TEST_DATA / "wide100.dat")
    for k in range(10):
        engine.tqsetc("IA", 0, k + 1, 1.0)
    engine.tqsetc("T", 0, 0, 1000.0)
    engine.last_error = 0
    seconds = cpu_seconds(lambda: engine.tqce(" ", 0, 0, (0.0, 0.0)), rounds=1)
    error = f" (error {engine.last_error})" if engine.last_error else ""
    return [f"tqce one RKMP phase of 100 constituents, 10 components: {seconds:.3f} s{error}"]


def main():
    engine = EquilexProxy(LIBRARY)
    times = {}
    time_limestone(engine, times)
    costs = map_costs(engine, times)
    costs += quaternary_costs(engine)
    costs += wide_costs(engine)
    with tempfile.TemporaryDirectory() as directory:
        for size in (10, 100, 1000):
            times[f"tqce ideal mixtures, {size} constituents"] = time_ideal(
                engine, ideal_system(directory, size), size)
    width = max(len(label) for label in times)
    for label, value in times.items():
        print(f"{label:<{width}}  {value:10.1f} us")
    for line in costs:
        print(line)
    ratio = (times["tqce ideal mixtures, 1000 constituents"] /
             times["tqce ideal mixtures, 100 constituents"])
    print(f"scaling tqce 1000/100 = {ratio:.2f}")


if __name__ == "__main__":
    main()
