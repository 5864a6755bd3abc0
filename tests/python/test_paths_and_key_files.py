"""Paths and key files as a careless or hostile caller hands them over: NUL
characters, FIFOs and other non-files, symbolic links, and key files whose
parse errors must not repeat the secret they hold."""

import json
import os
import stat
import subprocess
import sys
import textwrap

import pytest

import _orvane_ddb
from outcome_helpers import Road

NUL_REFUSAL = "embedded null character in path"


def listing(folder):
    return sorted(os.listdir(folder))


class TestPathsWithNul:
    def test_every_path_argument_refuses_a_nul_before_touching_anything(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        intent = json.dumps(road.intent())
        before = listing(tmp_path)
        outcome = road.outcome(permit)
        auth_id = permit["authorization"]["authorization_id"]
        calls = {
            "gate db_path": lambda: _orvane_ddb.OrvaneDDB(str(tmp_path / "g.db\0x"), road.gate_keyfile),
            "gate keyfile": lambda: _orvane_ddb.OrvaneDDB(road.db_path, road.gate_keyfile + "\0.bak"),
            "gen_keys": lambda: _orvane_ddb.gen_keys(str(tmp_path / "k.key\0.pub")),
            "agent_keyfile": lambda: road.ddb.request_action(intent, road.executor_keyfile + "\0.bak"),
            "executor_keyfile": lambda: road.ddb.commit_outcome(auth_id, outcome, road.executor_keyfile + "\0x"),
            "executor db_path": lambda: _orvane_ddb.OrvaneExecutor(
                str(tmp_path / "e.db\0x"), road.executor_keyfile, road.gate_key.public_hex, "acme", 1),
            "executor keyfile": lambda: _orvane_ddb.OrvaneExecutor(
                str(tmp_path / "e.db"), road.executor_keyfile + "\0x", road.gate_key.public_hex, "acme", 1),
            "gate_db": lambda: _orvane_ddb.OrvaneExecutor(
                str(tmp_path / "e.db"), road.executor_keyfile, road.gate_key.public_hex, "acme", 1,
                road.db_path + "\0x"),
        }
        for name, call in calls.items():
            with pytest.raises(ValueError) as err:
                call()
            assert str(err.value) == NUL_REFUSAL, name
        # Nothing was created, opened for writing or committed.
        assert listing(tmp_path) == before
        assert road.outcome_rows() == []


def run_isolated(code, timeout=20):
    """Runs `code` in a fresh interpreter, so that a call that blocks forever
    fails the test instead of freezing the whole run."""
    here = os.path.dirname(__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here] + sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


class TestNonRegularKeyFiles:
    def test_a_fifo_is_refused_at_once_wherever_a_key_file_is_read(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        fifo = str(tmp_path / "key.fifo")
        os.mkfifo(fifo)
        outcome = road.outcome(permit)
        answers = run_isolated(f"""
            import json, _orvane_ddb
            from outcome_helpers import Road
            fifo, db = {fifo!r}, {road.db_path!r}
            answers = {{}}
            def attempt(name, call):
                try:
                    call()
                    answers[name] = "accepted"
                except Exception as err:
                    answers[name] = type(err).__name__ + ": " + str(err)
            gate = _orvane_ddb.OrvaneDDB(db, {road.gate_keyfile!r})
            attempt("gate keyfile", lambda: _orvane_ddb.OrvaneDDB(db, fifo))
            attempt("agent_keyfile", lambda: gate.request_action({json.dumps(road.intent())!r}, fifo))
            attempt("executor_keyfile", lambda: gate.commit_outcome(
                {permit["authorization"]["authorization_id"]!r}, {outcome!r}, fifo))
            attempt("executor keyfile", lambda: _orvane_ddb.OrvaneExecutor(
                {str(tmp_path / "e.db")!r}, fifo, {road.gate_key.public_hex!r}, "acme", 1))
            attempt("gen_keys", lambda: _orvane_ddb.gen_keys(fifo))
            # The ledger reads its key file itself, on the first record.
            ledger = _orvane_ddb.OrvaneDDB({str(tmp_path / "ledger.db")!r}, fifo + ".later")
            import os; os.mkfifo(fifo + ".later")
            attempt("ledger key", lambda: ledger.record("{{}}", "[]", True))
            print(json.dumps(answers))
        """)
        assert answers == {
            "gate keyfile": f"PermissionError: Failed to read signer configuration '{fifo}': not a regular file",
            "agent_keyfile": f"RuntimeError: Failed to read key file '{fifo}': not a regular file",
            "executor_keyfile": f"RuntimeError: Failed to read key file '{fifo}': not a regular file",
            "executor keyfile": f"RuntimeError: Failed to read signer configuration '{fifo}': not a regular file",
            "gen_keys": f"RuntimeError: Error creating key file {fifo}: not a regular file",
            "ledger key": f"PermissionError: Failed to read key file '{fifo}.later': not a regular file",
        }
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)  # left as it was
        assert road.outcome_rows() == []

    def test_a_directory_is_neither_read_nor_replaced(self, tmp_path):
        folder = tmp_path / "keys"
        folder.mkdir()
        with pytest.raises(RuntimeError) as err:
            _orvane_ddb.gen_keys(str(folder))
        assert str(err.value) == f"Error creating key file {folder}: not a regular file"
        with pytest.raises(PermissionError) as err:
            _orvane_ddb.OrvaneDDB(str(tmp_path / "g.db"), str(folder))
        assert str(err.value) == f"Failed to read signer configuration '{folder}': not a regular file"
        assert folder.is_dir() and listing(folder) == []


class TestGenKeysWritesPrivately:
    def test_new_and_rewritten_key_files_are_private(self, tmp_path):
        old_umask = os.umask(0o022)
        try:
            path = tmp_path / "gate.key"
            text = _orvane_ddb.gen_keys(str(path))
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
            assert path.read_text() == text
            path.chmod(0o644)
            again = _orvane_ddb.gen_keys(str(path))
            assert again != text and path.read_text() == again
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        finally:
            os.umask(old_umask)
        assert listing(tmp_path) == ["gate.key"]  # no temporary file left behind

    def test_a_symbolic_link_is_replaced_not_followed(self, tmp_path):
        target = tmp_path / "victim.txt"
        target.write_text("precious")
        link = tmp_path / "gate.key"
        link.symlink_to(target)
        text = _orvane_ddb.gen_keys(str(link))
        assert target.read_text() == "precious"
        assert not link.is_symlink() and link.read_text() == text
        assert stat.S_IMODE(os.stat(link).st_mode) == 0o600

        dangling = tmp_path / "other.key"
        dangling.symlink_to(tmp_path / "nowhere" / "created.key")
        _orvane_ddb.gen_keys(str(dangling))
        assert not (tmp_path / "nowhere").exists() and not dangling.is_symlink()

    def test_a_missing_folder_is_reported_and_nothing_is_left(self, tmp_path):
        with pytest.raises(RuntimeError) as err:
            _orvane_ddb.gen_keys(str(tmp_path / "missing" / "k.key"))
        assert str(err.value).startswith(f"Error creating key file {tmp_path / 'missing' / 'k.key'}: ")
        assert listing(tmp_path) == []


class TestParseErrorsKeepSecrets:
    SECRET = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"

    def test_a_truncated_private_key_is_never_quoted(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        broken = tmp_path / "broken.key"
        broken.write_text('{\n  "public_key": "00",\n  "private_key": "' + self.SECRET)
        path = str(broken)
        messages = []
        for error, call in [
            (PermissionError, lambda: _orvane_ddb.OrvaneDDB(str(tmp_path / "x.db"), path)),
            (RuntimeError, lambda: road.ddb.request_action(json.dumps(road.intent()), path)),
            (RuntimeError, lambda: road.ddb.commit_outcome(permit["authorization"]["authorization_id"],
                                                           road.outcome(permit), path)),
            (RuntimeError, lambda: _orvane_ddb.OrvaneExecutor(str(tmp_path / "e.db"), path,
                                                              road.gate_key.public_hex, "acme", 1)),
        ]:
            with pytest.raises(error) as err:
                call()
            messages.append(str(err.value))
        ledger = _orvane_ddb.OrvaneDDB(str(tmp_path / "l.db"), str(tmp_path / "later.key"))
        (tmp_path / "later.key").write_text(broken.read_text())
        with pytest.raises(PermissionError) as err:
            ledger.record("{}", "[]", True)
        messages.append(str(err.value))
        for message in messages:
            assert self.SECRET[:16] not in message, message
            # The parser's description and position are kept.
            assert "missing closing quote at line 3 column " in message, message
        assert messages[0].startswith(f"Failed to parse signer configuration '{path}': syntax error")
        assert messages[1].startswith(f"Failed to parse key file '{path}': syntax error")
        assert messages[4].startswith("Failed to parse key file JSON: syntax error")

    def test_other_parse_errors_quote_only_a_short_piece(self, gate):
        huge = "0." + "1" * 10_000_000 + "e"
        with pytest.raises(PermissionError) as err:
            gate.record(huge, "[]", True)
        message = str(err.value)
        assert message.startswith("Payload is not valid JSON: syntax error while parsing value - invalid number")
        assert len(message) < 300 and " at line 1 column " in message
        overflow = "1" + "0" * 5_000_000 + "e99999"
        with pytest.raises(PermissionError) as err:
            gate.record(overflow, "[]", True)
        assert len(str(err.value)) < 300, str(err.value)[:200]
