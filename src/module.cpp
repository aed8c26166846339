// PLACEHOLDER: to be replaced by the extension module and its entry functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef native_module = {PyModuleDef_HEAD_INIT, "_native", nullptr, 0, nullptr};
PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&native_module); }
