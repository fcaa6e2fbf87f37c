#!/usr/bin/env python3
# Validates each line of standard input, one JSON object per line, against the JSON Schema
# (draft 2020-12) named as the argument, with the jsonschema package rather than a check of
# our own. Prints each error and, last, how many lines were valid; exits 1 on any error.
import json
import sys

from jsonschema import Draft202012Validator

with open(sys.argv[1], encoding="utf-8") as f:
    schema = json.load(f)
Draft202012Validator.check_schema(schema)
validator = Draft202012Validator(schema)
valid = 0
failed = False
for number, line in enumerate(sys.stdin, 1):
    errors = list(validator.iter_errors(json.loads(line)))
    for error in errors:
        print(f"line {number}: {error.json_path}: {error.message}")
    failed = failed or bool(errors)
    valid += not errors
print(f"{valid} valid")
sys.exit(1 if failed else 0)
