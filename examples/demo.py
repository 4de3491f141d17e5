"""Construct an engine on the Equilex library, report what it is, load a data-file
and list the loaded system.

The library is found through PATH (`make demo` puts the stand-in's directory there).
"""

import os
import sys
import tempfile
from pathlib import Path

from equilexproxy.entities import Phase
from equilexproxy.raw import EquilexProxy

HERE = Path(__file__).resolve().parent
DATAFILE = HERE.parent / "data" / "limestone.dat"
STRUCTURE = HERE.parent / "data" / "structure.dat"


def load(engine, datafile):
    """Loads a sample data-file: True, or the demo's exit status when it cannot."""
    if not datafile.is_file():
        print("no sample data-file at", datafile)
        return 0
    engine.load_datafile(str(datafile))
    if engine.last_error:
        print("loading", datafile.name, "failed:", engine.last_error_message)
        return 1
    return True


def main():
    logdir = tempfile.mkdtemp(prefix="equilex-demo-")
    engine = EquilexProxy("libequilex.so", logfile=os.path.join(logdir, "demo.log"))
    print("library version:", engine.version)
    print("array sizes:", engine.dimensions_max)
    print("language:", engine.language)
    print("log file:", engine.logfile)

    loaded = load(engine, DATAFILE)
    if loaded is not True:
        return loaded
    print(f"\nloaded {DATAFILE.name}: sizes in use {engine.dimensions}")
    print("system components:")
    for index in range(1, engine.number_components + 1):
        molar_mass, _ = engine.tqstsc(index)
        print(f"  {index}: {engine.tqgnsc(index):<24} {molar_mass:10.4f} g/mol")
    print("phases:")
    for index in range(1, engine.number_phases + 1):
        print(f"  {index}: {engine.tqgnp(index):<24} {engine.tqmodl(index):<6} {engine.tqgsp(index)}")
        for constituent in range(1, engine.tqnopc(index) + 1):
            print(f"       {engine.tqgnpc(index, constituent)}")
    return list_structure_entities(engine)


def list_structure_entities(engine):
    """The structural sample as entity objects: each phase with its constituents, sublattices
    and species, and its excess interactions with species names in place of their numbers."""
    loaded = load(engine, STRUCTURE)
    if loaded is not True:
        return loaded
    print(f"\n{STRUCTURE.name} as entities:")
    for phase in (Phase(index, engine) for index in range(1, engine.number_phases + 1)):
        print(phase)
        for constituent in phase.constituents:
            print("   ", constituent)
        for sublattice in phase.sublattices:
            names = " ".join(species.name for species in sublattice.species)
            print(f"    {sublattice}: {names}")
        for indexx, (text, expanded) in enumerate(
                zip(phase.interactions_g(), phase.interactions_g_expanded()), start=1):
            print(f"    G {text:32} {expanded:28} L0 = {phase.get_parameter_gex(indexx)}")
        for text, parameters in phase.interactions_m.items():
            for parameter in parameters:
                print(f"    M {text:32} {parameter}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
