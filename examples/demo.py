"""Construct an engine on the Equilex library, report what it is, load a data-file
and list the loaded system; show a second system as entity objects (phases with their
constituents, sublattices and interactions); then calculate: the temperature at which
limestone decomposes, a temperature map of it, and the search for the temperature at
which CaCO3 forms, next to the phase target's answer.

The library is found through PATH (`make demo` puts the stand-in's directory there).
"""

import os
import sys
import tempfile
from pathlib import Path

from equilexproxy import custom
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
    status = list_structure_entities(engine)
    return status or limestone_decomposition(engine) or formation_temperature(engine)


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


def limestone_decomposition(engine):
    """CaCO3 = CaO + CO2: the temperature at which calcite forms from lime and CO2 at 1 bar (a
    formation target: calcite at activity 1 and amount 0), then a temperature map of 1 mol of
    calcite from 300 K to 2000 K as a table of the stable phases and their amounts."""
    loaded = load(engine, DATAFILE)
    if loaded is not True:
        return loaded
    gas, calcite, lime = (engine.tqinp(name) for name in ("GAS", "CaCO3", "CaO"))
    engine.tqsetc("P", 0, 0, 1.0)
    engine.tqsetc("IA", lime, 1, 1.0)
    engine.tqsetc("IA", gas, engine.tqinpc(gas, "CO2"), 1.0)
    engine.set_phase_target(calcite, 0.0)
    engine.calc_Ttarget(estimate=(1000.0, 0.0))
    if engine.last_error:
        print("the decomposition temperature was not found:", engine.last_error_message)
        return 1
    print(f"\nlimestone decomposes at 1 bar CO2 at {engine.temperature:.2f} K")

    engine.tqremc(-2)
    engine.tqsetc("P", 0, 0, 1.0)
    engine.tqsetc("IA", calcite, 1, 1.0)
    phases = range(1, engine.number_phases + 1)
    names = [engine.tqgnp(phase) for phase in phases]
    outvars = [("T", 0, 0)] + [("A", phase, 0) for phase in phases]
    outvars += [("AC", phase, 0) for phase in phases]
    steps = engine.map_temp(300.0, 2000.0, outvars)
    if engine.last_error:
        print("the temperature map failed:", engine.last_error_message)
        return 1
    print("temperature map of 1 mol CaCO3 at 1 bar (amounts in mol):")
    print(f"  {'T/K':>9}  {'stable phases':<20}" + "".join(f"{name:>12}" for name in names))
    for step, temperature in enumerate(steps[("T", 0, 0)]):
        stable = [name for phase, name in zip(phases, names)
                  if steps[("AC", phase, 0)][step] >= 0.9999]
        amounts = "".join(f"{steps[('A', phase, 0)][step]:12.6f}" for phase in phases)
        print(f"  {temperature:9.2f}  {' + '.join(stable):<20}{amounts}")
    return 0


def formation_temperature(engine):
    """The temperature at which CaCO3 forms from lime and CO2 at 1 bar, found twice: by the
    formation-temperature search of module custom and by a target calculation in which CaO is
    the phase that just forms."""
    loaded = load(engine, DATAFILE)
    if loaded is not True:
        return loaded
    print(f"\n{DATAFILE.name}: 1 mol CaCO3 at 1 bar, where does it form from CaO and CO2?")

    def one_mole_of_calcite():
        engine.remove_all()
        for component, amount in (("Ca", 1.0), ("C", 1.0), ("O", 3.0)):
            engine.set_amount_syscomp(component, amount)
        engine.set_global_P(1.0)

    one_mole_of_calcite()
    custom.ce_formation_binary_t(engine, engine.tqinp("CaCO3"))  # 300 to 3000 K
    searched = engine.temperature
    one_mole_of_calcite()
    engine.set_global_T(1000.0)
    engine.set_phase_target("CaO", 0.0)
    engine.calc_Ttarget(estimate=(1000.0, 0))
    if engine.last_error:
        print("the target calculation failed:", engine.last_error_message)
        return 1
    print(f"formation-temperature search: {searched:.3f} {engine.unitT}")
    print(f"CaO phase target:             {engine.temperature:.3f} {engine.unitT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
