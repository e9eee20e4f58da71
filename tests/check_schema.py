#!/usr/bin/env python3
"""The scenario schema under a second, independent validator (python3-jsonschema).

usage: check_schema.py SOURCE_DIR [RUNNER]

The schema must be a valid draft 7 schema, every example in scenarios/ and every scenario of
the Wine cases must pass it, and the runner's files of broken scenarios that JSON Schema can see
must not. With RUNNER (the vxdmount runner), documents at the edges of the format must get the
same verdict from this validator and from the reader: what the schema accepts, the reader
accepts.
"""
import json
import pathlib
import subprocess
import sys
import tempfile

from jsonschema import Draft7Validator

# Documents at the edges of the format, with the verdict JSON Schema gives them.
EDGES = [
    # Integers in any spelling: draft 7 takes a number with no fraction for an integer.
    (True, '{"service": {"ike_status": 5.0, "portal_status": 1e2, "login_statuses": [-0, -0.0]}}'),
    (True, '{"drives": [{"letter": "C", "disk": 4294967295.0}], '
           '"service": {"on_login": {"devices": [2.0], "devices_after_ms": 1.5e3}}}'),
    (True, '{"events": [{"at_ms": 1E3, "remove_drive": "E"}]}'),
    (True, '{"service": {"ike_status": 0.4294967295e10}}'),
    (False, '{"service": {"ike_status": 1.5}}'),
    (False, '{"service": {"ike_status": 4294967296.0}}'),
    (False, '{"drives": [{"letter": "C", "disk": -1.0}]}'),
    (False, '{"service": {"on_login": {"devices_after_ms": 1e19}}}'),
    (False, '{"service": {"on_login": {"devices_after_ms": 9223372036854775807.0}}}'),
    # A NUL in a name, which becomes a C string.
    (True, '{"service": {"reported_targets": ["iqn.a", "iqn.a.tail"]}}'),
    (False, '{"service": {"reported_targets": ["iqn.a", "iqn.a\\u0000tail"]}}'),
    (False, '{"service": {"targets": [{"target": "\\u0000", "login_statuses": []}]}}'),
    (False, '{"service": {"sessions": [{"target": "iqn.x\\u0000"}]}}'),
    (False, '{"service": {"portals": [{"address": "a\\u0000", "status": 0}]}}'),
    (True, '{"service": {"sessions": [{"target": ""}], "portals": [{"address": "", "status": 0}]}}'),
    # The keys of VxdAttach and VxdDetach: ports, errors and times as integers in any spelling.
    (True, '{"service": {"registered_portals": [{"address": "a", "port": 3260.0}], '
           '"persistent_logins": [{"target": "t", "portal": {"address": "a", "port": 86e1}}], '
           '"logout_statuses": [64.0]}, "cancel_at_ms": 2.5e3, '
           '"drives": [{"letter": "F", "disk": 2, "in_use": true, "flush_error": 1.0}]}'),
    (False, '{"service": {"registered_portals": [{"address": "a", "port": 65536.0}]}}'),
    (False, '{"service": {"persistent_logins": [{"target": "iqn.x\\u0000"}]}}'),
    (False, '{"service": {"targets": [{"target": "t", "logout_statuses": []}]}}'),
    (False, '{"cancel_at_ms": 0.5}'),
    # CHAP: credentials in place of a target's or a portal's answers, a mutual secret with them.
    (True, '{"service": {"targets": [{"target": "t", "chap": {"user": "u", "secret": "s"}, '
           '"initiator_secret": "m"}], "portals": [{"address": "a", '
           '"chap": {"user": "u", "secret": "s"}}]}}'),
    (False, '{"service": {"portals": [{"address": "a", '
            '"chap": {"user": "u", "secret": "s\\u0000"}}]}}'),
    (False, '{"service": {"portals": [{"address": "a"}]}}'),
    (False, '{"service": {"targets": [{"target": "t", "login_statuses": [], '
            '"initiator_secret": "m"}]}}'),
    (False, '{"service": {"targets": [{"target": "t", "chap": {"user": "u", "secret": ""}}]}}'),
    (False, '{"service": {"targets": [{"target": "t", "chap": {"user": "u\\u0000", '
            '"secret": "s"}}]}}'),
    (False, '{"service": {"targets": [{"target": "t", "chap": {"user": "u"}}]}}'),
    # Keys are whole strings.
    (False, '{"drives\\u0000x": []}'),
    (True, '{"$schema": "\\u0000"}'),
    (True, '{"machine": {"san_policy": "offline_all", "automount": false}, '
           '"disks": [{"disk": 2.0, "layout": "raw", "id": "a"}], "service": {"on_login": '
           '{"drives": [{"volume": "\\\\\\\\?\\\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\\\", '
           '"disk": 2}]}}}'),
    (False, '{"machine": {"san_policy": "offline_internal"}}'),
    (False, '{"disks": [{"layout": "mbr"}]}'),
    (False, '{"disks": [{"disk": 2, "id": ""}]}'),
    (False, '{"service": {"on_login": {"drives": [{"disk": 2}]}}}'),
    (False, '{"service": {"on_login": {"drives": [{"letter": "F", "disk": 2, '
            '"volume": "\\\\\\\\?\\\\Volume{0a1b2c3d-0000-4000-8000-000000000002}\\\\"}]}}}'),
    (False, '{"service": {"on_login": {"drives": [{"volume": "F:", "disk": 2}]}}}'),
]


def reader_accepts(runner, text):
    """The reader's verdict: the runner exits with 2 and names the file when it refuses it."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "edge.json"
        path.write_text(text)
        run = subprocess.run([runner, "--scenario", str(path)], capture_output=True, text=True,
                             check=False)
        refused = run.returncode == 2 and run.stderr.startswith(f"vxdmount: {path}")
        return not refused, run.stderr.strip().splitlines()[-1]


def main():
    root = pathlib.Path(sys.argv[1])
    runner = sys.argv[2] if len(sys.argv) > 2 else None
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

    for should_pass, text in EDGES if runner else []:
        passed = validator.is_valid(json.loads(text))
        accepted, said = reader_accepts(runner, text)
        agreed = passed == should_pass == accepted
        failures += not agreed
        print(f"{'ok' if agreed else 'WRONG'}: {text}: schema {'valid' if passed else 'invalid'},"
              f" reader: {said}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
