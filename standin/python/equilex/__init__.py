"""Stand-in of the Python binding of the Equilex library (see ``equilex.basic``)."""
