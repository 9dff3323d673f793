"""The JSON Lines form: tagged values both ways, and the strict line reader."""

import json

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from values import same
from vornel import jsonl


values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text()
    | st.binary() | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary()),
    lambda inner: st.lists(inner, max_size=3)
    | st.dictionaries(st.text(max_size=3).map(lambda s: "$" + s) | st.text(), inner, max_size=3)
    | st.dictionaries(st.integers() | st.binary(), inner, max_size=3),
    max_leaves=10,
)


def read(*lines, key_field=None):
    data = [line if isinstance(line, bytes) else line.encode() for line in lines]
    return [(r[jsonl.KEY], r[jsonl.VALUE]) for r in jsonl.read_records(data, "in", key_field)]


def error_of(*lines, key_field=None):
    with pytest.raises(jsonl.LineError) as caught:
        read(*lines, key_field=key_field)
    return str(caught.value)


class TestTaggedForm:
    @settings(max_examples=200, deadline=None)
    @given(values)
    def test_reversible_through_json_text(self, value):
        text = json.dumps(jsonl.encode(value), allow_nan=False)
        assert same(jsonl.decode(json.loads(text)), value, nan_bits=False)
        # The reader takes the same text back through a line.
        line = '{"key": "k", "value": %s}\n' % text
        assert same(read(line)[0][1], value, nan_bits=False)

    @settings(max_examples=300, deadline=None)
    @given(st.text() | st.binary(), values)
    def test_pair_line_writes_what_the_tagged_form_writes(self, key, value):
        """The line of a plain value skips the tagged form's walk: it must come out as
        the walk would write it, however the value mixes plain and tagged parts."""
        key_form = key if isinstance(key, str) else jsonl.encode_key(key)
        walked = json.dumps({"key": key_form, "value": jsonl.encode(value)},
                            ensure_ascii=False, allow_nan=False)
        assert jsonl.pair_line(key, value) == walked.encode() + b"\n"
        assert b"".join(jsonl.pair_lines([(key, value)] * 3, block=2)) == (
            walked.encode() + b"\n") * 3
        assert jsonl.value_line(value) == json.dumps(
            jsonl.encode(value), ensure_ascii=False, allow_nan=False).encode() + b"\n"

    @pytest.mark.parametrize(
        "bad",
        [{"$float": "NaN"}, {"$ext": [128, ""]}, {"$ext": [True, ""]}, {"$map": [[1]]},
         {"$map": [[[1], 2]]}, {"$esc": {"a": 1, "b": 2}}, {"$esc": 1}, {"$bytes": 5},
         {"$nope": 1}],
    )
    def test_malformed_tags(self, bad):
        with pytest.raises(jsonl.TagError):
            jsonl.decode(bad)

    def test_tags_are_decided_on_parsed_names(self):
        escaped = '{"key": "a", "value": {"\\u0024bytes": "AAE="}}'
        assert read(escaped) == [("a", b"\x00\x01")]
        assert read('{"key": {"\\u0024bytes": "/w=="}, "value": 1}') == [(b"\xff", 1)]
        assert "unknown tag '$x'" in error_of('{"key": "a", "value": {"\\u0024x": 1}}')


class TestStrictLines:
    @pytest.mark.parametrize(
        ("line", "where", "message"),
        [
            ('{"key": "c", "value": NaN}', "1:23", "NaN is not JSON"),
            ('{"key": "c", "value": [1, -Infinity]}', "1:27", "-Infinity is not JSON"),
            ('{"key": "c", "value": 1e400}', "1:23", "too large for a float"),
            ('{"key": "c", "value": "1e400", "x": -1E+400}', "1:37", "too large for a float"),
            ('{"key": "c",\u00a0"value": 1}', "1:13", "U+00A0 (no-break space) is not JSON "
             "whitespace"),
            ('\f{"key": "c", "value": 1}', "1:1", "U+000C (form feed) is not JSON whitespace"),
            ('{"key": "c", "value": 1}\u2003', "1:25", "U+2003 (em space) is not JSON"),
            ('{"key": "ü", "value": [1,}', "1:26", "Expecting value"),
            ('{"key": "c", "value": 1} 2', "1:26", "more after the JSON value"),
            # Deeper than the parser goes: reported at the first level past the store's limit.
            ('{"key": "c", "value": %s}' % ("[" * 30000 + "]" * 30000), "1:1046",
             "nested too deeply"),
        ],
    )
    def test_refused_with_line_and_column(self, line, where, message):
        err = error_of('{"key": "a", "value": 1}', "", line)
        assert err.startswith(f"in:3:{where[2:]}: ") and message in err, err

    def test_json_whitespace_and_blank_lines_are_fine(self):
        assert read('\t{ "key" : "b" , "value" :\t2 }\r\n', "  \n") == [("b", 2)]
        assert read('  {"key": "a", "value": 1} \r\n', "\r\n", '{"key":"b","value":2}') == [
            ("a", 1), ("b", 2)]

    def test_byte_order_mark(self):
        bom = "\ufeff"
        assert read(bom + '{"key": "a", "value": 1}') == [("a", 1)]
        err = error_of('{"key": "a", "value": 1}', bom + '{"key": "b", "value": 1}')
        assert err.startswith("in:2:1: ") and "byte order mark" in err and "sed" in err
        assert "iconv" in error_of(b'\xff\xfe{\x00')

    def test_utf8_errors_count_characters(self):
        assert error_of(b'{"key": "\xc3\xbc\xff"}').startswith("in:1:11: not UTF-8: byte 0xff")


class TestBeyondTheParser:
    """Input past what Python's own parts take stops at its line and column."""

    @pytest.mark.parametrize("digits", [4301, 20_000])
    def test_huge_integers(self, digits):
        line = '{"key": "a", "value": [1, -%s]}' % ("9" * digits)
        assert error_of("", line) == (f"in:2:27: integer of {digits} digits is too large "
                                      "(a store holds integers of 64 bits)")

    @pytest.mark.parametrize("tag", ["$esc", "$map"])
    def test_tags_nested_past_the_interpreter_stack(self, tag):
        levels = 2000
        inner = '{"$esc": {"$a": %s}}' if tag == "$esc" else '{"$map": [[1, %s]]}'
        text = "1"
        for _ in range(levels):
            text = inner % text
        err = error_of('{"key": "a", "value": %s}' % text)
        assert err.startswith("in:1:") and ("nested too deeply" in err), err[:200]

    def test_tags_as_deep_as_a_store_holds_decode(self):
        import sys
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(8 * jsonl.MAX_DEPTH)  # as the tool sets it
        try:
            text = "1"
            for _ in range(jsonl.MAX_DEPTH - 1):
                text = '{"$map": [[1, %s]]}' % text
            (_, value), = read('{"key": "a", "value": %s}' % text)
        finally:
            sys.setrecursionlimit(limit)
        depth = 0
        while isinstance(value, dict):
            value, depth = value[1], depth + 1
        assert (depth, value) == (jsonl.MAX_DEPTH - 1, 1)

    @pytest.mark.parametrize("member", ["7", "-12", "123456789012345678901234567890"])
    def test_numeric_keys_only_when_asked(self, member):
        line = '{"id": %s, "x": 1}' % member
        assert error_of(line, key_field="id").startswith(
            f"in:1:8: the key is the number {member} (--numeric-key")
        records = list(jsonl.read_records([line.encode()], "in", "id", numeric_keys=True))
        assert [(r[jsonl.KEY], r[jsonl.VALUE]) for r in records] == [
            (member, {"id": int(member), "x": 1})]


class TestRecordShapes:
    @pytest.mark.parametrize(
        ("line", "expected"),
        [
            ('{"key": "c"}', 'in:1:1: missing member "value"'),
            ('  {"value": 1}', 'in:1:3: missing member "key"'),
            ('{"key": "c", "value": 1, "id": 2}', 'in:1:26: unexpected member "id"'),
            ('["c", 1]', "in:1:1: expected an object"),
            ('{"key": 3, "value": 1}', "in:1:9: a key must be a string"),
            ('{"key": "c", "value": {"a": [1, {"$nope": 1}]}}', "in:1:33: unknown tag '$nope'"),
            ('{"key": "c", "value": {"$map": [[1, {"$bytes": 5}]]}}', "in:1:37: base64 text"),
            ('{"key": "c", "value": {"$bytes": "@@"}}', "in:1:23: invalid base64"),
        ],
    )
    def test_errors_name_the_member_and_point_at_it(self, line, expected):
        assert error_of(line).startswith(expected)

    def test_records_by_key_field(self):
        lines = ['{"id": "a", "n": 1}', '{"n": 2, "id": {"$bytes": "/w=="}, "b": {"$bytes": "AA=="}}']
        assert read(*lines, key_field="id") == [
            ("a", {"id": "a", "n": 1}), (b"\xff", {"n": 2, "id": b"\xff", "b": b"\x00"})]
        # The record itself is a map, even when it has one "$" member.
        assert read('{"$bytes": "AAE="}', key_field="$bytes") == [
            ("AAE=", {"$bytes": "AAE="})]
        assert error_of('{"n": 1}', key_field="id").startswith('in:1:1: no member "id"')
        assert error_of('{"id": 7}', key_field="id").startswith(
            "in:1:8: the key is the number 7 (--numeric-key")
        assert error_of('{"id": 7.0}', key_field="id").startswith("in:1:8: a key must be")
