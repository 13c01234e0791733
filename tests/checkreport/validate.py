#!/usr/bin/env python3
"""Validates a check or repair report (standard input) against the schema, and
checks that the schema rejects the same document with any one field removed or
misspelt, or with an unknown status code: a schema that let those through
would not hold readers to the contract.

Usage: validate.py SCHEMA check|repair < DOCUMENT
Exit status: 0 valid and every spoilt copy rejected; 1 otherwise; 77 without
python3-jsonschema (outside CI)."""
import copy
import json
import os
import sys

try:
    import jsonschema
except ImportError:
    print("validate.py: python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(1 if os.environ.get("CI") == "true" else 77)


def objects(value, path="$"):
    """Every object in the document with its path, the document first."""
    if isinstance(value, dict):
        yield path, value
        for key, inner in value.items():
            yield from objects(inner, f"{path}.{key}")
    elif isinstance(value, list):
        for index, inner in enumerate(value):
            yield from objects(inner, f"{path}[{index}]")


def spoilt(document):
    """(what, copy) for each copy with one field removed, misspelt or mis-coded."""
    for path, obj in list(objects(document)):
        for key in list(obj):
            for what, change in (("removed", None), ("misspelt", key[:-1] + key[-1].swapcase())):
                broken = copy.deepcopy(document)
                target = dict(objects(broken))[path]
                value = target.pop(key)
                if change is not None:
                    target[change] = value
                yield f"{path}.{key} {what}", broken
        if "statusCode" in obj:
            broken = copy.deepcopy(document)
            dict(objects(broken))[path]["statusCode"] = "broken"
            yield f"{path}.statusCode unknown", broken


def main():
    schema = json.load(open(sys.argv[1], encoding="utf-8"))
    if sys.argv[2] == "repair":
        schema = dict(schema, **{"$ref": "#/$defs/repairReport"})
    validator = jsonschema.Draft202012Validator(schema)
    jsonschema.Draft202012Validator.check_schema(schema)
    document = json.load(sys.stdin)
    errors = [e.message for e in validator.iter_errors(document)]
    for error in errors:
        print(f"invalid: {error}", file=sys.stderr)
    accepted = [what for what, broken in spoilt(document) if validator.is_valid(broken)]
    for what in accepted:
        print(f"accepted a spoilt document: {what}", file=sys.stderr)
    return 1 if errors or accepted else 0


sys.exit(main())
