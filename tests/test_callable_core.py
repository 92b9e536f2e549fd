"""The C++ functions must be indistinguishable from Python functions to callers and to tools.

Each check compares a C++ function with a Python twin compiled from the C++ function's own
signature: whatever CPython says or reports for the twin, the C++ function must say too.
"""

import collections
import inspect
import sys
import types
import weakref

import pytest
from quorlix.querymesh import nodewright


def python_twin(function):
    """A Python function with the same signature, names and module, whose body does nothing."""
    signature = inspect.signature(function)
    plain = signature.replace(
        parameters=[
            p.replace(annotation=inspect.Parameter.empty) for p in signature.parameters.values()
        ],
        return_annotation=inspect.Signature.empty,
    )
    defaults = {
        p.name: p.default
        for p in signature.parameters.values()
        if p.default is not inspect.Parameter.empty
    }
    names = ", ".join(
        f"{p.name}=__defaults['{p.name}']" if p.name in defaults else str(p)
        for p in plain.parameters.values()
    )
    namespace = {"__defaults": defaults}
    exec(f"def {function.__name__}({names}): pass", namespace)
    twin = namespace[function.__name__]
    twin.__code__ = twin.__code__.replace(co_qualname=function.__qualname__)
    return twin


def error_text(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


CALL_SHAPES = [
    ((), {}),
    (({},), {}),
    (({}, 1), {}),
    (({}, 1, 2), {}),
    ((), {"inputs": {}}),
    (({},), {"inputs": {}}),
    ((), {"unknown": 1}),
    ((), {"inptus": {}}),
    (({},), {"unknown": 1}),
    ((), {"inputs": {}, "other": 2}),
]


@pytest.mark.parametrize(("args", "kwargs"), CALL_SHAPES)
def test_argument_errors_match_cpython_word_for_word(args, kwargs):
    function = nodewright.initialisation
    twin = python_twin(function)
    assert error_text(function, args, kwargs) == error_text(twin, args, kwargs)


def test_introspection_matches_a_python_function():
    function = nodewright.initialisation
    assert str(inspect.signature(function)) == "(inputs: dict) -> dict"
    assert function.__name__ == "initialisation"
    assert function.__qualname__ == "initialisation"
    assert function.__module__ == "quorlix.querymesh.nodewright"
    assert function.__annotations__ == {"inputs": dict, "return": dict}
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    assert function.__globals__ is vars(nodewright)
    assert callable(function) and not inspect.iscoroutinefunction(function)
    assert type(function).__name__ == "function"
    assert repr(function).startswith("<function initialisation at 0x")


def test_attributes_can_be_set_like_on_python_functions():
    function = nodewright.initialisation
    function.custom_marker = 42
    try:
        assert function.__dict__["custom_marker"] == 42
        assert weakref.ref(function)() is function
    finally:
        del function.custom_marker
    with pytest.raises(TypeError):
        function.__name__ = 3


@pytest.mark.parametrize(
    ("bad", "type_name"),
    [
        (None, "NoneType"),
        (collections.OrderedDict(), "collections.OrderedDict"),
        (type("Mapping", (dict,), {})(), "Mapping"),
        ([], "list"),
        ("text", "str"),
        (1, "int"),
    ],
)
def test_exact_dict_parameters_refuse_everything_but_dict(bad, type_name):
    with pytest.raises(TypeError) as refused:
        nodewright.initialisation(bad)
    assert str(refused.value) == (
        f"Argument 'inputs' has incorrect type (expected dict, got {type_name})"
    )


def test_a_function_on_a_class_binds_as_a_method():
    holder = type("Holder", (), {"init": nodewright.initialisation})
    # Stored on a class, the function receives the instance as its first argument, as a
    # Python function would; here the instance is not a dict, so the exact check refuses it.
    instance = holder()
    bound = instance.init
    assert isinstance(bound, types.MethodType) and bound.__self__ is instance
    assert str(inspect.signature(bound)) == "() -> dict"
    with pytest.raises(TypeError, match="expected dict, got Holder"):
        bound()
    assert holder.init is nodewright.initialisation


def test_module_is_registered_while_its_body_runs():
    # Classes created by the node module resolve their module through sys.modules, which only
    # works because the module is there while its body runs.
    assert sys.modules[nodewright.RelevantTablesOutput.__module__] is nodewright


def test_an_error_raised_by_a_module_body_propagates_unchanged(tmp_path):
    import subprocess

    code = (
        "import os, sys\n"
        "try:\n"
        "    import quorlix.querymesh.nodewright\n"
        "except Exception as error:\n"
        "    print(type(error).__module__, type(error).__name__)\n"
    )
    env = dict(**__import__("os").environ, QUORLIX_CONTEXT_FILE=str(tmp_path / "absent.toml"))
    env["PYTHONPATH"] = ":".join(sys.path)
    result = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert result.stdout.strip() == "quorlix.prompts.context ContextFileError", result.stderr
