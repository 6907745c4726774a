import time
import types

import pytest

import movra


class TestIsDone:
    def test_missing_file_answers_at_once(self, tmp_path):
        start = time.monotonic()
        assert movra.is_done(str(tmp_path / "missing")) is False
        assert time.monotonic() - start < 0.5

    def test_quiet_file_after_one_second(self, tmp_path):
        (tmp_path / "f").write_text("data")
        start = time.monotonic()
        assert movra.is_done(str(tmp_path / "f")) is True
        assert time.monotonic() - start >= 0.99

    @pytest.fixture
    def during_sleep(self, monkeypatch):
        """Replaces the module's `time` so that an action runs in place of the wait."""
        calls = []

        def install(action):
            monkeypatch.setattr(movra, "time", types.SimpleNamespace(sleep=lambda s: (calls.append(s), action())))
            return calls

        return install

    @pytest.mark.parametrize("change, done", [
        (lambda f: f.open("a").write("more"), False),   # still growing
        (lambda f: f.write_text("x"), True),            # truncated and rewritten
        (lambda f: None, True),
    ])
    def test_growth_during_the_wait(self, tmp_path, during_sleep, change, done):
        f = tmp_path / "f"
        f.write_text("data")
        calls = during_sleep(lambda: change(f))
        assert movra.is_done(str(f)) is done
        assert calls == [1]

    def test_directory(self, tmp_path, during_sleep):
        during_sleep(lambda: None)
        assert movra.is_done(str(tmp_path)) is True

    def test_file_removed_during_the_wait(self, tmp_path, during_sleep, entries):
        f = tmp_path / "f"
        f.write_text("data")
        during_sleep(f.unlink)
        with pytest.raises(FileNotFoundError) as info:
            movra.is_done(str(f))
        assert entries(info.value) == ["movra.is_done"]

    def test_bad_argument(self):
        with pytest.raises(TypeError):
            movra.is_done(1.5)
        with pytest.raises(TypeError):
            movra.is_done()


class TestMd5:
    @pytest.mark.parametrize("data, digest", [
        (b"", "d41d8cd98f00b204e9800998ecf8427e"),
        (b"a", "0cc175b9c0f1b6a831c399e269772661"),
        (b"abc", "900150983cd24fb0d6963f7d28e17f72"),
        (b"message digest", "f96b697d7cb7938d525a2f31aaf161d0"),
        (b"1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
    ])
    def test_known_digests(self, data, digest):
        for form in (data, bytearray(data), memoryview(data)):
            assert movra.md5(form) == digest

    @pytest.mark.parametrize("arg", ["text", 12, None])
    def test_not_bytes(self, arg, entries):
        with pytest.raises(TypeError) as info:
            movra.md5(arg)
        assert entries(info.value) == ["movra.md5"]

    def test_import_stays_local(self):
        movra.md5(b"x")
        assert "hashlib" not in vars(movra)
