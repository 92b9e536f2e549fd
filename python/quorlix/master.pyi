"""Start-up entry points for the analysis runtime; failures are printed, not raised."""

from collections.abc import Iterable

from quorlix.codebench import InstallationError as InstallationError
from quorlix.codebench import StringIO as StringIO
from quorlix.codebench import ast as ast
from quorlix.codebench import ensure_virtual_environment as ensure_virtual_environment
from quorlix.codebench import env_path as env_path
from quorlix.codebench import execute_code as execute_code
from quorlix.codebench import initialize_environment as initialize_environment
from quorlix.codebench import install_defaults as install_defaults
from quorlix.codebench import install_dependencies as install_dependencies
from quorlix.codebench import media_path as media_path
from quorlix.codebench import os as os
from quorlix.codebench import python_executable as python_executable
from quorlix.codebench import subprocess as subprocess
from quorlix.codebench import sys as sys
from quorlix.codebench import tempfile as tempfile
from quorlix.codebench import venv as venv

def initialize_env(env_path: str) -> None:
    """Prepares the analysis environment at ``env_path``."""

def safe_install_modules(module_names: Iterable[str]) -> None:
    """Calls install_dependencies with a list of module names and handles any errors."""
