"""The walk in plain Python, with zentrove's rules: the model that
tests/test_model.py holds zentrove.omit to, and the pure-Python walk that the
benchmarks time (what a user would write instead of the native module).

Same decisions as `zentrove.omit.Omitter` / `NoTrustOmitter`:

* membership is list containment (`key in keys`: identity or equality, in
  list order, no hashing);
* in a dict, numbers (bool by isinstance, int/float/complex and their
  subclasses) stay; a string is masked when its key is hidden; a dict is
  walked whatever its key; a list is walked with ``do`` = the key's answer;
* the key of a string or list value must be exactly str or None, a value to
  mask exactly str, a nested dict or list exactly dict or list, with the
  module's TypeError messages;
* in a list, dicts and lists are walked, strings masked only when ``do``;
* the dict walk notices a change of size (the dict iterator does that), the
  list walk takes the length once and fails if the list got shorter;
* masks are ``"*" * len(value)``; containers change in place and are
  returned.

Exact built-in types are tried first: their ``__class__`` cannot differ from
their type, so the order of the tests does not matter for them.  Anything
else goes through the rules in their stated order.  Overrides of ``omit`` /
``omit_recurse`` in subclasses are not modelled.
"""

from __future__ import annotations

_NUMBERS = (int, float, complex)
_NONE = type(None)
_SKIP = frozenset({int, float, bool, _NONE, bytes, tuple})


_HEAPTYPE = 1 << 9


def _type_name(tp: type) -> str:
    """The interpreter's own name of a type (tp_name): the bare name for
    classes made at run time, the dotted name for static C types."""
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def _expected(what: str, obj) -> TypeError:
    return TypeError(f"Expected {what}, got {_type_name(type(obj))[:200]}")


def _check_key(key) -> None:
    if key is not None and type(key) is not str:
        raise _expected("unicode", key)


class PyOmitter:
    """Deny-list walk: a key is hidden when it is on `omissions`."""

    _deny = True

    def __init__(self, keys=None):
        self.keys = list(keys or ())

    def should_hide(self, key) -> bool:
        return (key in self.keys) is self._deny

    def omit(self, target: dict | None) -> dict | None:
        if target is None:
            raise AttributeError("'NoneType' object has no attribute 'items'")
        keys = self.keys
        deny = self._deny
        for key, value in target.items():
            tp = type(value)
            if tp is str:
                if key is not None and type(key) is not str:
                    raise _expected("unicode", key)
                if (key in keys) is deny:
                    target[key] = "*" * len(value)
            elif tp is dict:
                target[key] = self.omit(value)
            elif tp is list:
                if key is not None and type(key) is not str:
                    raise _expected("unicode", key)
                target[key] = self.omit_recurse(value, (key in keys) is deny)
            elif tp in _SKIP:
                continue
            else:
                self._other(target, key, value)
        return target

    def _other(self, target: dict, key, value) -> None:
        # The rules in their stated order, for everything that is not an
        # exact built-in type.
        tp = type(value)
        if isinstance(value, bool) or issubclass(tp, _NUMBERS):
            return
        if issubclass(tp, str):
            _check_key(key)
            if not self.should_hide(key):
                return
            if tp is not str:
                raise _expected("unicode", value)
            target[key] = "*" * len(value)
        elif issubclass(tp, dict):
            if tp is not dict:
                raise _expected("dict", value)
            target[key] = self.omit(value)
        elif issubclass(tp, list):
            _check_key(key)
            hide = self.should_hide(key)
            if tp is not list:
                raise _expected("list", value)
            target[key] = self.omit_recurse(value, hide)

    def omit_recurse(self, target: list | None, do=1) -> list | None:
        if target is None:
            raise TypeError("object of type 'NoneType' has no len()")
        do = bool(do)
        for i in range(len(target)):
            if i >= len(target):
                raise RuntimeError("list changed size during iteration")
            item = target[i]
            tp = type(item)
            if tp is str:
                if do:
                    target[i] = "*" * len(item)
            elif tp is dict:
                target[i] = self.omit(item)
            elif tp is list:
                target[i] = self.omit_recurse(item, do)
            elif tp in _SKIP:
                continue
            elif issubclass(tp, dict):
                raise _expected("dict", item)
            elif issubclass(tp, list):
                raise _expected("list", item)
            elif do and issubclass(tp, str):
                raise _expected("unicode", item)
        return target


class PyNoTrustOmitter(PyOmitter):
    """Allow-list walk: a key is hidden unless it is on `trusted`."""

    _deny = False

    def __init__(self, keys=None):
        # Stored as the native type stores it: once each, in the order of a
        # set built from the keys.
        self.keys = list(set(keys or ()))
