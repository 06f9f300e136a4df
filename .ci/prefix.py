#!/usr/bin/env python3
"""Whether FILE holds whole repetitions of TEXT followed by part of one.
  prefix.py FILE TEXT
"""
import sys

if len(sys.argv) != 3:
    sys.exit(__doc__)
with open(sys.argv[1], "rb") as f:
    data = f.read()
text = sys.argv[2].encode()
sys.exit(0 if data == (text * (len(data) // len(text) + 1))[:len(data)] else f"{sys.argv[1]}: not a prefix")
