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
        assert error_of('{"id": 7}', key_field="id").startswith("in:1:8: a key must be")
