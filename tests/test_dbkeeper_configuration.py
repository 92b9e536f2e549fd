"""set_database_config and check_db_config_variables on the module's live settings."""

import pytest

pytest_plugins = ["dbkeeper_support"]

NAMES = ("db_name", "db_user", "db_password", "db_host", "db_port")
MESSAGE = "All parameters must be provided and 'port' must be an integer."


@pytest.fixture
def settings(dbkeeper, monkeypatch):
    """The five settings, restored after the test whatever it changed."""
    for name in NAMES:
        monkeypatch.setattr(dbkeeper, name, getattr(dbkeeper, name))
    return dbkeeper


def current(module) -> tuple:
    return tuple(getattr(module, name) for name in NAMES)


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "arguments",
    [
        ("shop", "u", "p", "h", "5432"),
        ("shop", "u", "p", "h", 5432.0),
        ("shop", "u", "p", "h", None),
        (None, "u", "p", "h", 5432),
        ("shop", None, "p", "h", 5432),
        ("shop", "u", None, "h", 5432),
        ("shop", "u", "p", None, 5432),
        # None == value lets the value's own __eq__ answer
        ("shop", EqualsEverything(), "p", "h", 5432),
    ],
)
def test_refused_settings_change_nothing(settings, arguments):
    before = current(settings)
    with pytest.raises(ValueError) as raised:
        settings.set_database_config(*arguments)
    assert str(raised.value) == MESSAGE
    assert current(settings) == before


@pytest.mark.parametrize(
    "arguments",
    [
        ("shop", "u", "p", "h", 5432),
        ("", "", "", "", 0),
        ("shop", "u", "p", "h", True),
        ("shop", "u", "p", "h", 10**9),
    ],
)
def test_accepted_settings_are_stored_as_given(settings, capsys, arguments):
    name, user, password, host, port = arguments
    assert settings.set_database_config(name, user, password, host, port=port) is None
    stored = current(settings)
    assert stored == (name, user, password, host, port)
    assert all(kept is given for kept, given in zip(stored, arguments, strict=True))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    ("values", "invalid"),
    [
        (("shop", "u", "p", "h", 3306), []),
        (("", "", "", "", 0), ["db_name", "db_user", "db_password", "db_host"]),
        ((None, "null", "  ", None, None), ["db_name", "db_host", "db_port"]),
        (("shop", "u", "", "h", False), ["db_password"]),
    ],
)
def test_check_reports_none_and_empty_settings(settings, capsys, monkeypatch, values, invalid):
    for name, value in zip(NAMES, values, strict=True):
        monkeypatch.setattr(settings, name, value)
    first = settings.check_db_config_variables()
    second = settings.check_db_config_variables()
    assert first == invalid
    assert first is not second
    if invalid:
        line = "The following configuration variables are invalid: " + ", ".join(invalid)
    else:
        line = "All configuration variables are set correctly."
    assert capsys.readouterr().out == f"{line}\n" * 2


def test_check_sees_a_new_configuration(settings, capsys):
    settings.set_database_config("", "u", "p", "h", 1)
    assert settings.check_db_config_variables() == ["db_name"]
    settings.set_database_config("shop", "u", "p", "h", 1)
    assert settings.check_db_config_variables() == []
    assert settings.db_port == 1
