#!/usr/bin/env python3
"""The scenario schema under a second, independent validator (python3-jsonschema).

usage: check_schema.py SOURCE_DIR

The schema must be a valid draft 7 schema, every example in scenarios/ and every scenario of
the Wine cases must pass it, and the runner's files of broken scenarios that JSON Schema can see
must not.
"""
import json
import pathlib
import sys

from jsonschema import Draft7Validator


def main():
    root = pathlib.Path(sys.argv[1])
    schema_path = root / "scenarios" / "scenario.schema.json"
    schema = json.loads(schema_path.read_text())
    Draft7Validator.check_schema(schema)
    validator = Draft7Validator(schema)

    examples = sorted(p for p in (root / "scenarios").glob("*.json") if p != schema_path)
    examples += sorted((root / "tests" / "wine" / "scenarios").glob("*.json"))
    broken = [root / "tools" / "vxdmount" / "testdata" / name
              for name in ("unknown_key.json", "bad_status.json")]
    failures = 0
    for path, should_pass in [(p, True) for p in examples] + [(p, False) for p in broken]:
        errors = [e.message for e in validator.iter_errors(json.loads(path.read_text()))]
        passed = not errors
        verdict = "ok" if passed == should_pass else "WRONG"
        failures += passed != should_pass
        print(f"{verdict}: {path.relative_to(root)}: " + ("; ".join(errors) or "valid"))
    if not examples:
        print("no examples found in scenarios/")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
