"""Command line: orvane-verify EVIDENCE --gate-key HEX [--json]

    orvane-verify EVIDENCE.json --gate-key HEX          one action's evidence file
    orvane-verify checkpoint CHECKPOINT.json STREAM.json --gate-key HEX
    orvane-verify consistency OLD_HEAD NEW_HEAD PROOF.json --gate-key HEX

Exit status: 0 verified, 1 verification failed, 2 malformed input or usage error.
A file argument of "-" reads standard input.
"""

import argparse
import json
import sys

from . import canonical
from .checkpoint import MalformedInput, verify_checkpoint_stream
from .evidence import MalformedEvidence, verify_evidence
from .rules import hex_bytes
from .treehead import verify_consistency_proof

EXIT_VERIFIED, EXIT_FAILED, EXIT_MALFORMED = 0, 1, 2


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write("orvane-verify: error: %s\n" % message)
        sys.exit(EXIT_MALFORMED)


def _read(path, binary=False):
    if path == "-":
        return sys.stdin.buffer.read() if binary else sys.stdin.read()
    if binary:
        with open(path, "rb") as handle:
            return handle.read()
    with open(path, "r", encoding="utf-8", newline="") as handle:
        return handle.read()


def _gate_key(text):
    key = hex_bytes(text)
    if key is None or len(key) != 32:
        raise argparse.ArgumentTypeError("must be 64 hex digits (the gate's Ed25519 public key)")
    return text.lower()


def _common(parser):
    parser.add_argument("--gate-key", required=True, type=_gate_key, metavar="HEX",
                        help="the gate's public key, obtained out of band: the only thing trusted")
    parser.add_argument("--json", action="store_true", help="print the verdict as JSON")


def _report_evidence(verdict):
    lines = ["Evidence for action %s: %s" % (verdict["action_id"], verdict["status"])]
    if verdict["decision"] is not None:
        outcome = verdict["execution_status"] or "no execution recorded"
        lines.append("  decision %s, execution %s" % (verdict["decision"], outcome))
    for name, entry in verdict["checks"].items():
        mark = {"VERIFIED": "ok  ", "FAILED": "FAIL", "NOT_PRESENT": "--  "}[entry["status"]]
        text = "  [%s] %s" % (mark, name.replace("_", " "))
        if entry["status"] == "NOT_PRESENT":
            text += " (not present)"
        lines.append(text)
        lines.extend("         - " + code for code in entry["reason_codes"])
    return "\n".join(lines)


def _emit(verdict, as_json, report):
    if as_json:
        print(canonical.canonical_text(verdict))
    else:
        print(report(verdict))
    return EXIT_VERIFIED if verdict["status"] == "VERIFIED" else EXIT_FAILED


def _malformed(message):
    sys.stderr.write("orvane-verify: malformed input: %s\n" % message)
    return EXIT_MALFORMED


def _evidence_command(argv):
    parser = _Parser(prog="orvane-verify", description="Verify an Orvane DDB evidence file offline.",
                     epilog="Also: orvane-verify checkpoint ... | orvane-verify consistency ...")
    parser.add_argument("evidence", help="the evidence file (orvane.evidence.v1)")
    _common(parser)
    args = parser.parse_args(argv)
    try:
        document = canonical.parse(_read(args.evidence, binary=True))
        verdict = verify_evidence(document, args.gate_key)
    except OSError as exc:
        return _malformed(str(exc))
    except (canonical.JsonError, MalformedEvidence) as exc:
        return _malformed(str(exc))
    return _emit(verdict, args.json, _report_evidence)


def _checkpoint_command(argv):
    parser = _Parser(prog="orvane-verify checkpoint",
                     description="Check an exported event stream against a signed checkpoint.")
    parser.add_argument("checkpoint")
    parser.add_argument("stream", help="the stream as the gate exports it (a JSON array)")
    _common(parser)
    args = parser.parse_args(argv)
    try:
        checkpoint = canonical.parse(_read(args.checkpoint, binary=True))
        stream = canonical.parse(_read(args.stream, binary=True))
        verdict = verify_checkpoint_stream(checkpoint, stream, args.gate_key)
    except (OSError, canonical.JsonError, MalformedInput) as exc:
        return _malformed(str(exc))

    def report(v):
        return "Checkpoint %s: %s (%s, %d events verified)\n  %s" % (
            v["checkpoint_id"], v["status"], v["reason_code"], v["events_verified"], v["message"])

    return _emit(verdict, args.json, report)


def _consistency_command(argv):
    parser = _Parser(prog="orvane-verify consistency",
                     description="Check that a newer signed tree head extends an older one.")
    parser.add_argument("old_head", help="the tree head you kept (note text)")
    parser.add_argument("new_head", help="the later tree head (note text)")
    parser.add_argument("proof", help="the consistency proof between them (JSON)")
    _common(parser)
    args = parser.parse_args(argv)
    try:
        old, new = _read(args.old_head), _read(args.new_head)
        proof = canonical.parse(_read(args.proof, binary=True))
    except (OSError, UnicodeDecodeError, canonical.JsonError) as exc:
        return _malformed(str(exc))
    verdict = verify_consistency_proof(old, new, args.gate_key, proof)

    def report(v):
        return "Tree head consistency: %s (%s)%s" % (
            v["status"], v["reason_code"], "\n  " + v["message"] if "message" in v else "")

    return _emit(verdict, args.json, report)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    command = {"checkpoint": _checkpoint_command, "consistency": _consistency_command}.get(
        argv[0] if argv else None)
    try:
        return command(argv[1:]) if command else _evidence_command(argv)
    except SystemExit as exc:  # usage errors and --help
        return exc.code if isinstance(exc.code, int) else EXIT_MALFORMED


if __name__ == "__main__":
    sys.exit(main())
