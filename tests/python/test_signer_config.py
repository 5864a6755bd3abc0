"""Loading the gate's signer from a key file or a signer configuration
document, the identity whoami reports, and the conformance self-test."""

import json

import nacl.signing
import pytest

import _orvane_ddb

from vault_helpers import (
    CONFORMANCE_MESSAGE,
    Sleeper,
    VaultKey,
    exiting_standin,
    signer_config,
    signing_standin,
    write_config,
)

# The identity point: valid hex of 32 bytes, but not a usable Ed25519 key.
SMALL_ORDER_POINT = "01" + "00" * 31


def load_failure(tmp_path, document):
    keyfile = write_config(tmp_path / "signer.json", document)
    with pytest.raises(PermissionError) as raised:
        _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile)
    return str(raised.value)


def whoami(tmp_path, document):
    keyfile = write_config(tmp_path / "signer.json", document)
    return json.loads(_orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile).whoami())


def key_file(key, **members):
    document = {"private_key": bytes(key).hex()}
    document.update(members)
    return document


class TestKeyFile:
    def test_identity_of_a_plain_key_file(self, tmp_path):
        key = nacl.signing.SigningKey.generate()
        public = key.verify_key.encode().hex()
        keyfile = write_config(tmp_path / "k.json", {"private_key": bytes(key).hex().upper()})
        text = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile).whoami()
        assert text == ('{"algorithm":"Ed25519","alias":"","key_version":"1","keyfile":"%s",'
                        '"public_key":"%s","signer_uri":"local-ed25519://%s"}' % (keyfile, public, public))

    @pytest.mark.parametrize("members, version, uri", [
        ({"public_key": 7, "key_version": 2}, "1", None),
        ({"key_version": "2", "signer_uri": "vault-transit://x/y"}, "2", "vault-transit://x/y"),
    ])
    def test_optional_members(self, tmp_path, members, version, uri):
        key = nacl.signing.SigningKey.generate()
        public = key.verify_key.encode().hex()
        identity = whoami(tmp_path, key_file(key, **members))
        assert (identity["public_key"], identity["key_version"]) == (public, version)
        assert identity["signer_uri"] == (uri or "local-ed25519://" + public)

    def test_a_custom_uri_still_signs_locally(self, tmp_path):
        key = nacl.signing.SigningKey.generate()
        keyfile = write_config(tmp_path / "k.json", key_file(key, signer_uri="vault-transit://x/y"))
        result = json.loads(_orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile).signer_conformance())
        assert result["signer"]["signer_uri"] == "vault-transit://x/y"

    def test_refused_key_files(self, tmp_path):
        key = nacl.signing.SigningKey.generate()
        public = key.verify_key.encode().hex()
        path = str(tmp_path / "signer.json")
        assert load_failure(tmp_path, key_file(key, public_key=public.upper())) == \
            "ORVANE_SIGNER_KEY_MISMATCH: public_key does not match private_key"
        assert load_failure(tmp_path, key_file(key, public_key=nacl.signing.SigningKey.generate()
                                               .verify_key.encode().hex())) == \
            "ORVANE_SIGNER_KEY_MISMATCH: public_key does not match private_key"
        for size in (31, 33):
            assert load_failure(tmp_path, {"private_key": "ab" * size}) == "Private key must be exactly 32 bytes"
        assert load_failure(tmp_path, {"private_key": "abc"}).startswith(f"Invalid private key hex in '{path}': ")
        assert load_failure(tmp_path, {"private_key": "zz" * 32}).startswith(f"Invalid private key hex in '{path}': ")
        assert load_failure(tmp_path, "{not json").startswith(f"Failed to parse signer configuration '{path}': ")


class TestSignerConfiguration:
    def test_identity_and_defaults(self, tmp_path):
        key = VaultKey()
        standin = signing_standin(tmp_path / "bin", key)
        identity = whoami(tmp_path, signer_config(key.public.upper(), standin.path, key_version=" 7 ",
                                                  extra_member=[1]))
        assert identity == {"algorithm": "Ed25519", "alias": "", "key_version": " 7 ",
                            "keyfile": str(tmp_path / "signer.json"), "public_key": key.public.upper(),
                            "signer_uri": "vault-transit://transit/gate"}
        assert standin.starts() == []  # naming the key never asks Vault

    @pytest.mark.parametrize("changes, message", [
        ({"schema_version": None}, "ORVANE_SIGNER_CONFIG_INVALID: expected orvane.signer-config.v1"),
        ({"private_key": 5}, None),  # a private_key that is not a string is not a key file: loads as a config
        ({"provider": None}, "ORVANE_SIGNER_CONFIG_INVALID: 'provider' is required"),
        ({"provider": "  "}, "ORVANE_SIGNER_CONFIG_INVALID: 'provider' is required"),
        ({"provider": "vault"}, "ORVANE_SIGNER_PROVIDER_UNKNOWN: unsupported provider 'vault'"),
        ({"provider": "vault", "algorithm": None}, "ORVANE_SIGNER_PROVIDER_UNKNOWN: unsupported provider 'vault'"),
        ({"algorithm": "\u3000"}, "ORVANE_SIGNER_CONFIG_INVALID: 'algorithm' is required"),
        ({"algorithm": "ed25519"}, "ORVANE_SIGNER_ALGORITHM_UNKNOWN: unsupported algorithm 'ed25519'"),
        ({"algorithm": "RSA", "signer_uri": None}, "ORVANE_SIGNER_ALGORITHM_UNKNOWN: unsupported algorithm 'RSA'"),
        ({"signer_uri": None}, "ORVANE_SIGNER_CONFIG_INVALID: 'signer_uri' is required"),
        ({"signer_uri": "vault://transit/gate"}, "ORVANE_SIGNER_URI_UNKNOWN: expected vault-transit://mount/key"),
        ({"signer_uri": "vault-transit:/"}, "ORVANE_SIGNER_URI_UNKNOWN: expected vault-transit://mount/key"),
        ({"signer_uri": "vault-transit://transit"}, "ORVANE_SIGNER_URI_INVALID: expected vault-transit://mount/key"),
        ({"signer_uri": "vault-transit://transit/"}, "ORVANE_SIGNER_URI_INVALID: mount and key contain unsafe characters"),
        ({"signer_uri": "vault-transit:///gate"}, "ORVANE_SIGNER_URI_INVALID: mount and key contain unsafe characters"),
        ({"signer_uri": "vault-transit://a/b/c"}, "ORVANE_SIGNER_URI_INVALID: mount and key contain unsafe characters"),
        ({"signer_uri": "vault-transit://tr ansit/gate"}, "ORVANE_SIGNER_URI_INVALID: mount and key contain unsafe characters"),
        ({"signer_uri": "vault://x", "public_key": None}, "ORVANE_SIGNER_URI_UNKNOWN: expected vault-transit://mount/key"),
        ({"public_key": None}, "ORVANE_SIGNER_CONFIG_INVALID: 'public_key' is required"),
        ({"public_key": "xyz"}, "Invalid public key hex: "),
        ({"public_key": "ab" * 31}, "Public key must be exactly 32 bytes"),
        ({"public_key": SMALL_ORDER_POINT, "key_version": None}, "Invalid Ed25519 public key: "),
        ({"key_version": None}, "ORVANE_SIGNER_CONFIG_INVALID: 'key_version' is required"),
        ({"key_version": 1}, "ORVANE_SIGNER_CONFIG_INVALID: 'key_version' is required"),
        ({"key_version": None, "timeout_ms": 1}, "ORVANE_SIGNER_CONFIG_INVALID: 'key_version' is required"),
        ({"timeout_ms": 99}, "ORVANE_SIGNER_CONFIG_INVALID: timeout_ms must be 100..60000"),
        ({"timeout_ms": 60001}, "ORVANE_SIGNER_CONFIG_INVALID: timeout_ms must be 100..60000"),
        ({"max_attempts": 0}, "ORVANE_SIGNER_CONFIG_INVALID: max_attempts must be 1..3"),
        ({"max_attempts": 4}, "ORVANE_SIGNER_CONFIG_INVALID: max_attempts must be 1..3"),
    ])
    def test_checks_in_order(self, tmp_path, changes, message):
        document = signer_config(VaultKey().public, "/bin/false")
        document.update(changes)
        document = {k: v for k, v in document.items() if v is not None}
        if message is None:
            whoami(tmp_path, document)
        else:
            assert load_failure(tmp_path, document).startswith(message)

    @pytest.mark.parametrize("document", [{}, [], "null", '"orvane.signer-config.v1"', {"public_key": "ab"}])
    def test_neither_key_file_nor_configuration(self, tmp_path, document):
        text = document if isinstance(document, str) else json.dumps(document)
        assert load_failure(tmp_path, text) == "ORVANE_SIGNER_CONFIG_INVALID: expected orvane.signer-config.v1"

    @pytest.mark.parametrize("timeout_ms, max_attempts", [(100, 1), (60000, 3)])
    def test_limits_are_inclusive(self, tmp_path, timeout_ms, max_attempts):
        key = VaultKey()
        standin = exiting_standin(tmp_path / "bin", 1, "no")
        document = signer_config(key.public, standin.path, timeout_ms=timeout_ms, max_attempts=max_attempts)
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), write_config(tmp_path / "s.json", document))
        with pytest.raises(RuntimeError, match=f"^ORVANE_SIGNER_UNAVAILABLE: attempt {max_attempts}/{max_attempts}: "):
            gate.signer_conformance()

    @pytest.mark.parametrize("value", ["3", 2.5, -1])
    def test_attempts_that_are_not_an_unsigned_integer_count_as_absent(self, tmp_path, value):
        key = VaultKey()
        standin = exiting_standin(tmp_path / "bin", 1, "no")
        document = signer_config(key.public, standin.path, max_attempts=value)
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), write_config(tmp_path / "s.json", document))
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: "):
            gate.signer_conformance()
        assert len(standin.starts()) == 2

    def test_a_timeout_that_is_not_an_unsigned_integer_counts_as_absent(self, tmp_path):
        sleeper = Sleeper(tmp_path / "bin")
        document = signer_config(VaultKey().public, sleeper.path, timeout_ms=-1, max_attempts=1)
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), write_config(tmp_path / "s.json", document))
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: signer timed out after 5000ms$"):
            gate.signer_conformance()

    @pytest.mark.parametrize("binary, shown", [("", ""), (5, "vault"), (None, "vault")])
    def test_vault_binary(self, tmp_path, monkeypatch, binary, shown):
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        document = signer_config(VaultKey().public, max_attempts=1)
        if binary is not None:
            document["vault_binary"] = binary
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), write_config(tmp_path / "s.json", document))
        with pytest.raises(RuntimeError) as raised:
            gate.signer_conformance()
        assert str(raised.value) == \
            f"ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: could not start '{shown}': No such file or directory"

    def test_the_executor_loads_its_signer_the_same_way(self, tmp_path):
        document = signer_config(VaultKey().public, provider="vault")
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_PROVIDER_UNKNOWN: unsupported provider 'vault'$"):
            _orvane_ddb.OrvaneExecutor(str(tmp_path / "e.db"), write_config(tmp_path / "s.json", document),
                                       VaultKey().public, "acme")


class TestSignerCache:
    def test_a_missing_key_file_is_loaded_on_first_use(self, tmp_path):
        path = tmp_path / "later.json"
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), str(path))
        with pytest.raises(RuntimeError, match=f"^Failed to read signer configuration '{path}': No such file"):
            gate.whoami()
        # A failed load caches nothing: every call tries again.
        path.write_text('{"schema_version": "orvane.signer-config.v1"}')
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_CONFIG_INVALID: 'provider' is required$"):
            gate.signer_conformance()
        key = nacl.signing.SigningKey.generate()
        write_config(path, key_file(key))
        assert json.loads(gate.whoami())["public_key"] == key.verify_key.encode().hex()
        # Once loaded, the signer stays: later changes to the file are not seen.
        write_config(path, key_file(nacl.signing.SigningKey.generate()))
        assert json.loads(gate.whoami())["public_key"] == key.verify_key.encode().hex()
        path.unlink()
        assert json.loads(gate.signer_conformance())["signer"]["public_key"] == key.verify_key.encode().hex()

    def test_whoami_names_the_registered_alias(self, tmp_path):
        key = VaultKey()
        standin = signing_standin(tmp_path / "bin", key)
        keyfile = write_config(tmp_path / "s.json", signer_config(key.public, standin.path))
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile)
        gate.register_agent(key.public, "root gate")
        text = gate.whoami()
        assert list(json.loads(text)) == ["algorithm", "alias", "key_version", "keyfile", "public_key", "signer_uri"]
        assert json.loads(text)["alias"] == "root gate"


class TestConformance:
    def test_report_for_a_local_key(self, tmp_path, gate, gate_public_key):
        text = gate.signer_conformance()
        assert json.loads(text) == {
            "schema_version": "orvane.signer-conformance-result.v1",
            "status": "PASS",
            "signer": {"signer_uri": "local-ed25519://" + gate_public_key, "key_version": "1",
                       "algorithm": "Ed25519", "public_key": gate_public_key},
            "checks": {"credential_material_returned": False, "ed25519_verification": "PASS", "exact_bytes": "PASS"},
        }
        assert text == json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"))

    def test_report_for_a_vault_key(self, tmp_path):
        key = VaultKey()
        standin = signing_standin(tmp_path / "bin", key, version="4")
        keyfile = write_config(tmp_path / "s.json", signer_config(key.public, standin.path, key_version="4"))
        result = json.loads(_orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile).signer_conformance())
        assert result["signer"] == {"signer_uri": "vault-transit://transit/gate", "key_version": "4",
                                    "algorithm": "Ed25519", "public_key": key.public}
        assert result["checks"]["exact_bytes"] == "PASS"
        assert bytes.fromhex(standin.starts()[0]["message"]) == CONFORMANCE_MESSAGE

    def test_a_signer_that_stops_at_the_zero_byte(self, tmp_path):
        # It signs only the text before the zero byte: a well-formed answer
        # whose signature does not cover the message it was given.
        key = VaultKey()
        standin = signing_standin(tmp_path / "bin", key, cut_at_zero=True)
        keyfile = write_config(tmp_path / "s.json", signer_config(key.public, standin.path))
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_RESPONSE_INVALID: signature does not match "
                                               "configured public key$"):
            _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile).signer_conformance()

    def test_an_unavailable_signer_writes_nothing(self, tmp_path):
        keyfile = write_config(tmp_path / "s.json", signer_config(VaultKey().public, tmp_path / "missing"))
        gate = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile)
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: could not start "):
            gate.signer_conformance()
        assert json.loads(gate.export_event_stream()) == []
