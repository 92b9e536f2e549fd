"""The runtime for analysis code: a virtual environment with pip, and code execution with its
printed output captured."""

import ast as ast
import os as os
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import venv as venv
from collections.abc import Iterable
from io import StringIO as StringIO

# Directory of the analysis environment; set by initialize_environment.
env_path: str | None
# Its interpreter, env_path/bin/python; set by ensure_virtual_environment.
python_executable: str | None
media_path: str | None

class InstallationError(RuntimeError):
    """pip could not install one or more packages."""

    # (package, exit status) pairs in installation order.
    failures: list[tuple[str, int]]

def initialize_environment(env_path_param: str) -> None:
    """Uses ``env_path_param`` as the environment, creating it (with the default analysis
    packages) when the directory does not exist."""

def ensure_virtual_environment() -> None: ...
def install_defaults() -> None:
    """Installs matplotlib, scikit-learn, numpy, statsmodels, pandas and scipy."""

def safe_install_modules(module_names: Iterable[str]) -> None:
    """Installs the packages with pip; an error is printed, not raised."""

def install_dependencies(dependencies: Iterable[str]) -> None:
    """Runs ``pip install`` once per package in the environment's interpreter; raises
    InstallationError naming every package pip failed on."""

def execute_code(code: str) -> str:
    """Runs ``code`` in this module's namespace and returns what it printed."""
