// The `_velk` extension module: its init function, the module's only
// exported symbol. The module itself lives in the core library.
#include "src/binding/entry_points.h"

extern "C" PyMODINIT_FUNC PyInit__velk() { return velk_core_init_velk(); }
