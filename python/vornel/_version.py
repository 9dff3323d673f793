"""The package's version, defined here and nowhere else."""

__version__ = "0.3.0"
