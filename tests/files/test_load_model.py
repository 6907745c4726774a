import base64
import gc
import pickle
import sys
import types
import warnings

import numpy as np
import pytest

import movra


def store(path, record):
    with open(path, "wb") as f:
        pickle.dump(record, f)
    return str(path)


def encode(text):
    """The stored form of an architecture: Base64 of its UTF-8, characters reversed."""
    return base64.b64encode(text.encode("utf-8")).decode("ascii")[::-1]


@pytest.fixture
def fake_keras(monkeypatch):
    """A stand-in keras.models whose model_from_json records what it got."""
    built = []

    class Model:
        def __init__(self, text):
            self.text, self.weights = text, None

        def set_weights(self, w):
            self.weights = w

    def model_from_json(text):
        built.append(Model(text))
        return built[-1]

    keras, models = types.ModuleType("keras"), types.ModuleType("keras.models")
    models.model_from_json = model_from_json
    keras.models = models
    monkeypatch.setitem(sys.modules, "keras", keras)
    monkeypatch.setitem(sys.modules, "keras.models", models)
    return models


class TestRecords:
    @pytest.mark.parametrize("record", [
        {"tag": "sklearn", "mapping": [1, 2], "extra": {"a": np.arange(3).tolist()}},
        {"tag": "Keras", "mapping": "not a network"},
    ])
    def test_other_tags_come_back_as_stored(self, tmp_path, record):
        assert movra.load_model(store(tmp_path / "m.pkl", record)) == record

    def test_other_tag_does_not_import_keras(self, tmp_path, run_python):
        path = store(tmp_path / "m.pkl", {"tag": "other", "mapping": None})
        code = "import sys, movra\nr = movra.load_model(sys.argv[1])\nprint(r['tag'], 'keras' in sys.modules)"
        result = run_python(code, path)
        assert result.stdout.split() == ["other", "False"], result.stderr

    @pytest.mark.parametrize("arch", [encode('{"net": "ü"}'), encode('{"net": "ü"}').encode("ascii")])
    def test_network_record_is_rebuilt(self, tmp_path, fake_keras, arch):
        w = [np.ones(2), np.zeros(1)]
        record = movra.load_model(store(tmp_path / "m.pkl", {"tag": "keras", "mapping": (arch, w, "third"), "k": 1}))
        model = record["mapping"]
        assert model.text == '{"net": "ü"}' and [a.tolist() for a in model.weights] == [[1, 1], [0]]
        assert record["k"] == 1 and "model_from_json" not in vars(movra) and "base64" not in vars(movra)

    def test_file_closed_after_load(self, tmp_path):
        path = store(tmp_path / "m.pkl", {"tag": "x"})
        (tmp_path / "bad.pkl").write_bytes(b"garbage")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            movra.load_model(path)
            with pytest.raises(pickle.UnpicklingError):
                movra.load_model(str(tmp_path / "bad.pkl"))
            gc.collect()
        assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


class TestFailures:
    @pytest.mark.parametrize("content, error", [
        (b"not a pickle", pickle.UnpicklingError),
        (b"\x80\x04\x95", pickle.UnpicklingError),                        # truncated
        (b"", EOFError),
        (b"c__no_such_module__\nThing\n.", ModuleNotFoundError),           # foreign class
        (pickle.dumps({"mapping": 1}), KeyError),
        (pickle.dumps([1, 2]), TypeError),
    ])
    def test_bad_files(self, tmp_path, entries, content, error):
        (tmp_path / "m.pkl").write_bytes(content)
        with pytest.raises(error) as info:
            movra.load_model(str(tmp_path / "m.pkl"))
        assert entries(info.value) == ["movra.load_model"]

    def test_missing_file(self, tmp_path, entries):
        with pytest.raises(FileNotFoundError) as info:
            movra.load_model(str(tmp_path / "none.pkl"))
        assert entries(info.value) == ["movra.load_model"]

    def test_keras_without_model_from_json(self, tmp_path, fake_keras):
        del fake_keras.model_from_json
        path = store(tmp_path / "m.pkl", {"tag": "keras", "mapping": [encode("{}"), []]})
        with pytest.raises(ImportError, match=r"^cannot import name model_from_json$"):
            movra.load_model(path)

    @pytest.mark.parametrize("mapping, error", [
        ([encode("{}")], IndexError),
        (["!!not base64", []], ValueError),                  # binascii.Error
        ([base64.b64encode(b"\xff\xfe")[::-1], []], UnicodeDecodeError),
        ([12, []], TypeError),
    ])
    def test_bad_network_records(self, tmp_path, fake_keras, entries, mapping, error):
        with pytest.raises(error) as info:
            movra.load_model(store(tmp_path / "m.pkl", {"tag": "keras", "mapping": mapping}))
        assert entries(info.value) == ["movra.load_model"]


@pytest.fixture(scope="module")
def network(tmp_path_factory):
    keras = pytest.importorskip("keras")
    keras.utils.set_random_seed(0)
    model = keras.Sequential([keras.Input(shape=(4,)), keras.layers.Dense(3, activation="relu"),
                              keras.layers.Dense(2)])
    arch = model.to_json()
    path = tmp_path_factory.mktemp("model") / "net.pkl"
    store(path, {"tag": "keras", "mapping": [encode(arch), model.get_weights(), "ignored"], "name": "net"})
    return model, arch, str(path)


class TestKerasRoundTrip:
    def test_predictions_match(self, network):
        model, _, path = network
        x = np.random.default_rng(0).random((5, 4), dtype=np.float32)
        record = movra.load_model(path)
        assert record["name"] == "net"
        np.testing.assert_allclose(np.asarray(record["mapping"](x)), np.asarray(model(x)), rtol=1e-6)

    def test_two_loads_are_independent(self, network):
        _, _, path = network
        a, b = movra.load_model(path)["mapping"], movra.load_model(path)["mapping"]
        assert a is not b
        a.set_weights([w * 0 for w in a.get_weights()])
        assert any(np.abs(w).sum() > 0 for w in b.get_weights())

    def test_normal_order_base64_does_not_load(self, network, tmp_path):
        model, arch, _ = network
        plain = base64.b64encode(arch.encode("utf-8")).decode("ascii")
        with pytest.raises(Exception):
            movra.load_model(store(tmp_path / "m.pkl", {"tag": "keras", "mapping": [plain, model.get_weights()]}))
