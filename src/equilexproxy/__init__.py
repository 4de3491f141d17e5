"""Python access to the Equilex thermochemical equilibrium library.

Modules: ``raw`` (the engine ``EquilexProxy``), ``entities`` (objects over an
engine) and ``custom`` (calculations built from engine calls).
"""
