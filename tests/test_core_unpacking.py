"""The core's `f(*args, **keywords, **mapping)` merges and fails exactly as the interpreter's."""

import collections
import functools

import pytest
import quorlix._qx_probe as probe


def target(*args, **kwargs):
    return args, kwargs


class KeysMapping:
    """A mapping by protocol only: keys() and [] (the interpreter's generic merge path)."""

    def __init__(self, items):
        self.items = dict(items)

    def keys(self):
        return list(self.items)

    def __getitem__(self, key):
        return self.items[key]


class DictWithOtherKeys(dict):
    """keys() is ignored by the merge while dict's own iteration is kept."""

    def keys(self):
        return ["ignored"]


class FailingLookup(KeysMapping):
    def __getitem__(self, key):
        raise KeyError("from __getitem__")


class NotAMappingAfterAll(KeysMapping):
    def keys(self):
        raise AttributeError("keys went missing")


CASES = [
    pytest.param(target, {"a": 1}, {"b": 2}, id="disjoint"),
    pytest.param(target, {"a": 1}, {"a": 2}, id="repeated key"),
    pytest.param(target, {}, KeysMapping({"x": 1}), id="keys protocol"),
    pytest.param(target, {"x": 0}, KeysMapping({"x": 1}), id="keys protocol repeated"),
    pytest.param(target, {}, DictWithOtherKeys(y=1), id="dict subclass keeps dict iteration"),
    pytest.param(target, {}, [("a", 1)], id="not a mapping"),
    pytest.param(target, {}, 7, id="an int"),
    pytest.param(target, {}, FailingLookup({"k": 1}), id="KeyError inside __getitem__"),
    pytest.param(target, {}, NotAMappingAfterAll({}), id="AttributeError inside keys"),
    pytest.param(len, {"a": 1}, {"a": 2}, id="builtin callable"),
    pytest.param(functools.partial(target), {"a": 1}, {"a": 2}, id="callable without qualname"),
    pytest.param(collections.OrderedDict, {}, {1: 2}, id="non-text key"),
]


def outcome(action):
    try:
        return "returned", action()
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize(("callable_", "keywords", "mapping"), CASES)
def test_unpacking_call_matches_the_interpreter(callable_, keywords, mapping):
    expected = outcome(lambda: callable_(1, **keywords, **mapping))
    assert (
        outcome(lambda: probe.call_unpacking(callable_, (1,), dict(keywords), mapping)) == expected
    )
