"""What the convenience layer costs over the routine methods it calls: map_temp over the limestone
sample from 300 to 2000 K with three outputs, against the same loop written by hand over
tqmap/tqgetr, both timed in this run; then one formation-temperature search on the sample.

Last line: the ratio of map_temp to the hand-written loop (target: at most 1.1).
"""

import contextlib
import io
import os
import sys
import time
from pathlib import Path

from equilexproxy import custom
from equilexproxy.raw import EquilexProxy

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("EQX_BUILD", REPO / "build"))
DATAFILE = REPO / "data" / "limestone.dat"
LIBRARY = str(BUILD / "standin" / "libequilex.so")
LOWER, UPPER = 300, 2000
SEARCH = (300.0, 3000.0)  # the search's own default bracket
ROUNDS_SECONDS = 1.5  # time spent on each side's calls


def limestone(engine):
    """One mole of CaCO3 at 1 bar."""
    engine.remove_all()
    for name, amount in (("Ca", 1.0), ("C", 1.0), ("O", 3.0)):
        engine.set_amount_syscomp(name, amount)
    engine.set_global_P(1.0)


def hand_loop(engine, outvars):
    results = {key: [] for key in outvars}
    icont = engine.tqmap("TF", 0, 0, (LOWER, UPPER))
    for key in outvars:
        results[key].append(engine.tqgetr(key[0], key[1], key[2]))
    while icont > 0:
        icont = engine.tqmap("TN", 0, 0, (LOWER, UPPER))
        for key in outvars:
            results[key].append(engine.tqgetr(key[0], key[1], key[2]))
    return results


def paired_minimum(first, second, rounds):
    """The shortest of `rounds` single calls of each function, the calls alternating (and which
    goes first alternating too), so that both see the same machine. Timed in this process's CPU
    time: on a shared machine the wall clock also counts the time other processes hold the CPU,
    which varies far more from call to call than what the two sides differ by; a loaded machine
    only ever lengthens a call, so the minimum is the cost least disturbed."""
    times = {first: [], second: []}
    for round_ in range(rounds):
        for function in (first, second) if round_ % 2 == 0 else (second, first):
            start = time.process_time()
            function()
            times[function].append(time.process_time() - start)
    return min(times[first]), min(times[second])


def main():
    engine = EquilexProxy(LIBRARY)
    engine.tqini()
    engine.load_datafile(str(DATAFILE))
    if engine.last_error:
        sys.exit(f"loading {DATAFILE.name} failed: {engine.last_error_message}")
    limestone(engine)
    calcite = engine.tqinp("CaCO3")
    outvars = [("T", 0, 0), ("A", calcite, 0), ("A", 1, 0)]

    by_hand = hand_loop(engine, outvars)
    by_member = engine.map_temp(LOWER, UPPER, outvars)
    if by_member != by_hand:
        sys.exit("map_temp and the hand-written loop disagree")
    steps = len(by_hand[outvars[0]])
    start = time.process_time()
    engine.map_temp(LOWER, UPPER, outvars)
    rounds = max(10, int(ROUNDS_SECONDS / (time.process_time() - start)))
    member, hand = paired_minimum(lambda: engine.map_temp(LOWER, UPPER, outvars),
                                  lambda: hand_loop(engine, outvars), rounds)
    print(f"map steps {LOWER}-{UPPER} K: {steps}, transitions at "
          + ", ".join(f"{t:.2f} K" for t in by_hand[outvars[0]][1:-1]))
    print(f"{'map_temp, three outputs':40} {member * 1e6:10.1f} us")
    print(f"{'tqmap/tqgetr loop by hand':40} {hand * 1e6:10.1f} us")

    limestone(engine)
    printed = io.StringIO()
    start = time.process_time()
    with contextlib.redirect_stdout(printed):
        custom.ce_formation_binary_t(engine, calcite, *SEARCH)
    elapsed = time.process_time() - start
    trials = (len(printed.getvalue().splitlines()) - 1) // 2
    print(f"{'ce_formation_binary_t (CaCO3)':40} {elapsed * 1e3:10.2f} ms, {trials} trial points, "
          f"T = {engine.temperature:.4f} K")
    print(f"ratio map_temp/hand loop = {member / hand:.2f}")


if __name__ == "__main__":
    main()
