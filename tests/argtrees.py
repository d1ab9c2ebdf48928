"""Arguments as trees of lists, tuples and dicts with arrays at the leaves."""


def clone(value, xp):
    """A copy of the tree in which every array is a copy too."""
    if isinstance(value, xp.ndarray):
        return value.copy()
    if type(value) in (list, tuple):
        return type(value)(clone(v, xp) for v in value)
    if type(value) is dict:
        return {k: clone(v, xp) for k, v in value.items()}
    return value


def arrays_in(value, xp):
    """The arrays of the tree, in order."""
    if isinstance(value, xp.ndarray):
        return [value]
    if type(value) in (list, tuple):
        return [a for v in value for a in arrays_in(v, xp)]
    if type(value) is dict:
        return arrays_in(list(value.values()), xp)
    return []
