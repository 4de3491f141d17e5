"""Larger sweeps than the test suite's, run by hand to find failing states (not part of the suite):

    PYTHONPATH=build/python /usr/bin/python3 tests/sweep_report.py --count 1000 --seed 1 [NAME ...]

For each system of equilibrium_sweeps.SWEEPS and each kind of state it prints how many states fail
the certificate, the failures grouped by clause with the worst one of each, and a few states to
reproduce them (temperature, pressure, inputs, and what failed)."""

import argparse
import re
import sys
import time
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from equilibrium_certificate import calculate, certify, open_system  # noqa: E402
from equilibrium_sweeps import KINDS, SWEEPS, random_states  # noqa: E402


def clause(failure):
    """The clause a failure text belongs to, without its numbers and names."""
    for name in ("zero-input rule", "error", "balance", "potential", "tangent-plane", "G =",
                 "H - T S", "not finite", "negative amount", "fraction 0", "holds"):
        if name in failure:
            return "error " + failure.split()[1] if name == "error" else name
    return failure


def size(failure):
    """How bad a failure is, for finding the worst: the relative balance error, the potential
    error or tangent-plane distance in RT, how far ln a lies above -50."""
    for pattern, offset in ((r"relative (\S+)\)", 0.0), (r": (\S+) RT off", 0.0),
                            (r"distance of (\S+) RT", 0.0), (r"ln a (\S+) against", 50.0)):
        found = re.search(pattern, failure)
        if found:
            return abs(float(found.group(1)) + offset)
    return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--examples", type=int, default=3)
    parser.add_argument("systems", nargs="*", default=list(SWEEPS))
    arguments = parser.parse_args()
    from equilexproxy.raw import EquilexProxy

    engine = EquilexProxy(str(HERE.parent / "build" / "standin" / "libequilex.so"))
    engine.tqini()
    for name in arguments.systems:
        sweep = SWEEPS[name]
        system = open_system(engine, HERE / "data" / sweep.file_name)
        for k, kind in enumerate(KINDS):
            if sweep.components == 1 and kind != "ordinary":
                continue
            states = random_states(sweep, kind, arguments.count, arguments.seed + 1000 * k)
            started = time.process_time()
            failing, by_clause = 0, defaultdict(list)
            for state in states:
                problems = certify(system, calculate(engine, system, state))
                failing += bool(problems)
                for problem in problems:
                    by_clause[clause(problem)].append((state, problem))
            seconds = time.process_time() - started
            print(f"{name} {kind}: {failing} of {len(states)} states fail ({seconds:.1f} s)")
            for key, items in sorted(by_clause.items()):
                states_hit = len({s for s, _ in items})
                worst = max(items, key=lambda item: size(item[1]))
                print(f"  {key}: {states_hit} states; worst: {worst[0]}: {worst[1][:160]}")
                for state, problem in items[:arguments.examples]:
                    print(f"      {state}: {problem[:160]}")


if __name__ == "__main__":
    main()
