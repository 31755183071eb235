"""Subclasses of Omitter and NoTrustOmitter that the tests and the isolated
scripts share: plain ones (and a tuple subclass) for pickling, overrides
that go through Python code, and instances whose __dict__ is hostile to
pickling."""

from helpers import Boom
from zentrove.omit import NoTrustOmitter, Omitter


class SubOmitter(Omitter):
    pass


class SubNoTrust(NoTrustOmitter):
    pass


class TupleSub(tuple):
    pass


class Plain(Omitter):
    """A subclass that overrides nothing: its walks go through the override rule."""


class WithDict(NoTrustOmitter):
    pass


class Overriding(Omitter):
    """Every nested container goes through Python code and back."""

    def omit(self, target):
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


class Fresh(Omitter):
    """Replaces every nested dict by a new empty one: the walk then stores
    the result and releases the old dict."""

    def omit(self, target):
        return {}


class DictAttributeError(Omitter):
    @property
    def __dict__(self):
        raise AttributeError("no dict")


class DictRaises(Omitter):
    @property
    def __dict__(self):
        raise Boom("__dict__")


class RaisingUpdate(dict):
    def update(self, other):
        raise Boom("update")


class UpdateRaises(Omitter):
    """Its __dict__ is an object whose update raises."""

    @property
    def __dict__(self):
        return RaisingUpdate()


class ListAsDict(Omitter):
    """Its __dict__ has no update."""

    @property
    def __dict__(self):
        return ["not", "a", "dict"]


class GetattributeRaises(Omitter):
    def __getattribute__(self, name):
        if name == "__dict__":
            raise Boom("getattribute")
        return super().__getattribute__(name)
