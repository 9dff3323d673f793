"""Comparing decoded values with what was stored."""

import math
import struct


def same(a, b, *, nan_bits=True):
    """Equal with equal types all the way down, floats bit for bit (-0.0, NaN payloads;
    any NaN equals any other without `nan_bits`, for forms such as JSON text that keep
    none), dicts in the same order. Iterative: values nest deeper than Python's
    recursion."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if not nan_bits and math.isnan(a) and math.isnan(b):
                continue
            if struct.pack(">d", a) != struct.pack(">d", b):
                return False
        elif isinstance(a, (list, tuple, dict)):
            if len(a) != len(b):
                return False
            if isinstance(a, dict):
                a, b = [x for kv in a.items() for x in kv], [x for kv in b.items() for x in kv]
            pending.extend(zip(a, b))
        elif a != b:
            return False
    return True
