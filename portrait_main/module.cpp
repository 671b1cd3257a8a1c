// The module definition and its create and exec steps.

#include "portrait_main.h"

#include "engine/engine.h"
#include "engine/native_path.h"
#include "module_state.h"
#include "support/object.h"
#include "support/traceback.h"

#include <cstdint>
#include <cstdio>

namespace pm {
namespace {

// Copies spec.<attribute> into the module's dictionary as `key`; a missing
// attribute is skipped, and None is skipped when `skip_none` is set.
void copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* module_dict, const char* key,
                         bool skip_none) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttrString(spec, attribute, &value)) == 0)
        return;
    Ref owned = Ref::steal(value);
    if (skip_none && is_none(owned))
        return;
    check(PyDict_SetItemString(module_dict, key, owned.get()));
}

// importlib would copy the ModuleSpec's loader, origin and parent onto the
// module, put it into sys.modules, and the build's ABI tag already pins the
// interpreter version; the create and exec steps do all three themselves
// anyway, on purpose: this is the module's required import behaviour, not
// redundant work to tidy away.
PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    ModuleState& st = state();
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return nullptr;
    if (st.interpreter_id == -1) {
        st.interpreter_id = current;
    } else if (st.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (st.module)
        return Ref(st.module).release();

    return boundary<PyObject*>(nullptr, [spec] {
        Ref name = getattr(spec, str_from("name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, "loader", dict, "__loader__", false);
        copy_spec_attribute(spec, "origin", dict, "__file__", false);
        copy_spec_attribute(spec, "parent", dict, "__package__", false);
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true);
        return module.release();
    });
}

void warn_on_version_mismatch() {
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION)
        return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, module_name, "does not match", runtime_major, runtime_minor);
    check(PyErr_WarnEx(nullptr, message, 1));
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (check(PyDict_ContainsString(modules, module_name)) == 0)
        check(PyDict_SetItemString(modules, module_name, module));
}

// `import <name>`: a top-level absolute import of the whole module.
Ref import_module(const char* name) {
    return own(PyImport_ImportModuleLevelObject(str_from(name).get(), nullptr, nullptr, nullptr, 0));
}

void run_exec_steps(ModuleState& st, PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins = import_module("builtins");
    check(PyDict_SetItemString(dict, "__builtins__", builtins.get()));
    st.module_dict = Ref::borrow(dict);
    st.builtins = builtins;
    warn_on_version_mismatch();
    create_names(st.names, st.constants);
    st.names_exist = true;
    create_numbers(st.constants);
    register_in_sys_modules(module);
    create_tuples(st.constants);

    const Names& n = st.names;
    check(PyDict_SetItem(dict, n.os.get(), import_module("os").get()));
    check(PyDict_SetItem(dict, n.cv2.get(), import_module("cv2").get()));
    check(PyDict_SetItem(dict, n.np.get(), import_module("numpy").get()));
    check(PyDict_SetItem(dict, n.rt.get(), import_module("onnxruntime").get()));
    st.libraries = engine::native::find_libraries();

    Ref engine_class = engine::build_class();
    check(PyDict_SetItemString(dict, engine_class_name, engine_class.get()));
    check(PyDict_SetItemString(dict, "__test__", own(PyDict_New()).get()));
}

int module_exec(PyObject* module) noexcept {
    ModuleState& st = state();
    if (st.module) {
        if (st.module.get() == module)
            return 0;
        static constexpr auto message =
            join("Module '", module_name, "' has already been imported. Re-initialisation is not supported.");
        PyErr_SetString(PyExc_RuntimeError, message.data());
        return -1;
    }
    st.module = Ref::borrow(module);
    const int status = boundary(-1, [&] {
        run_exec_steps(st, module);
        return 0;
    });
    if (status == 0)
        return 0;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, init_entry_name.data());
    else if (st.names_exist)
        add_traceback_entry(init_entry_name.data());
    // A later import starts over; only the interpreter identifier stays.
    st.forget();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = module_name,
    .m_doc =
        "Portrait matting: cuts the person out of a photograph and puts them on white.\n\n"
        "QuorinPortraitMain(onnx_path) opens a matting model (None or '' for the\n"
        "bundled modnet.onnx); engine._image(photo, out, input_size=None) writes the\n"
        "white-background portrait of `photo` to `out`.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace pm

extern "C" PyMODINIT_FUNC PyInit_portrait_main(void) noexcept { return PyModuleDef_Init(&pm::module_def); }
