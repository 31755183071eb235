"""A pure-Python model of zentrove.Redactor's rules, for property tests."""

SEPARATORS = str.maketrans("", "", "_-. ")


def fold(key):
    """A key as people write it: case folded, separators dropped."""
    return key.casefold().translate(SEPARATORS)


class Model:
    def __init__(self, omit=None, trust=None, exact=False, contains=(), mask=None, scalars=False):
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

    # --- the walks ---------------------------------------------------------

    def _mask(self, length):
        return "*" * length if self.mask is None else self.mask

    def _scalar_length(self, v):
        if isinstance(v, bool):
            return None
        if isinstance(v, int):
            return len(int.__repr__(v))
        if isinstance(v, float):
            return len(float.__repr__(v))
        if isinstance(v, (bytes, bytearray)):
            return len(v)
        return None

    def _flat_length(self, v):
        if not isinstance(v, (tuple, set, frozenset)) or not v:
            return None
        lengths = [len(x) if isinstance(x, str) else self._scalar_length(x) for x in v]
        return None if None in lengths else sum(lengths)

    def walk(self, v, sensitive, path, found):
        """The redacted copy of v; appends the paths it masks to found."""
        if isinstance(v, str):
            if sensitive:
                found.append(path)
                return self._mask(len(v))
            return v
        if sensitive and self.scalars:
            length = self._scalar_length(v)
            if length is None:
                length = self._flat_length(v)
            if length is not None:
                found.append(path)
                return self._mask(length)
        if isinstance(v, dict):
            out = type(v)() if type(v) is dict else dict()
            for k, x in v.items():
                out[k] = self.walk(x, self.sensitive(k), path + (k,), found)
            return out
        if isinstance(v, (list, tuple)):
            items = [self.walk(x, sensitive, path + (i,), found) for i, x in enumerate(v)]
            return items if isinstance(v, list) else tuple(items)
        if isinstance(v, (set, frozenset)):
            return type(v)(self.walk(x, sensitive, path + (i,), found) for i, x in enumerate(v))
        return v

    def redacted(self, data):
        return self.walk(data, self.allow, (), [])

    def report(self, data):
        found = []
        self.walk(data, self.allow, (), found)
        return [(p, "key") for p in found]
