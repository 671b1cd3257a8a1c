"""The engine class, its method objects and how they bind arguments."""

import ctypes
import inspect
import pydoc
import traceback

import numpy as np
import pytest

METHODS = {
    "__init__": ("(self, onnx_path)", None),
    "_set_model": ("(self, onnx_path)", None),
    "_image": ("(self, image_path, save_path, input_size=None)", (None,)),
    "_process_image": ("(self, resize_img)", None),
}


def traceback_entries(error):
    return [(frame.filename, frame.name) for frame in traceback.extract_tb(error.__traceback__)]


def test_class_is_a_plain_class(pm):
    cls = pm.QuorinPortraitMain
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == "QuorinPortraitMain"
    assert cls.__module__ == "portrait_main"
    assert cls.__doc__ is None
    assert [name for name in vars(cls) if not name.startswith("__") or name == "__init__"] == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(pm, name):
    signature, defaults = METHODS[name]
    method = vars(pm.QuorinPortraitMain)[name]
    assert method.__name__ == name
    assert method.__qualname__ == f"QuorinPortraitMain.{name}"
    assert method.__module__ == "portrait_main"
    assert method.__doc__ == f"QuorinPortraitMain.{name}{signature}"
    assert method.__defaults__ == defaults
    assert str(inspect.signature(method)) == signature
    assert callable(method)
    assert f"{name}{signature}" in pydoc.render_doc(method, renderer=pydoc.plaintext)


@pytest.mark.parametrize("name", METHODS)
def test_methods_bind_like_python_functions(pm, engine, name):
    cls = pm.QuorinPortraitMain
    function = vars(cls)[name]
    assert getattr(cls, name) is function
    bound = getattr(engine, name)
    assert bound.__self__ is engine and bound.__func__ is function
    signature = METHODS[name][0].replace("self, ", "")
    assert str(inspect.signature(bound)) == signature


def test_help_on_the_class_shows_the_constructor(pm):
    # pydoc lists no private names on a class (as for any Python class); the
    # constructor's signature is what help() shows there.
    text = pydoc.render_doc(pm.QuorinPortraitMain, renderer=pydoc.plaintext)
    assert "QuorinPortraitMain(onnx_path)" in text
    assert "__init__(self, onnx_path)" in text


def _bad_calls(cls, engine, bogus_path):
    """(call, expected message) for every argument error form."""
    C = cls
    e = engine
    return [
        # exactly: no defaults
        (lambda: C(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: C(bogus_path, bogus_path), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: C.__init__(), "__init__() takes exactly 2 positional arguments (0 given)"),
        (lambda: C.__init__(onnx_path=bogus_path), "__init__() takes exactly 2 positional arguments (0 given)"),
        (lambda: e._set_model(), "_set_model() takes exactly 2 positional arguments (1 given)"),
        (lambda: e._set_model(1, 2), "_set_model() takes exactly 2 positional arguments (3 given)"),
        (lambda: e._process_image(), "_process_image() takes exactly 2 positional arguments (1 given)"),
        (lambda: C._process_image(), "_process_image() takes exactly 2 positional arguments (0 given)"),
        (lambda: e._process_image(1, 2), "_process_image() takes exactly 2 positional arguments (3 given)"),
        # a missing parameter is reported before any stray keyword
        (lambda: e._set_model(bogus=1), "_set_model() takes exactly 2 positional arguments (1 given)"),
        # at least / at most: with a default
        (lambda: e._image(), "_image() takes at least 3 positional arguments (1 given)"),
        (lambda: e._image("a"), "_image() takes at least 3 positional arguments (2 given)"),
        (lambda: e._image(save_path="b"), "_image() takes at least 3 positional arguments (1 given)"),
        (lambda: e._image("a", input_size=1), "_image() takes at least 3 positional arguments (2 given)"),
        (lambda: C._image(image_path="a", save_path="b"), "_image() takes at least 3 positional arguments (0 given)"),
        (lambda: e._image(1, 2, 3, 4), "_image() takes at most 4 positional arguments (5 given)"),
        (lambda: e._image(1, 2, 3, 4, input_size=5), "_image() takes at most 4 positional arguments (5 given)"),
        # keywords
        (lambda: e._set_model(onnx_path=1, bogus=2), "_set_model() got an unexpected keyword argument 'bogus'"),
        (lambda: e._image("a", "b", bogus=1), "_image() got an unexpected keyword argument 'bogus'"),
        (lambda: e._image("a", "b", image_path="c"), "_image() got multiple values for keyword argument 'image_path'"),
        (lambda: e._image("a", "b", self=e), "_image() got multiple values for keyword argument 'self'"),
        (lambda: e._process_image(1, resize_img=2), "_process_image() got multiple values for keyword argument 'resize_img'"),
        (lambda: C.__init__(e, 1, onnx_path=2), "__init__() got multiple values for keyword argument 'onnx_path'"),
        # the first bad keyword, in the caller's order, is the one reported
        (lambda: e._image("a", "b", "c", zeta=1, image_path=2), "_image() got an unexpected keyword argument 'zeta'"),
        (lambda: e._image("a", "b", "c", image_path=2, zeta=1), "_image() got multiple values for keyword argument 'image_path'"),
    ]


def test_every_argument_error_form(pm, engine, tmp_path):
    session = engine._session
    for call, message in _bad_calls(pm.QuorinPortraitMain, engine, str(tmp_path / "missing.onnx")):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message
    assert engine._session is session  # nothing on the engine changed


def test_argument_errors_name_the_method_in_the_traceback(engine):
    with pytest.raises(TypeError) as caught:
        engine._image()
    assert traceback_entries(caught.value)[-1] == ("portrait_main", "portrait_main.QuorinPortraitMain._image")


def test_non_string_keywords_are_refused(pm, engine):
    # From Python code the interpreter itself refuses them before the call...
    with pytest.raises(TypeError, match="keywords must be strings"):
        engine._process_image(**{1: 2})
    # ...and a native caller that passes one anyway gets the method's own error.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    for keyword in (1, b"resize_img", None):
        stack = (ctypes.py_object * 3)(engine, "image", "value")
        with pytest.raises(TypeError) as caught:
            vectorcall(pm.QuorinPortraitMain._process_image, ctypes.addressof(stack), 2, (keyword,))
        assert str(caught.value) == "_process_image() keywords must be strings"


def test_every_parameter_binds_by_keyword_including_self(pm, engine, red_model, other_model):
    cls = pm.QuorinPortraitMain
    cls._set_model(self=engine, onnx_path=str(other_model))
    assert engine._session._model_path == str(other_model)
    cls._set_model(onnx_path=str(red_model), self=engine)
    assert engine._session._model_path == str(red_model)
    fresh = cls(onnx_path=str(red_model))
    assert fresh._session._model_path == str(red_model)
    engine._input_size = (4, 2)
    letterboxed = cls._process_image(resize_img=np.zeros((2, 2, 3), np.uint8), self=engine)
    assert letterboxed.shape == (2, 4, 3)


def test_method_objects_cannot_be_changed(pm):
    method = pm.QuorinPortraitMain._image
    for attribute in ("__name__", "__defaults__", "__doc__"):
        with pytest.raises(AttributeError):
            setattr(method, attribute, None)


def test_method_objects_can_be_weakly_referenced_pickled_and_copied(pm, engine):
    import copy
    import functools
    import pickle
    import weakref

    cls = pm.QuorinPortraitMain
    method = weakref.WeakMethod(engine._image)
    assert method() == engine._image
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(cls._image, protocol)) is cls._image
    partial = copy.deepcopy(functools.partial(cls._process_image, [1, 2]))
    assert partial.func is cls._process_image
