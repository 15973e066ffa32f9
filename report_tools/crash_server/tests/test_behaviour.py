import pytest

from crash_server.behaviour import FIRST_REQUEST, UPLOAD, parse_mode

# (kind, text, expected fields, canonical text)
VALID = [
    (FIRST_REQUEST, "", dict(answer="redirect", delivery="normal", status=None, hold_seconds=0.0), "redirect"),
    (FIRST_REQUEST, " no-id , slow-body:20 ", dict(answer="no-id", delivery="slow-body", pause_seconds=0.02), "no-id,slow-body:20"),
    (FIRST_REQUEST, "refuse,hold:1.5", dict(answer="redirect", delivery="refuse", hold_seconds=1.5), "hold:1.5,refuse"),
    (FIRST_REQUEST, "status:302", dict(answer="redirect", status=302), "status:302"),
    (FIRST_REQUEST, "long-location:100", dict(location_size=100), "long-location:100"),
    (UPLOAD, "", dict(answer="ok", delivery="normal"), "ok"),
    (UPLOAD, "status:500,hold:2,short-body", dict(status=500, hold_seconds=2.0, delivery="short-body"), "status:500,hold:2,short-body"),
]


@pytest.mark.parametrize("kind,text,fields,canonical", VALID)
def test_valid_modes(kind, text, fields, canonical):
    mode = parse_mode(text, kind)
    assert {name: getattr(mode, name) for name in fields} == fields
    assert str(mode) == canonical
    assert parse_mode(str(mode), kind) == mode


INVALID = [
    (FIRST_REQUEST, "bogus", "unknown first-request mode item"),
    (FIRST_REQUEST, "status:abc", "not a number"),
    (FIRST_REQUEST, "status:600", "outside"),
    (FIRST_REQUEST, "hold:nan", "outside"),
    (FIRST_REQUEST, "hold:3601", "outside"),
    (FIRST_REQUEST, "slow-body:x", "not a number"),
    (FIRST_REQUEST, "long-location:2000000", "outside"),
    (FIRST_REQUEST, "no-id,unavailable", "choose one"),
    (FIRST_REQUEST, "silent,refuse", "choose one"),
    (FIRST_REQUEST, "ok", "unknown"),
    (UPLOAD, "long-location", "unknown upload mode item"),
]


@pytest.mark.parametrize("kind,text,message", INVALID)
def test_invalid_modes_say_why(kind, text, message):
    with pytest.raises(ValueError, match=message):
        parse_mode(text, kind)
