"""A pure-Python model of zentrove.Redactor's rules, for property tests."""

SEPARATORS = str.maketrans("", "", "_-. ")


def fold(key):
    """A key as people write it: case folded, separators dropped."""
    return key.casefold().translate(SEPARATORS)


class Model:
    def __init__(self, omit=None, trust=None, exact=False, contains=(), mask=None,
                 scalars=False):
        self.allow = trust is not None
        norm = (lambda k: k) if exact else fold
        self.keys = {norm(k) for k in (trust if self.allow else omit)}
        self.norm = norm
        self.contains = [fold(c) for c in contains]
        self.mask = mask
        self.scalars = scalars

    def sensitive(self, key):
        if not isinstance(key, str):
            return self.allow
        listed = self.norm(str.__str__(key)) in self.keys
        if self.allow:
            return not listed
        return listed or any(c in fold(key) for c in self.contains)
