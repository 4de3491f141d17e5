"""What an entity property read costs against the engine call it makes, both measured in one
run on the stand-in: phase.name against engine.tqgnp(i), constituent.H298 against
engine.tqgdat(p, c, "H", 1)[0], and phase.constituents for a phase of 50 constituents against
its one engine call, tqnopc.

For scale it also times a Python property making the same reads (self.engine.tqgnp(self.index)).
Prints the per-read times, then as its last line the ratio of phase.name to tqgnp.

The statements are timed in turn in many short rounds, each in the process's CPU time, and each
keeps its shortest round: a round that another process or an interrupt disturbed is longer, never
shorter, so the shortest is the read's own cost on a shared machine.
"""

import os
import tempfile
import time
import timeit
from pathlib import Path

from equilexproxy.entities import Phase
from equilexproxy.raw import EquilexProxy

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("EQX_BUILD", REPO / "build"))
LIBRARY = str(BUILD / "standin" / "libequilex.so")
NUMBER = 2_000
REPEAT = 250
CONSTITUENTS = 50


def fifty_constituents():
    """A data-file of one ideal mixture of 50 constituents over two components."""
    lines = ["equilex-data: 1", "components:", "  - {name: A, mass: 10.0}",
             "  - {name: B, mass: 20.0}", "phases:", "  - name: MIXTURE", "    model: IDMX",
             "    constituents:"]
    for k in range(1, CONSTITUENTS + 1):
        lines += [f"      - name: C{k}", f"        stoichiometry: [{k}, 1]",
                  f"        H298: {-1000 * k}", "        S298: 50",
                  "        cp:", "          - {a: 30, Tt: 3000}"]
    return "\n".join(lines) + "\n"


class PythonPhase:
    """The same read written as a Python property, for scale."""

    def __init__(self, index, engine):
        self.engine = engine
        self.index = index

    @property
    def name(self):
        return self.engine.tqgnp(self.index)


def best_times(statements, namespace):
    """Best per-call time of each statement in nanoseconds, the statements timed in turn so
    that a busy machine slows them alike, in CPU time so that the time other processes hold the
    CPU is not counted."""
    timers = {statement: timeit.Timer(statement, timer=time.process_time, globals=namespace)
              for statement in statements}
    best = dict.fromkeys(statements, float("inf"))
    for _ in range(REPEAT):
        for statement, number in statements.items():
            elapsed = timers[statement].timeit(number)
            best[statement] = min(best[statement], elapsed / number * 1e9)
    return best


def main():
    engine = EquilexProxy(LIBRARY)
    engine.tqini()
    with tempfile.TemporaryDirectory() as directory:
        datafile = Path(directory) / "fifty.dat"
        datafile.write_text(fifty_constituents())
        engine.load_datafile(str(datafile))
    if engine.last_error != 0 or engine.tqnopc(1) != CONSTITUENTS:
        raise SystemExit(f"the bench data-file did not load (error {engine.last_error})")
    phase = Phase(1, engine)
    constituent = phase.get_constituent(CONSTITUENTS // 2)
    namespace = {"engine": engine, "phase": phase, "constituent": constituent, "p": 1,
                 "c": CONSTITUENTS // 2, "python_phase": PythonPhase(1, engine)}
    statements = {
        "engine.tqgnp(p)": NUMBER,
        "phase.name": NUMBER,
        "python_phase.name": NUMBER,
        "engine.tqgdat(p, c, 'H', 1)[0]": NUMBER,
        "constituent.H298": NUMBER,
        "engine.tqnopc(p)": NUMBER,
        "phase.constituents": NUMBER // 20,
    }
    times = best_times(statements, namespace)
    for statement, nanoseconds in times.items():
        print(f"{statement:36} {nanoseconds:9.1f} ns")
    h298 = times["constituent.H298"] / times["engine.tqgdat(p, c, 'H', 1)[0]"]
    print(f"ratio constituent.H298/tqgdat = {h298:.2f}")
    per_constituent = (times["phase.constituents"] - times["engine.tqnopc(p)"]) / CONSTITUENTS
    print(f"phase.constituents of {CONSTITUENTS}: {per_constituent:.1f} ns per constituent "
          f"beyond its tqnopc call")
    print(f"ratio python property/tqgnp = "
          f"{times['python_phase.name'] / times['engine.tqgnp(p)']:.2f}")
    print(f"ratio phase.name/tqgnp = {times['phase.name'] / times['engine.tqgnp(p)']:.2f}")


if __name__ == "__main__":
    main()
