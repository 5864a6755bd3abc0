"""Runs the installed `orvane` command in a subprocess, as an operator would."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig


def command():
    """The console script installed beside this interpreter, else the module
    (a build tree on PYTHONPATH)."""
    script = os.path.join(sysconfig.get_path("scripts"), "orvane")
    if os.path.isfile(script):
        return [script]
    found = shutil.which("orvane")
    return [found] if found else [sys.executable, "-m", "orvane_ddb.cli"]


class Orvane:
    """`orvane` in a working directory, with ORVANE_DB / ORVANE_KEY unset
    unless a test sets them."""

    def __init__(self, cwd):
        self.cwd = str(cwd)
        self.env = {k: v for k, v in os.environ.items() if k not in ("ORVANE_DB", "ORVANE_KEY")}
        self.env["COLUMNS"] = "200"
        if self.env.get("PYTHONPATH"):  # the command runs in another directory
            self.env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in
                                                     self.env["PYTHONPATH"].split(os.pathsep) if p)

    def __call__(self, *args, status=0, stdin=None, env=None):
        done = subprocess.run(command() + [str(a) for a in args], cwd=self.cwd, input=stdin, text=True,
                              capture_output=True, env={**self.env, **(env or {})}, timeout=120)
        assert done.returncode == status, (args, done.returncode, done.stdout, done.stderr)
        return done

    def json(self, *args, **kwargs):
        return json.loads(self(*args, "--json", **kwargs).stdout)

    def gate(self, *args, **kwargs):
        """A subcommand on the gate gate.db / gate.key of the working directory."""
        return self(*args, "--db", "gate.db", "--key", "gate.key", **kwargs)

    def gate_json(self, *args, **kwargs):
        return json.loads(self.gate(*args, "--json", **kwargs).stdout)

    def path(self, name):
        return os.path.join(self.cwd, name)

    def public_key(self, name):
        with open(self.path(name)) as key_file:
            return json.load(key_file)["public_key"]


def refusal_code(done):
    """The ORVANE_ code of "error: <code>: <detail>" on standard error."""
    line = done.stderr.strip().splitlines()[-1]
    assert line.startswith("error: ORVANE_"), done.stderr
    return line[len("error: "):].split(":")[0]
