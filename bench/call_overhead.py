"""What one routine call costs through the engine, against a bare ctypes call of the
same routine on the same library: tqvers (an int out), tqgnsc(1) (a name out, on
a loaded system) and tqgetr("T", 0, 0) (a text, two indices and a double out, after
an equilibrium calculation where the library can make one).

Prints the per-call times and the tqgnsc and tqgetr ratios, then as its last line the
ratio of the library road's tqvers to the bare ctypes call.
"""

import ctypes
import os
import sys
import timeit
from pathlib import Path

from equilexproxy import raw
from equilexproxy.raw import EquilexProxy

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("EQX_BUILD", REPO / "build"))
DATAFILE = REPO / "data" / "limestone.dat"
LIBRARY = str(BUILD / "standin" / "libequilex.so")
NUMBER = 200_000
REPEAT = 7


def per_call(statement, namespace):
    """Best of REPEAT runs, in nanoseconds per call."""
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def time_results(engine, namespace, times):
    """Times tqgetr("T", 0, 0) after a calculation on the loaded sample; returns the ratio to
    the bare ctypes call and the error number the library reports for it (0: none)."""
    for component in range(1, engine.tqnosc() + 1):
        engine.tqsetc("IA", 0, component, 1.0)
    engine.tqsetc("T", 0, 0, 1200.0)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    engine.last_error = 0
    engine.tqgetr("T", 0, 0)
    error = engine.last_error
    namespace.update(option=b"T", zero=ctypes.c_int(0), value=ctypes.c_double(0.0))
    engine_label = 'engine.tqgetr("T", 0, 0) (library road)'
    bare_label = 'lib.TQGETR(b"T", 1, byref(0), byref(0), byref(v), byref(e))'
    times[engine_label] = per_call('engine.tqgetr("T", 0, 0)', namespace)
    times[bare_label] = per_call(
        "lib.TQGETR(option, 1, byref(zero), byref(zero), byref(value), byref(error))", namespace)
    return times[engine_label] / times[bare_label], error


def main():
    engine = EquilexProxy(LIBRARY)
    engine.tqini()
    lib = engine.lib
    version, error = ctypes.c_int(0), ctypes.c_int(0)
    byref = ctypes.byref
    namespace = {"engine": engine, "lib": lib, "version": version, "error": error, "byref": byref}

    # The first timings of a fresh process run slow (caches, clock); this one is not kept.
    per_call("engine.tqvers(); lib.TQVERS(byref(version), byref(error))", namespace)
    times = {
        "engine.tqvers() (library road)": per_call("engine.tqvers()", namespace),
        "lib.TQVERS(byref(v), byref(e)) (bare ctypes)": per_call(
            "lib.TQVERS(byref(version), byref(error))", namespace),
    }

    engine.load_datafile(str(DATAFILE))
    name_ratio = None
    if engine.last_error == 0 and engine.tqgnsc(1):
        namespace.update(index=ctypes.c_int(1), name=ctypes.create_string_buffer(25))
        times["engine.tqgnsc(1) (library road)"] = per_call("engine.tqgnsc(1)", namespace)
        times["lib.TQGNSC(byref(i), buf, 25, byref(e)) (bare ctypes)"] = per_call(
            "lib.TQGNSC(byref(index), name, 25, byref(error))", namespace)
        name_ratio = (times["engine.tqgnsc(1) (library road)"]
                      / times["lib.TQGNSC(byref(i), buf, 25, byref(e)) (bare ctypes)"])

    result_ratio, result_error = time_results(engine, namespace, times)

    sys.path.insert(0, str(REPO / "standin" / "python"))
    os.environ.setdefault("EQUILEX_LIBRARY", LIBRARY)
    try:
        import equilex.basic as basic
    except ImportError as exc:  # the basic road is optional
        print("basic road not timed:", exc)
    else:
        raw.eqb = basic
        basic_engine = EquilexProxy(LIBRARY, use_eqpy=True)
        times["engine.tqvers() (basic road)"] = per_call("basic_engine.tqvers()",
                                                         {"basic_engine": basic_engine})

    for label, nanoseconds in times.items():
        print(f"{label:62} {nanoseconds:9.1f} ns")
    if name_ratio is not None:
        print(f"ratio tqgnsc/ctypes = {name_ratio:.2f}")
    else:
        print("tqgnsc not timed: the sample data-file did not load")
    if result_error:
        print(f"tqgetr timed while the library reports error {result_error} for it")
    print(f"ratio tqgetr/ctypes = {result_ratio:.2f}")
    ratio = times["engine.tqvers() (library road)"] / times["lib.TQVERS(byref(v), byref(e)) (bare ctypes)"]
    print(f"ratio tqvers/ctypes = {ratio:.2f}")


if __name__ == "__main__":
    main()
