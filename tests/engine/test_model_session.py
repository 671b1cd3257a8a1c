"""Opening the matting model: construction, _set_model and the default path."""

import builtins
import os
import shutil
import traceback
import types

import onnxruntime
import pytest


def entries(error):
    return [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__) if f.filename == "portrait_main"]


class RecordingRuntime(types.SimpleNamespace):
    """Stands in for onnxruntime: records how sessions are created."""

    def __init__(self):
        super().__init__(calls=[])

    def InferenceSession(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("session", args)


def test_explicit_path_opens_that_model(pm, red_model):
    engine = pm.QuorinPortraitMain(str(red_model))
    assert isinstance(engine._session, onnxruntime.InferenceSession)
    assert engine._session._model_path == str(red_model)
    assert [i.name for i in engine._session.get_inputs()] == ["input"]
    assert vars(engine).keys() == {"_session"}


@pytest.mark.parametrize("falsy", [None, "", 0, False, ()])
def test_falsy_path_opens_modnet_beside_the_module_file(pm, red_model, tmp_path, monkeypatch, falsy):
    shutil.copy(red_model, tmp_path / "modnet.onnx")
    monkeypatch.setattr(pm, "__file__", str(tmp_path / "portrait_main.so"))
    engine = pm.QuorinPortraitMain(falsy)
    assert engine._session._model_path == str(tmp_path / "modnet.onnx")


def test_default_path_is_made_absolute_from_the_current_directory(pm, red_model, tmp_path, monkeypatch):
    shutil.copy(red_model, tmp_path / "modnet.onnx")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(pm, "__file__", "portrait_main.so")
    engine = pm.QuorinPortraitMain(None)
    assert engine._session._model_path == os.path.join(str(tmp_path), "modnet.onnx")


def test_runtime_gets_the_path_alone_and_unchanged(pm, monkeypatch, tmp_path):
    runtime = RecordingRuntime()
    monkeypatch.setattr(pm, "rt", runtime)
    path_like = tmp_path / "model.onnx"  # a truthy path-like object goes through as it is
    engine = pm.QuorinPortraitMain(path_like)
    assert runtime.calls == [((path_like,), {})]
    assert engine._session == ("session", (path_like,))
    pm.QuorinPortraitMain(None)
    (default,), _ = runtime.calls[1]
    assert default == os.path.join(os.path.dirname(os.path.abspath(pm.__file__)), "modnet.onnx")


def test_default_path_is_computed_even_when_a_path_is_given(pm, red_model, monkeypatch):
    monkeypatch.delattr(pm, "__file__")
    with pytest.raises(NameError) as caught:
        pm.QuorinPortraitMain(str(red_model))
    assert str(caught.value) == "name '__file__' is not defined"
    assert entries(caught.value) == [
        ("portrait_main", "portrait_main.QuorinPortraitMain.__init__"),
        ("portrait_main", "portrait_main.QuorinPortraitMain._set_model"),
    ]


def test_module_names_are_looked_up_at_each_call(pm, red_model, monkeypatch):
    seen = []

    class RecordingPath(types.SimpleNamespace):
        def __getattribute__(self, name):
            seen.append(name)
            return getattr(os.path, name)

    monkeypatch.setattr(pm, "os", types.SimpleNamespace(path=RecordingPath()))
    pm.QuorinPortraitMain(str(red_model))
    assert seen == ["join", "dirname", "abspath"]

    monkeypatch.delattr(pm, "os")
    with pytest.raises(NameError, match=r"^name 'os' is not defined$"):
        pm.QuorinPortraitMain(str(red_model))

    # A name missing from the module falls back to the builtins.
    monkeypatch.setattr(builtins, "os", os, raising=False)
    assert pm.QuorinPortraitMain(str(red_model))._session._model_path == str(red_model)


def test_rebinding_rt_takes_effect_on_the_next_call(pm, red_model, monkeypatch):
    engine = pm.QuorinPortraitMain(str(red_model))
    runtime = RecordingRuntime()
    monkeypatch.setattr(pm, "rt", runtime)
    engine._set_model(str(red_model))
    assert engine._session == ("session", (str(red_model),))
    monkeypatch.delattr(pm, "rt")
    with pytest.raises(NameError, match="name 'rt' is not defined"):
        engine._set_model(str(red_model))


def test_missing_model_file_fails_construction(pm, tmp_path):
    missing = str(tmp_path / "missing.onnx")
    with pytest.raises(Exception) as caught:
        pm.QuorinPortraitMain(missing)
    assert type(caught.value).__module__.startswith("onnxruntime")
    assert "missing.onnx" in str(caught.value)
    assert entries(caught.value) == [
        ("portrait_main", "portrait_main.QuorinPortraitMain.__init__"),
        ("portrait_main", "portrait_main.QuorinPortraitMain._set_model"),
    ]


def test_failed_reopen_keeps_the_old_session(pm, red_model, other_model, tmp_path):
    engine = pm.QuorinPortraitMain(str(red_model))
    first = engine._session
    with pytest.raises(Exception):
        engine._set_model(str(tmp_path / "missing.onnx"))
    assert engine._session is first
    not_a_model = tmp_path / "text.onnx"
    not_a_model.write_text("not a model")
    with pytest.raises(Exception):
        engine._set_model(str(not_a_model))
    assert engine._session is first

    engine._set_model(str(other_model))
    assert engine._session is not first
    assert engine._session._model_path == str(other_model)


def test_subclass_override_of_set_model_is_the_one_called(pm, red_model):
    class Engine(pm.QuorinPortraitMain):
        def _set_model(self, onnx_path):
            self.opened = onnx_path
            super()._set_model(onnx_path)

    engine = Engine(str(red_model))
    assert engine.opened == str(red_model)
    assert engine._session._model_path == str(red_model)

    class Broken(pm.QuorinPortraitMain):
        def _set_model(self, onnx_path):
            raise LookupError("refused")

    with pytest.raises(LookupError) as caught:
        Broken(str(red_model))
    assert entries(caught.value) == [("portrait_main", "portrait_main.QuorinPortraitMain.__init__")]


def test_init_returns_none_and_can_run_again(pm, red_model, other_model):
    engine = pm.QuorinPortraitMain(str(red_model))
    assert engine.__init__(str(other_model)) is None
    assert engine._session._model_path == str(other_model)
