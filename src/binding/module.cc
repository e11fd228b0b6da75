// Placeholder until the binding layer lands.
#include <Python.h>

static PyModuleDef velk_module = {PyModuleDef_HEAD_INIT, "_velk", "", 0, nullptr};

PyMODINIT_FUNC PyInit__velk() { return PyModule_Create(&velk_module); }
