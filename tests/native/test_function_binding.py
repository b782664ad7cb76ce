"""The function objects of figvault.src.files: calling conventions, argument
binding and its messages, and the attributes introspection sees."""

import copy
import ctypes
import gc
import inspect
import pickle
import types
import weakref

import pytest

WRITE_ENTRY = ("figvault.src.files.write_files_from_dict", 22)

CREATE_DOC = (
    "create_file_dict()\n\n"
    "    Small helper function which reads all python files in the scope and saves the text to a dictionary.\n\n"
    "    :return: dict where each key is the file path\n"
    "    "
)
WRITE_DOC = "write_files_from_dict(dict folder_dict: dict, new_folder_path=None)"


class RecordingGlob:
    """Stands in for the glob module and remembers every call."""

    def __init__(self):
        self.calls = []

    def glob(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return []


class DictChild(dict):
    pass


class Holder:
    pass


def call_through_c_api(function, args, kwargs):
    """function(*args, **kwargs) through PyObject_Call, without the
    interpreter's own keyword handling in between."""
    object_call = ctypes.pythonapi.PyObject_Call
    object_call.restype = ctypes.py_object
    object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return object_call(function, tuple(args), kwargs)


# ---- create_file_dict: a function without parameters ----------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "create_file_dict() takes no arguments (1 given)"),
        ((1, 2, 3), {}, "create_file_dict() takes no arguments (3 given)"),
        ((None,), {}, "create_file_dict() takes no arguments (1 given)"),
        ((), {"path": "."}, "create_file_dict() takes no keyword arguments"),
        ((1,), {"path": "."}, "create_file_dict() takes no keyword arguments"),
        ((), {1: 2}, "create_file_dict() takes no keyword arguments"),
    ],
    ids=["one", "three", "none", "keyword", "positional-and-keyword", "non-str-keyword"],
)
def test_create_file_dict_refuses_any_argument(files, workdir, monkeypatch, our_entries, args, kwargs, message):
    (workdir / "plot.py").write_text("x = 1\n")
    recorder = RecordingGlob()
    monkeypatch.setattr(files, "glob", recorder)

    with pytest.raises(TypeError) as caught:
        files.create_file_dict(*args, **kwargs)

    assert str(caught.value) == message
    assert our_entries(caught) == []
    assert recorder.calls == []  # refused before anything is looked at


def test_create_file_dict_accepts_an_empty_keyword_dictionary(files, workdir):
    (workdir / "plot.py").write_text("x = 1\n")
    assert files.create_file_dict(**{}) == {"./plot.py": "x = 1\n"}


def test_create_file_dict_refusal_through_the_c_api(files, workdir):
    with pytest.raises(TypeError, match=r"^create_file_dict\(\) takes no keyword arguments$"):
        call_through_c_api(files.create_file_dict, (), {1: 2})
    assert call_through_c_api(files.create_file_dict, (), {}) == {}


# ---- write_files_from_dict: named parameters ------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "write_files_from_dict() takes at least 1 positional argument (0 given)"),
        ((), {"new_folder_path": "out"}, "write_files_from_dict() takes at least 1 positional argument (0 given)"),
        # The required parameter is looked for before any key is judged.
        ((), {1: 2}, "write_files_from_dict() takes at least 1 positional argument (0 given)"),
        (({}, "out", "extra"), {}, "write_files_from_dict() takes at most 2 positional arguments (3 given)"),
        (
            ({}, "out", "extra", "more"),
            {"folder_dict": {}},
            "write_files_from_dict() takes at most 2 positional arguments (4 given)",
        ),
        (({},), {1: 2}, "write_files_from_dict() keywords must be strings"),
        ((), {"folder_dict": {}, 1: 2}, "write_files_from_dict() keywords must be strings"),
        (({},), {2: 3, "target": 1}, "write_files_from_dict() keywords must be strings"),
        (({},), {"folder_dict": {}}, "write_files_from_dict() got multiple values for keyword argument 'folder_dict'"),
        (
            ({}, "out"),
            {"new_folder_path": "other"},
            "write_files_from_dict() got multiple values for keyword argument 'new_folder_path'",
        ),
        (
            ({},),
            {"folder_dict": {}, "target": 1},
            "write_files_from_dict() got multiple values for keyword argument 'folder_dict'",
        ),
        (({},), {"target": "out"}, "write_files_from_dict() got an unexpected keyword argument 'target'"),
        ((), {"folder_dict": {}, "target": "out"}, "write_files_from_dict() got an unexpected keyword argument 'target'"),
        (({},), {"target": 1, 2: 3}, "write_files_from_dict() got an unexpected keyword argument 'target'"),
        (({},), {"Folder_Dict": {}}, "write_files_from_dict() got an unexpected keyword argument 'Folder_Dict'"),
    ],
    ids=[
        "nothing",
        "only-new-folder-path",
        "only-non-str-keyword",
        "three-positional",
        "four-positional-and-keyword",
        "non-str-keyword",
        "non-str-keyword-after-folder-dict",
        "non-str-keyword-first",
        "folder-dict-twice",
        "new-folder-path-twice",
        "twice-before-unexpected",
        "unexpected",
        "unexpected-after-keyword-folder-dict",
        "unexpected-first",
        "names-are-case-sensitive",
    ],
)
def test_write_files_from_dict_binding_refusals(files, workdir, capsys, listing, our_entries, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        files.write_files_from_dict(*args, **kwargs)

    assert str(caught.value) == message
    assert our_entries(caught) == [WRITE_ENTRY]
    assert listing(workdir) == []  # nothing of the body ran
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (({},), {1: 2}, "write_files_from_dict() keywords must be strings"),
        ((), {}, "write_files_from_dict() takes at least 1 positional argument (0 given)"),
        (({},), {"folder_dict": {}}, "write_files_from_dict() got multiple values for keyword argument 'folder_dict'"),
    ],
    ids=["non-str-keyword", "nothing", "multiple-values"],
)
def test_write_files_from_dict_refusals_through_the_c_api(files, workdir, listing, our_entries, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        call_through_c_api(files.write_files_from_dict, args, kwargs)
    assert str(caught.value) == message
    assert our_entries(caught) == [WRITE_ENTRY]
    assert listing(workdir) == []


def test_count_message_without_keyword_dictionary_through_the_c_api(files, workdir, our_entries):
    object_call = ctypes.pythonapi.PyObject_Call
    object_call.restype = ctypes.py_object
    object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    with pytest.raises(TypeError) as caught:
        object_call(files.write_files_from_dict, (), None)
    assert str(caught.value) == "write_files_from_dict() takes at least 1 positional argument (0 given)"
    assert our_entries(caught) == [WRITE_ENTRY]


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([], "list"),
        ([("./a.py", "x")], "list"),
        ("./a.py", "str"),
        (0, "int"),
        ((), "tuple"),
        (DictChild({"./a.py": "x"}), "DictChild"),
        (DictChild(), "DictChild"),
    ],
    ids=["empty-list", "list-of-pairs", "str", "int", "tuple", "dict-subclass", "empty-dict-subclass"],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_folder_dict_of_another_type_is_refused(files, workdir, capsys, listing, our_entries, value, type_name, by_keyword):
    with pytest.raises(TypeError) as caught:
        if by_keyword:
            files.write_files_from_dict(folder_dict=value, new_folder_path="out")
        else:
            files.write_files_from_dict(value, "out")

    assert str(caught.value) == f"Argument 'folder_dict' has incorrect type (expected dict, got {type_name})"
    assert our_entries(caught) == []  # the type refusal adds no entry
    assert listing(workdir) == []
    assert capsys.readouterr().out == ""


def test_none_passes_the_binding_and_fails_in_the_body(files, workdir, our_entries):
    with pytest.raises(TypeError) as caught:
        files.write_files_from_dict(None, "out")
    assert str(caught.value) == "'NoneType' object is not iterable"
    assert our_entries(caught) == [("figvault.src.files.write_files_from_dict", 32)]


def test_keyword_given_as_str_subclass_binds(files, workdir):
    class Name(str):
        pass

    files.write_files_from_dict(**{Name("folder_dict"): {"./a.py": "a"}, Name("new_folder_path"): "out"})
    assert (workdir / "out" / "a.py").read_text() == "a"


def test_renaming_does_not_change_the_binding_messages(files, workdir, monkeypatch, our_entries):
    monkeypatch.setattr(files.write_files_from_dict, "__name__", "renamed")
    monkeypatch.setattr(files.write_files_from_dict, "__qualname__", "Renamed.renamed")
    monkeypatch.setattr(files.create_file_dict, "__name__", "other")

    with pytest.raises(TypeError) as caught:
        files.write_files_from_dict()
    assert str(caught.value) == "write_files_from_dict() takes at least 1 positional argument (0 given)"
    assert our_entries(caught) == [WRITE_ENTRY]

    with pytest.raises(TypeError, match=r"^write_files_from_dict\(\) got an unexpected keyword argument 'x'$"):
        files.write_files_from_dict({}, x=1)

    with pytest.raises(TypeError, match=r"^create_file_dict\(\) takes no arguments \(1 given\)$"):
        files.create_file_dict(1)


# ---- method binding --------------------------------------------------------


def test_functions_bind_as_methods(files, workdir, listing, our_entries):
    class Restorer:
        restore = files.write_files_from_dict
        collect = files.create_file_dict

    assert Restorer.restore is files.write_files_from_dict
    assert Restorer.__dict__["collect"] is files.create_file_dict

    instance = Restorer()
    bound = instance.restore
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is files.write_files_from_dict
    assert bound.__self__ is instance

    # The instance arrives as folder_dict and is refused as a wrong type.
    for call in (lambda: instance.restore(), lambda: instance.restore({}), lambda: instance.restore("out")):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == "Argument 'folder_dict' has incorrect type (expected dict, got Restorer)"
        assert our_entries(caught) == []

    with pytest.raises(TypeError, match=r"^create_file_dict\(\) takes no arguments \(1 given\)$"):
        instance.collect()
    assert listing(workdir) == []


def test_binding_through_none_and_class_gives_the_function(files):
    function = files.write_files_from_dict
    assert function.__get__(None, Holder) is function
    assert type(function).__get__(function, None, Holder) is function
    method = function.__get__(Holder(), Holder)
    assert method.__func__ is function


# ---- attributes ------------------------------------------------------------


@pytest.mark.parametrize(
    "name, qualname, doc, defaults, annotations",
    [
        ("create_file_dict", "create_file_dict", CREATE_DOC, None, {}),
        ("write_files_from_dict", "write_files_from_dict", WRITE_DOC, (None,), {"folder_dict": "dict"}),
    ],
)
def test_attributes(files, name, qualname, doc, defaults, annotations):
    function = getattr(files, name)
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "figvault.src.files"
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert function.__annotations__ == annotations
    assert type(function.__annotations__) is dict
    assert function.__globals__ is vars(files)
    assert function.__closure__ is None
    assert function.__self__ is None
    assert inspect.getdoc(function) == inspect.cleandoc(doc)


def test_annotation_is_the_string_dict(files):
    annotation = files.write_files_from_dict.__annotations__["folder_dict"]
    assert annotation == "dict"
    assert type(annotation) is str


def test_both_functions_share_one_type(files):
    assert type(files.create_file_dict) is type(files.write_files_from_dict)
    assert callable(files.create_file_dict)


@pytest.mark.parametrize(
    "name, argcount, varnames, first_line",
    [
        ("create_file_dict", 0, ("python_files", "python_files_list", "f", "file"), 5),
        (
            "write_files_from_dict",
            2,
            ("folder_dict", "new_folder_path", "cwd", "key", "base_path", "file_name", "text", "file"),
            22,
        ),
    ],
)
def test_code_object(files, name, argcount, varnames, first_line):
    code = getattr(files, name).__code__
    assert isinstance(code, types.CodeType)
    assert code.co_name == name
    assert code.co_filename == "figvault/src/files.py"
    assert code.co_firstlineno == first_line
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags & 3 == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
    assert code.co_freevars == ()
    assert code.co_cellvars == ()
    assert code.co_names == ()
    assert code.co_consts == ()


def test_code_object_is_made_once(files):
    assert files.create_file_dict.__code__ is files.create_file_dict.__code__
    assert files.write_files_from_dict.__code__ is files.write_files_from_dict.__code__


def test_signatures(files):
    assert str(inspect.signature(files.create_file_dict)) == "()"
    signature = inspect.signature(files.write_files_from_dict)
    assert str(signature) == "(folder_dict: 'dict', new_folder_path=None)"
    folder_dict, new_folder_path = signature.parameters.values()
    assert folder_dict.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert folder_dict.default is inspect.Parameter.empty
    assert folder_dict.annotation == "dict"
    assert new_folder_path.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert new_folder_path.default is None
    assert new_folder_path.annotation is inspect.Parameter.empty


def test_full_arg_spec(files):
    argspec = inspect.getfullargspec(files.write_files_from_dict)
    assert argspec.args == ["folder_dict", "new_folder_path"]
    assert argspec.varargs is None and argspec.varkw is None
    assert argspec.defaults == (None,)
    assert argspec.kwonlyargs == [] and argspec.kwonlydefaults is None
    assert argspec.annotations == {"folder_dict": "dict"}
    assert inspect.getfullargspec(files.create_file_dict).args == []


def test_replaced_defaults_show_in_the_signature_but_not_in_calls(files, workdir, monkeypatch, capsys):
    monkeypatch.setattr(files.write_files_from_dict, "__defaults__", ("elsewhere/",))
    assert files.write_files_from_dict.__defaults__ == ("elsewhere/",)
    assert str(inspect.signature(files.write_files_from_dict)) == "(folder_dict: 'dict', new_folder_path='elsewhere/')"

    assert files.write_files_from_dict({"./plot.py": "p"}) is None
    assert (workdir / "sourcefiles" / "plot.py").read_text() == "p"
    assert not (workdir / "elsewhere").exists()


def test_removed_defaults_make_the_parameter_look_required_but_calls_still_work(files, workdir, monkeypatch):
    monkeypatch.setattr(files.write_files_from_dict, "__defaults__", None)
    assert files.write_files_from_dict.__defaults__ is None
    parameter = inspect.signature(files.write_files_from_dict).parameters["new_folder_path"]
    assert parameter.default is inspect.Parameter.empty

    files.write_files_from_dict({})
    assert (workdir / "sourcefiles").is_dir()


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__name__", None, "__name__ must be set to a string object"),
        ("__name__", b"name", "__name__ must be set to a string object"),
        ("__qualname__", 1, "__qualname__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", ["x"], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_setters_refuse_wrong_types(files, name, attribute, value, message):
    function = getattr(files, name)
    before = getattr(function, attribute)
    with pytest.raises(TypeError) as caught:
        setattr(function, attribute, value)
    assert str(caught.value) == message
    assert getattr(function, attribute) == before


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_cannot_be_deleted(files, attribute):
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        delattr(files.write_files_from_dict, attribute)
    assert getattr(files.write_files_from_dict, attribute) == "write_files_from_dict"


@pytest.mark.parametrize("attribute", ["__code__", "__globals__", "__closure__", "__self__"])
def test_read_only_attributes(files, attribute):
    before = getattr(files.write_files_from_dict, attribute)
    with pytest.raises(AttributeError):
        setattr(files.write_files_from_dict, attribute, None)
    assert getattr(files.write_files_from_dict, attribute) is before


def test_names_can_be_set_to_strings(files, monkeypatch):
    function = files.create_file_dict
    monkeypatch.setattr(function, "__name__", "snapshot")
    monkeypatch.setattr(function, "__qualname__", "Tools.snapshot")
    assert function.__name__ == "snapshot"
    assert function.__qualname__ == "Tools.snapshot"
    assert "Tools.snapshot" in repr(function)
    assert function.__code__.co_name == "create_file_dict"


def test_annotations_reset_to_none_read_back_empty(files, monkeypatch):
    function = files.write_files_from_dict
    monkeypatch.setattr(function, "__annotations__", None)
    first = function.__annotations__
    assert first == {}
    assert function.__annotations__ is first  # made once, then kept
    assert str(inspect.signature(function)) == "(folder_dict, new_folder_path=None)"


def test_doc_can_be_replaced(files, monkeypatch):
    monkeypatch.setattr(files.create_file_dict, "__doc__", "Snapshot of the sources.")
    assert files.create_file_dict.__doc__ == "Snapshot of the sources."


def test_attribute_dictionary(files, monkeypatch):
    function = files.write_files_from_dict
    monkeypatch.setattr(function, "__dict__", {})
    function.marker = 42
    assert function.__dict__ == {"marker": 42}
    assert function.marker == 42

    replacement = {"other": "value"}
    function.__dict__ = replacement
    assert function.__dict__ is replacement
    assert function.other == "value"
    assert not hasattr(function, "marker")

    with pytest.raises(TypeError):
        function.__dict__ = ["not", "a", "dict"]
    with pytest.raises(TypeError):
        del function.__dict__
    assert function.__dict__ is replacement

    del function.other
    with pytest.raises(AttributeError):
        function.other


def test_weak_references(files):
    for function in (files.create_file_dict, files.write_files_from_dict):
        reference = weakref.ref(function)
        assert reference() is function
        proxy = weakref.proxy(function)
        assert proxy.__name__ == function.__name__
    registry = weakref.WeakValueDictionary(collect=files.create_file_dict)
    assert registry["collect"] is files.create_file_dict


def test_equality_and_hash_are_by_identity(files):
    create, write = files.create_file_dict, files.write_files_from_dict
    assert create == create and write == write
    assert create != write
    assert hash(create) == object.__hash__(create)
    assert {create: 1, write: 2}[write] == 2


def test_take_part_in_garbage_collection(files):
    assert gc.is_tracked(files.create_file_dict)
    assert gc.is_tracked(files.write_files_from_dict)
    gc.collect()
    assert callable(files.write_files_from_dict)


@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_repr_shows_qualified_name_and_address(files, name):
    function = getattr(files, name)
    text = repr(function)
    assert name in text
    assert hex(id(function)) in text
    assert str(function) == text


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_pickle_round_trip_returns_the_same_object(files, name, protocol):
    function = getattr(files, name)
    assert pickle.loads(pickle.dumps(function, protocol)) is function


@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_pickle_stores_a_reference_to_the_module_global(files, name):
    data = pickle.dumps(getattr(files, name), 0)
    assert data.startswith(f"cfigvault.src.files\n{name}\n".encode())


@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_copies_are_the_function_itself(files, name):
    function = getattr(files, name)
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    assert copy.deepcopy({"f": function})["f"] is function


@pytest.mark.parametrize("name", ["create_file_dict", "write_files_from_dict"])
def test_running_the_code_object_raises_cleanly(files, run_python, tmp_path, name):
    code = f"""
import types
import figvault.src.files as files
code = files.{name}.__code__
outcomes = []
for attempt in (
    lambda: exec(code),
    lambda: exec(code, {{}}),
    lambda: eval(code),
    lambda: types.FunctionType(code, {{}})(*range(code.co_argcount)),
):
    try:
        attempt()
    except Exception as error:
        outcomes.append(type(error).__name__)
    else:
        outcomes.append("returned")
print(",".join(outcomes))
print(files.{name}.__name__)
"""
    finished = run_python(code, cwd=tmp_path)
    assert finished.returncode == 0, finished.stderr
    outcomes, still_there = finished.stdout.split()
    assert "returned" not in outcomes.split(",")
    assert still_there == name


def test_types_are_named_after_the_module_that_holds_them(files):
    import figvault.src.archive as archive_module
    import figvault.src.unarchive as unarchive_module

    wrapper = archive_module.archive("x.fv")(len)
    for function, module in [
        (files.create_file_dict, "figvault.src.files"),
        (archive_module.archive.__init__, "figvault.src.archive"),
        (wrapper, "figvault.src.archive"),
        (unarchive_module.expand, "figvault.src.unarchive"),
    ]:
        kind = type(function)
        assert (kind.__module__, kind.__qualname__) == (module, "function")
        assert repr(kind) == f"<class '{module}.function'>"
    record = type(wrapper.__self__)
    assert (record.__module__, record.__qualname__) == ("figvault.src.archive", "closure")
