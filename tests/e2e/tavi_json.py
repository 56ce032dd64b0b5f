#!/usr/bin/python3
"""Parses the tavi tool's JSON output with Python's own reader, independent of the tool, and prints
the value of one expression over it as JSON.

usage: tavi_json.py FILE EXPRESSION [--lines]
  the document is `d`; with --lines every line is a document and `d` is their list.
Exits 1 (with the reason) when the output does not parse or the expression fails.
"""
import json
import sys


def main():
    path, expression = sys.argv[1], sys.argv[2]
    with open(path, encoding="utf-8") as source:
        text = source.read()
    try:
        if "--lines" in sys.argv[3:]:
            d = [json.loads(line) for line in text.splitlines() if line.strip()]
        else:
            d = json.loads(text)
        value = eval(expression, {"__builtins__": {"len": len, "sum": sum, "max": max, "min": min, "any": any, "all": all, "set": set, "sorted": sorted}}, {"d": d})
    except Exception as error:  # the test prints the reason
        print(f"tavi_json: {type(error).__name__}: {error}", file=sys.stderr)
        sys.exit(1)
    print(json.dumps(value))


if __name__ == "__main__":
    main()
