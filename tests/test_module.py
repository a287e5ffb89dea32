"""Module object, class registration and the one-interpreter rule."""
import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import tavrel
from tavrel import HTTPMETHOD, Tavrel, TavrelCollection

CLASSES = ["Tavrel", "TavrelCollection", "HTTPMETHOD"]


def _instances():
    return {
        "Tavrel": Tavrel("u", [], HTTPMETHOD.GET),
        "TavrelCollection": TavrelCollection(),
        "HTTPMETHOD": HTTPMETHOD.GET,
    }


class TestModuleObject:
    def test_surface(self):
        assert tavrel.__name__ == "tavrel"
        assert tavrel.__doc__ == ""
        assert tavrel.__all__ == CLASSES
        assert [getattr(tavrel, n).__name__ for n in CLASSES] == CLASSES
        assert not hasattr(tavrel, "PanicException")

    @pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
    def test_shared_library_exports_only_its_init_function(self):
        listed = subprocess.run(["nm", "-D", "--defined-only", tavrel.__file__],
                                capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in listed.splitlines()] == ["PyInit_tavrel"]

    def test_reimport_after_removal_gives_same_module(self):
        before = {n: getattr(tavrel, n) for n in CLASSES}
        saved = sys.modules.pop("tavrel")
        try:
            again = importlib.import_module("tavrel")
        finally:
            sys.modules["tavrel"] = saved
        assert again is saved
        assert again.__all__ == CLASSES
        assert all(getattr(again, n) is c for n, c in before.items())


class TestClassSurface:
    @pytest.mark.parametrize("name", CLASSES)
    def test_names(self, name):
        cls = getattr(tavrel, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
        assert repr(cls) == f"<class 'builtins.{name}'>"

    @pytest.mark.parametrize("name", ["Tavrel", "TavrelCollection"])
    def test_default_instance_repr(self, name):
        assert repr(_instances()[name]).startswith(f"<builtins.{name} object at 0x")

    @pytest.mark.parametrize("cls, signature, doc", [
        (Tavrel, "(url, headers, method, body=None)", ""),
        (TavrelCollection, "(collection=None)", ""),
        (HTTPMETHOD, None, None),
    ])
    def test_class_signature_and_doc(self, cls, signature, doc):
        assert cls.__text_signature__ == signature
        assert cls.__doc__ == doc
        if signature is not None:
            assert str(inspect.signature(cls)) == signature

    @pytest.mark.parametrize("method, signature", [
        (Tavrel.get_request_command, "($self)"),
        (TavrelCollection.add_request, "($self, tavrel)"),
        (TavrelCollection.get_collection, "($self)"),
        (TavrelCollection.export_collection, "($self)"),
    ])
    def test_method_signature_and_doc(self, method, signature):
        assert method.__text_signature__ == signature
        assert method.__doc__ is None

    @pytest.mark.parametrize("name", CLASSES)
    def test_not_subclassable(self, name):
        with pytest.raises(TypeError) as exc:
            type("Sub", (getattr(tavrel, name),), {})
        assert str(exc.value) == f"type 'builtins.{name}' is not an acceptable base type"

    @pytest.mark.parametrize("name", CLASSES)
    def test_instances_have_no_dict_or_weakref(self, name):
        obj = _instances()[name]
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError) as exc:
            weakref.ref(obj)
        assert str(exc.value) == f"cannot create weak reference to 'builtins.{name}' object"

    @pytest.mark.parametrize("name", CLASSES)
    def test_class_attributes_assignable(self, name):
        cls = getattr(tavrel, name)
        cls.extra = 1
        try:
            assert cls.extra == 1
        finally:
            del cls.extra
        assert not hasattr(cls, "extra")
