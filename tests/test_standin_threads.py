"""The stand-in library called from several threads at once.

ctypes releases the interpreter lock for the duration of a foreign call, so Python threads that
call the library through ctypes (the stand-in equilex.basic does) run inside it at the same time;
the library serialises its routines with one lock per loaded image. The races run in a fresh
interpreter over a private copy of the library: a crash there fails the test instead of ending
the test run, and the sanitizers see it.
"""

import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from test_standin_library import ROUTINES, make_arguments

STANDIN_PYTHON = Path(__file__).resolve().parents[1] / "standin" / "python"
SAMPLES = ["limestone", "water", "structure"]
FORMATS = {"dat": ("tqopna", "tqrfil"), "cst": ("tqopnt", "tqrcst"), "bin": ("tqopnb", "tqrbin")}

# The test hooks besides the 67 routines, with arguments for one call.
HOOKS = {
    "eqx_standin_set_padding": (0,),
    "eqx_standin_padding": (),
    "eqx_standin_report": (107,),
    "eqx_standin_reset": (),
    "eqx_standin_equilibria": (),
}


@pytest.fixture
def private_library(libequilex_path, tmp_path):
    """A copy of the library under a name of its own: an independent image with its own lock."""
    copy = tmp_path / "libequilex_threads.so"
    shutil.copyfile(libequilex_path, copy)
    return copy


def run_script(library, script, *arguments, timeout=300):
    """Runs script in a fresh interpreter with equilex.basic over `library`; its JSON output."""
    env = dict(os.environ, EQUILEX_LIBRARY=str(library), PYTHONPATH=str(STANDIN_PYTHON))
    done = subprocess.run(
        [sys.executable, "-c", script, *map(str, arguments)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, (
        f"ended with {signal.Signals(-done.returncode).name}" if done.returncode < 0 else ""
    ) + done.stderr[-3000:]
    return json.loads(done.stdout)


def test_every_routine_waits_while_another_thread_holds_the_library(private_library):
    dll = ctypes.CDLL(str(private_library))
    calls = {}
    for name, types in ROUTINES.items():
        arguments, _ = make_arguments(types, null_pointers=True)
        calls[name] = (getattr(dll, name), (*arguments, ctypes.byref(ctypes.c_int())))
    for name, arguments in HOOKS.items():
        calls[name] = (getattr(dll, name), arguments)
    finished = {name: threading.Event() for name in calls}

    def call(name):
        routine, arguments = calls[name]
        routine(*arguments)
        finished[name].set()

    threads = [threading.Thread(target=call, args=(name,)) for name in calls]
    dll.eqx_standin_hold_lock()
    try:
        for thread in threads:
            thread.start()
        # A routine that does not take the lock returns at once; one that does waits here.
        threading.Event().wait(0.3)
        early = sorted(name for name, event in finished.items() if event.is_set())
    finally:
        dll.eqx_standin_release_lock()
    for thread in threads:
        thread.join(timeout=30)
    assert early == []
    assert all(event.is_set() for event in finished.values()), "a routine never got the lock"


RACE_SCRIPT = r"""
import json, sys, threading
from equilex import basic as b

files = json.loads(sys.argv[1])
rounds = int(sys.argv[2])
READERS = 4

def load(path, fmt):
    opener, reader = {"dat": (b.tqopna, b.tqrfil), "cst": (b.tqopnt, b.tqrcst),
                      "bin": (b.tqopnb, b.tqrbin)}[fmt]
    opener(path, 10)
    reader()
    b.tqclos(10)

QUERIES = {
    "tqnosc": b.tqnosc,
    "tqnop": b.tqnop,
    "tqused": b.tqused,
    "tqgnsc": lambda: b.tqgnsc(0),
    "tqstsc": lambda: b.tqstsc(0),
    "tqgnp": lambda: b.tqgnp(0),
    "tqnopc": lambda: b.tqnopc(0),
    "tqstpc": lambda: b.tqstpc(0, 0),
}

def answer(name, value):
    if name == "tqstsc":  # the count of coefficients comes from a tqnosc call of its own
        mass, coefficients = value
        return [mass, coefficients[0], all(c == 0 for c in coefficients[1:])]
    if name == "tqstpc":
        coefficients, mass = value
        return [mass, len(coefficients) > 0]
    return value

# The answers of each system alone, one thread, nothing else running.
b.tqini()
alone = {name: set() for name in QUERIES}
for path, fmt in files:
    load(path, fmt)
    for name, query in QUERIES.items():
        alone[name].add(json.dumps(answer(name, query())))

seen = {name: set() for name in QUERIES}
failures = []
calls = [0] * READERS
done = threading.Event()

def reader(slot):
    while not done.is_set():
        for name, query in QUERIES.items():
            try:
                seen[name].add(json.dumps(answer(name, query())))
            except Exception as error:
                failures.append(f"{name}: {error!r}")
            calls[slot] += 1

def loader():
    try:
        for k in range(rounds):
            path, fmt = files[k % len(files)]
            load(path, fmt)
    except Exception as error:
        failures.append(f"load: {error!r}")
    finally:
        done.set()

threads = [threading.Thread(target=reader, args=(slot,)) for slot in range(READERS)]
threads.append(threading.Thread(target=loader))
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({
    "failures": failures[:20],
    "calls": calls,
    "unexplained": {name: sorted(seen[name] - alone[name]) for name in QUERIES},
    "variety": {name: len(alone[name]) for name in QUERIES},
}))
"""


def test_queries_from_several_threads_while_another_loads_data_files(
    private_library, sample_data_dir
):
    files = [(str(sample_data_dir / f"{name}.{fmt}"), fmt) for name in SAMPLES for fmt in FORMATS]
    result = run_script(private_library, RACE_SCRIPT, json.dumps(files), 300)
    assert result["failures"] == []
    # Every answer is one that some loaded system gives when nothing else runs: never a mix of
    # two systems, a half-read one or freed memory.
    assert result["unexplained"] == {name: [] for name in result["unexplained"]}
    assert all(count > 0 for count in result["calls"])
    assert result["variety"]["tqnosc"] == 3, "the samples differ in their component counts"


FORK_SCRIPT = r"""
import ctypes, json, os, sys, threading, time

dll = ctypes.CDLL(sys.argv[1])
path = sys.argv[2].encode()
error = ctypes.c_int()
unit = ctypes.c_int(10)
dll.TQINI(ctypes.byref(error))
done = threading.Event()

def loader():
    while not done.is_set():
        dll.TQOPNA(path, len(path), ctypes.byref(unit), ctypes.byref(error))
        dll.TQRFIL(ctypes.byref(error))
        dll.TQCLOS(ctypes.byref(unit), ctypes.byref(error))

thread = threading.Thread(target=loader)
thread.start()
outcomes = []
for _ in range(int(sys.argv[3])):
    child = os.fork()
    if child == 0:
        count = ctypes.c_int(-1)
        status = ctypes.c_int(-1)
        dll.TQNOSC(ctypes.byref(count), ctypes.byref(status))
        os._exit(0 if (status.value, count.value) in ((0, 3), (104, -1)) else 1)
    deadline = time.monotonic() + 10
    while True:
        finished, wait_status = os.waitpid(child, os.WNOHANG)
        if finished:
            outcomes.append(os.waitstatus_to_exitcode(wait_status))
            break
        if time.monotonic() > deadline:
            os.kill(child, 9)
            os.waitpid(child, 0)
            outcomes.append("hung")
            break
        time.sleep(0.001)
    if outcomes[-1] == "hung":
        break
done.set()
thread.join()
print(json.dumps(outcomes))
"""


def test_a_process_forked_while_another_thread_is_inside_the_library_can_call_it(
    private_library, sample_data_dir
):
    rounds = 40
    outcomes = run_script(
        private_library, FORK_SCRIPT, private_library, sample_data_dir / "limestone.dat", rounds
    )
    assert outcomes == [0] * rounds


# --- a fair lock -----------------------------------------------------------------------------

# A small harness of the scripts below: the library by ctypes, and the structure sample loaded
# with every component at 1 mol and 1500 K, where one TQCE takes about a millisecond.
CTYPES_PRELUDE = r"""
import ctypes, json, os, sys, threading, time

dll = ctypes.CDLL(os.environ["EQUILEX_LIBRARY"])
ref, c_int, c_double = ctypes.byref, ctypes.c_int, ctypes.c_double

def call(name, *arguments):
    error = c_int(-1)
    getattr(dll, name)(*arguments, ref(error))
    return error.value

def version():
    number = c_int(0)
    assert call("TQVERS", ref(number)) == 0
    return number.value

def load_structure(path):
    path = path.encode()
    assert call("TQINI") == 0
    assert call("TQOPNA", path, len(path), ref(c_int(10))) == 0
    assert call("TQRFIL") == 0
    assert call("TQCLOS", ref(c_int(10))) == 0
    count, number = c_int(0), c_int(0)
    assert call("TQNOSC", ref(count)) == 0
    for k in range(1, count.value + 1):
        assert call("TQSETC", b"IA", 2, ref(c_int(0)), ref(c_int(k)), ref(c_double(1.0)),
                    ref(number)) == 0
    assert call("TQSETC", b"T", 1, ref(c_int(0)), ref(c_int(0)), ref(c_double(1500.0)),
                ref(number)) == 0

VALS = (c_double * 2)()

def calculate():
    return call("TQCE", b" ", 1, ref(c_int(0)), ref(c_int(0)), VALS)
"""

FAIRNESS_SCRIPT = CTYPES_PRELUDE + r"""
load_structure(sys.argv[1])
busy_count, waits = int(sys.argv[2]), int(sys.argv[3])
finished = [0]  # calculations the busy threads have ended
errors = set()
stop = threading.Event()

def busy():
    while not stop.is_set():
        errors.add(calculate())
        finished[0] += 1

threads = [threading.Thread(target=busy) for _ in range(busy_count)]
for thread in threads:
    thread.start()
while finished[0] < 3 * busy_count:
    time.sleep(0.001)
# How many calculations ended while one short routine waited for the library: a count, not a
# time, so a slow or loaded machine does not change it.
passed = []
for _ in range(waits):
    before = finished[0]
    version()
    passed.append(finished[0] - before)
    time.sleep(0.001)
stop.set()
for thread in threads:
    thread.join()
print(json.dumps({"passed": passed, "finished": finished[0], "errors": sorted(errors)}))
"""


@pytest.mark.parametrize("busy_threads", [1, 2])
def test_a_routine_waits_for_only_a_few_calls_of_threads_that_call_back_to_back(
    private_library, sample_data_dir, busy_threads
):
    # A thread that lets go of the lock and asks at once again must not get it before the
    # thread already waiting: each busy thread runs at most one calculation ahead of the waiter
    # (and one more may be counted late), where a lock that favours the thread that just let go
    # keeps the waiter behind hundreds.
    waits = 60
    result = run_script(
        private_library, FAIRNESS_SCRIPT, sample_data_dir / "structure.dat", busy_threads, waits
    )
    assert result["errors"] == [0]
    assert result["finished"] >= waits, "the busy threads kept the library busy throughout"
    assert max(result["passed"]) <= 2 * busy_threads + 6, sorted(result["passed"])[-10:]


HOLD_SCRIPT = CTYPES_PRELUDE + r"""
def started(target):
    thread = threading.Thread(target=target)
    thread.start()
    return thread

steps = {}
dll.eqx_standin_hold_lock()
dll.eqx_standin_hold_lock()  # taken twice: it takes two releases
steps["holder calls a routine"] = version()  # the holder takes its own lock again
waiter = started(version)
time.sleep(0.2)
steps["waits while held"] = waiter.is_alive()
started(dll.eqx_standin_release_lock).join()  # a thread that does not hold it
time.sleep(0.2)
steps["a stranger's release changes nothing"] = waiter.is_alive()
dll.eqx_standin_release_lock()
time.sleep(0.2)
steps["waits while held once"] = waiter.is_alive()

# A fork while this thread holds the lock and another waits for it: the child holds it too,
# can call routines, and lets go of it.
child = os.fork()
if child == 0:
    fine = version() == 634
    dll.eqx_standin_release_lock()
    dll.eqx_standin_release_lock()  # one release too many changes nothing
    fine = fine and version() == 634 and started(version).join() is None
    os._exit(0 if fine else 1)
deadline = time.monotonic() + 20
while not os.waitpid(child, os.WNOHANG)[0]:
    if time.monotonic() > deadline:
        os.kill(child, 9)
        os.waitpid(child, 0)
        steps["child"] = "hung"
        break
    time.sleep(0.005)
else:
    steps["child"] = "ended"
steps["waits after the fork"] = waiter.is_alive()
dll.eqx_standin_release_lock()
waiter.join(timeout=20)
steps["goes on after the last release"] = not waiter.is_alive()
print(json.dumps(steps))
"""


def test_the_lock_is_reentrant_counts_its_takes_and_survives_a_fork_while_held(private_library):
    steps = run_script(private_library, HOLD_SCRIPT)
    assert steps == {
        "holder calls a routine": 634,
        "waits while held": True,
        "a stranger's release changes nothing": True,
        "waits while held once": True,
        "child": "ended",
        "waits after the fork": True,
        "goes on after the last release": True,
    }


EXIT_SCRIPT = CTYPES_PRELUDE + r"""
load_structure(sys.argv[1])
finished = [0]

def busy():
    while True:
        calculate()
        finished[0] += 1

threading.Thread(target=busy, daemon=True).start()
while finished[0] < 3:
    time.sleep(0.001)
print(json.dumps(finished[0] >= 3))
# The interpreter ends here while the thread is inside the library, or about to go in: the
# library's state is torn down only once its routine has ended, and none begins after.
"""


def test_the_process_exits_cleanly_while_another_thread_calls_the_library(
    private_library, sample_data_dir
):
    assert run_script(private_library, EXIT_SCRIPT, sample_data_dir / "structure.dat", timeout=60)
