"""A recording engine for the entity classes: any object with the engine's methods serves them.

Each routine method records ``(name, *args)`` in ``calls`` and answers what the test scripted in
``answers``: a plain value, or a callable that is given the call's arguments.
"""

ROUTINES = """
    tqgnsc tqcnsc tqstsc tqgetr tqinp tqgnp tqmodl tqgsp tqcsp tqnopc tqnosl tqinpc tqlpar
    tqgpar tqcdat tqgnpc tqstpc tqpcis tqgspc tqcspc tqgdpc tqgdat tqnolc tqgnlc tqinlc tqgtlc
    tqgio tqcio
""".split()


class RecordingEngine:
    """An engine double that records every routine call in order."""

    def __init__(self, **answers):
        self.calls = []
        self.answers = answers
        self.last_error = 0

    def answer(self, name, args):
        self.calls.append((name, *args))
        answer = self.answers.get(name)
        return answer(*args) if callable(answer) else answer

    def names(self):
        return [call[0] for call in self.calls]


def _routine(name):
    def method(self, *args):
        return self.answer(name, args)

    method.__name__ = name
    return method


for _name in ROUTINES:
    setattr(RecordingEngine, _name, _routine(_name))


def by_args(table, default=None):
    """An answer looked up by the call's arguments."""
    return lambda *args: table.get(args, default)


def run_script(script, timeout=120):
    """Runs `script` in a fresh interpreter that finds the package and the test helpers; returns
    the finished process (a crash shows as a negative return code)."""
    import os
    import subprocess
    import sys
    import textwrap
    from pathlib import Path

    here = str(Path(__file__).resolve().parent)
    search = [here, os.environ.get("PYTHONPATH", "")]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in search if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=environment,
                          capture_output=True, text=True, timeout=timeout)
