"""Compares the layouts the cross compiler saw (abi_layouts, built from abi_check.c) with what
this interpreter reports; exits non-zero on any difference."""

import ctypes  # noqa: F401  (named by the layouts' expressions)
import struct  # noqa: F401  (named by the layouts' expressions)
import sys
import types  # noqa: F401  (named by the layouts' expressions)
import weakref  # noqa: F401  (named by the layouts' expressions)

import abi_layouts

bad = 0
for expr, seen in abi_layouts.layouts().items():
    actual = eval(expr)
    if actual != seen:
        bad += 1
        print("ABI mismatch: %s is %d here, %d as compiled" % (expr, actual, seen))
print("pyconfig.h: %d layouts checked, %d differ" % (len(abi_layouts.layouts()), bad))
sys.exit(1 if bad else 0)
