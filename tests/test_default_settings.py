"""Django's default settings per minor, and settings objects as mappings."""
import importlib.util
from pathlib import Path
from types import SimpleNamespace

import pytest
from django.conf import global_settings

from vettor.staticanalysis import dependencies, library_default_settings
from vettor.staticanalysis.library_default_settings import (
    django_1_11,
    django_2_0,
    django_2_1,
    django_2_2,
    django_3_0,
    django_3_1,
    django_3_2,
)

MEMBERS = [django_1_11, django_2_0, django_2_1, django_2_2, django_3_0, django_3_1, django_3_2]
ROOT = Path(__file__).resolve().parent.parent


def test_mapping_from_each_minor_to_its_settings():
    mapping = dependencies.DJANGO_SETTINGS_MAPPING
    assert list(mapping) == dependencies.versions
    assert all(key is version for key, version in zip(mapping, dependencies.versions))
    assert list(mapping.values()) == MEMBERS
    assert dependencies.django_2_2 is django_2_2


@pytest.mark.parametrize(
    "version, member",
    [("1.11", django_1_11), ("2.2", django_2_2), ("3.2", django_3_2), ("4.0", django_3_2),
     ("3.2.5", django_3_2), (None, django_3_2), ("", django_3_2)],
)
def test_get_default_django_settings(version, member):
    assert dependencies.get_default_django_settings(version) is member
    assert dependencies.get_default_django_settings(version=version) is member


def test_module_to_dict_keeps_upper_case_public_names():
    settings = SimpleNamespace(ALLOWED_HOSTS=["*"], SECRET_KEY="x", X1=1, _PRIVATE=2, Path=Path, lower=3)
    setattr(settings, "123", 4)
    assert dependencies.module_to_dict(settings) == {"ALLOWED_HOSTS": ["*"], "SECRET_KEY": "x", "X1": 1}
    assert list(dependencies.module_to_dict(settings)) == ["ALLOWED_HOSTS", "SECRET_KEY", "X1"]


def test_module_to_dict_with_its_own_test():
    settings = SimpleNamespace(B=1, a=2)
    everything = dependencies.module_to_dict(settings, lambda name: False)
    assert list(everything) == dir(settings)
    assert "__class__" in everything and everything["a"] == 2
    assert dependencies.module_to_dict(module=settings, omittable=lambda name: name != "a") == {"a": 2}


def test_module_to_dict_lets_errors_through():
    class Broken:
        @property
        def BROKEN(self):
            raise RuntimeError("unreadable")

    with pytest.raises(RuntimeError):
        dependencies.module_to_dict(Broken())


def test_the_package_offers_the_seven_members():
    assert library_default_settings.__all__ == [m.__name__.rsplit(".", 1)[1] for m in MEMBERS]


def test_3_2_defaults_are_the_installed_django_3_2_defaults():
    # The pinned Django is a 3.2 release: its own global_settings must agree with our data.
    assert dependencies.module_to_dict(django_3_2) == dependencies.module_to_dict(global_settings)


@pytest.mark.parametrize("member", MEMBERS)
def test_each_minor_holds_real_settings(member):
    settings = dependencies.module_to_dict(member)
    assert len(settings) > 130
    assert settings["SESSION_COOKIE_AGE"] == 60 * 60 * 24 * 7 * 2
    assert settings["MANAGERS"] == settings["ADMINS"] == []
    assert ("en", "English") in settings["LANGUAGES"]
    assert settings["STATIC_URL"] is None and "ROOT_URLCONF" not in settings


@pytest.mark.parametrize(
    "member, present, absent",
    [
        (django_1_11, ["MIDDLEWARE_CLASSES"], ["DEFAULT_AUTO_FIELD", "SECURE_REFERRER_POLICY"]),
        (django_2_0, [], ["MIDDLEWARE_CLASSES"]),
        (django_3_0, ["SECURE_REFERRER_POLICY"], ["DEFAULT_HASHING_ALGORITHM"]),
        (django_3_1, ["DEFAULT_HASHING_ALGORITHM", "PASSWORD_RESET_TIMEOUT"], ["DEFAULT_AUTO_FIELD"]),
        (django_3_2, ["DEFAULT_AUTO_FIELD"], []),
    ],
)
def test_settings_differ_between_minors(member, present, absent):
    names = set(dependencies.module_to_dict(member))
    assert set(present) <= names
    assert not set(absent) & names


def test_middleware_defaults_follow_the_releases():
    assert django_1_11.MIDDLEWARE is None
    assert django_2_0.MIDDLEWARE == []
    assert django_3_0.X_FRAME_OPTIONS == "DENY" and django_2_2.X_FRAME_OPTIONS == "SAMEORIGIN"


def load_generator():
    spec = importlib.util.spec_from_file_location("generate_default_settings", ROOT / "tools/generate_default_settings.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_generator_reduces_settings_to_literals():
    generator = load_generator()
    source = (
        "from django.utils.translation import gettext_noop\n"
        "def gettext_noop(s):\n    return s\n"
        "DEBUG = False\n"
        "LANGUAGES = [('en', gettext_noop('English'))]\n"
        "ADMINS = [('a', 'a@example.com')]\n"
        "MANAGERS = ADMINS\n"
        "SESSION_COOKIE_AGE = 60 * 60 * 24\n"
        "OFFSET = -5\n"
        "lower_case = 1\n"
        "A = B = {'x': (1, None)}\n"
    )
    settings = generator.read_default_settings(source)
    assert settings == {
        "DEBUG": False,
        "LANGUAGES": [("en", "English")],
        "ADMINS": [("a", "a@example.com")],
        "MANAGERS": [("a", "a@example.com")],
        "SESSION_COOKIE_AGE": 86400,
        "OFFSET": -5,
        "A": {"x": (1, None)},
        "B": {"x": (1, None)},
    }
    assert settings["MANAGERS"] is not settings["ADMINS"]
    with pytest.raises(SystemExit, match="NOW"):
        generator.read_default_settings("import time\nNOW = time.time()\n")
