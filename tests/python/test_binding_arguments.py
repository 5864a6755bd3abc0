"""Every callable binds its arguments as its text signature says: the names,
their order, which ones are required, and the wording of argument errors."""
import inspect
import re

import pytest

import _orvane_ddb


@pytest.fixture
def objects(tmp_path, gate, gate_public_key, keyfile):
    executor = _orvane_ddb.OrvaneExecutor(str(tmp_path / "executor.db"), keyfile, gate_public_key, "t")
    witness = _orvane_ddb.OrvaneWitness(str(tmp_path / "witness.db"), keyfile)
    return {"OrvaneDDB": gate, "OrvaneExecutor": executor, "OrvaneWitness": witness}


def _callables(objects):
    """(name, callable, parameters) of every function, constructor and method
    that takes arguments; the parameters as the text signature lists them."""
    found = []
    for name in sorted(dir(_orvane_ddb)):
        value = getattr(_orvane_ddb, name)
        if name.startswith("_") or not callable(value):
            continue
        found.append((name, value, list(inspect.signature(value).parameters.values())))
        if isinstance(value, type):
            for method_name, method in vars(value).items():
                if method_name.startswith("_"):
                    continue
                params = list(inspect.signature(method).parameters.values())[1:]
                found.append((method_name, getattr(objects[name], method_name), params))
    return [entry for entry in found if entry[2]]


def _message(call, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    return str(caught.value)


def test_argument_errors_follow_the_text_signature(objects):
    checked = 0
    for name, call, params in _callables(objects):
        required = [p for p in params if p.default is inspect.Parameter.empty]
        first = params[0].name
        assert _message(call, bogus=1) == f"{name}() got an unexpected keyword argument 'bogus'", name
        assert _message(call, object(), **{first: object()}) == (
            f"argument for {name}() given by name ('{first}') and position (1)"), name
        too_many = [object()] * (len(params) + 1)
        if len(required) == len(params):
            expected = f"{name}() takes {len(params)} positional arguments but {len(too_many)} were given"
        else:
            expected = (f"{name}() takes from {len(required)} to {len(params)} positional arguments "
                        f"but {len(too_many)} were given")
        assert _message(call, *too_many) == expected, name
        if required:
            last = required[-1]
            given = {p.name: object() for p in required[:-1]}
            assert _message(call, **given) == (
                f"{name}() missing required argument '{last.name}' (pos {len(required)})"), name
        checked += 1
    assert checked >= 30


def test_each_parameter_is_converted_under_its_own_name_in_order(objects):
    """With the earlier arguments valid and the rest of a foreign type, the
    failure names the first foreign one: the binding converts the parameters
    the signature names, in its order. No call gets as far as its operation."""
    for name, call, params in _callables(objects):
        valid = {}
        for index, param in enumerate(params):
            rest = {p.name: object() for p in params[index:]}
            message = _message(call, **valid, **rest)
            assert message.startswith(f"argument '{param.name}': "), (name, param.name, message)
            if index == len(params) - 1:
                break
            for candidate in ("x", 1, [("{}", "[]")]):
                attempt = {**valid, param.name: candidate, **{p.name: object() for p in params[index + 1:]}}
                if _message(call, **attempt).startswith(f"argument '{params[index + 1].name}': "):
                    valid[param.name] = candidate
                    break
            else:
                pytest.fail(f"no valid value found for {name}({param.name})")
