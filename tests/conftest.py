import pytest

import storefile


@pytest.fixture
def store_path(tmp_path):
    """Path of a small valid store: keys a, ab, b over two objects."""
    path = tmp_path / "small.vrnl"
    path.write_bytes(storefile.encode_store([b"x", b"yy"], [("a", 0), ("ab", 1), ("b", 0)]))
    return str(path)
