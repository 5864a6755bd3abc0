import hashlib

import pytest

from orvane_verify.canonical import JsonError, canonical_text, json_equal, parse


def canon(text):
    return canonical_text(parse(text))


def test_objects_are_written_sorted_by_bytes_without_whitespace():
    assert canon(' { "b" : 1 , "a" : [ true , null ] } ') == '{"a":[true,null],"b":1}'
    assert canon('{"a":1,"a":2}') == '{"a":2}'
    assert canon('{"a":1,"B":2,"aa":3,"\u00e9":4,"z":5}') == '{"B":2,"a":1,"aa":3,"z":5,"\u00e9":4}'


@pytest.mark.parametrize("text,expected", [
    ("1", "1"), ("1.0", "1.0"), ("1e2", "100.0"), ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"), ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"), ("-0", "-0.0"), ("-0.0", "-0.0"), ("0.1", "0.1"),
    ("123456789012345680000.0", "1.2345678901234568e+20"), ("0.000001", "1e-6"), ("0.00001", "0.00001"),
    ("1e15", "1000000000000000.0"), ("1e16", "1e+16"), ("1.5e16", "1.5e+16"), ("2.5e-7", "2.5e-7"),
    ("12.5", "12.5"), ("-3.25e-3", "-0.00325"),
])
def test_numbers_keep_their_kind_and_shortest_form(text, expected):
    assert canon(text) == expected


def test_strings_escape_only_quote_backslash_and_controls():
    assert canon('"\\u00e9\\/\\t\\u001f\\u007f\\""') == '"\u00e9/\\t\\u001f\u007f\\""'
    assert canon('"\\b\\f\\n\\r\\u0001"') == '"\\b\\f\\n\\r\\u0001"'


@pytest.mark.parametrize("text", ["1E400", "{} x", "NaN", "[1,]", '"\\ud800"', '"a\tb"', "01", "\ufeff{}"])
def test_refused_texts(text):
    with pytest.raises(JsonError):
        parse(text)


def test_nesting_limit_and_whitespace():
    parse("[" * 127 + "]" * 127)
    with pytest.raises(JsonError):
        parse("[" * 128 + "]" * 128)
    assert parse("{}\n\t ") == {}
    with pytest.raises(JsonError):
        parse(b"\xff")


def test_digest_of_empty_object_and_strict_equality():
    assert hashlib.sha256(canon("{}").encode()).hexdigest() == hashlib.sha256(b"{}").hexdigest()
    assert not json_equal(1, 1.0) and not json_equal(1, True) and not json_equal(0.0, -0.0)
    assert json_equal({"a": [1, "x"]}, {"a": [1, "x"]})
