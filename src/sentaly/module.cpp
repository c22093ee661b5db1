// korvane.orvik.sdk.sentaly
#include "../common/guard.hpp"

namespace {

common::ModuleGuard guard{"sentaly"};

int exec_module(PyObject* module) {
    int go = common::guard_exec_begin(guard, module);
    if (go <= 0) return go;
    return common::guard_exec_end(guard, 0);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) { return common::guard_create(guard, spec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, (void*)create_module},
    {Py_mod_exec, (void*)exec_module},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sentaly", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

BRIDGE_MODINIT PyInit_sentaly(void) { return PyModuleDef_Init(&module_def); }
