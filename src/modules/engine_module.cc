// The `velk._engine` extension module: its init function, the module's only
// exported symbol. The module itself lives in the core library.
#include "src/binding/entry_points.h"

extern "C" PyMODINIT_FUNC PyInit__engine() { return velk_core_init_engine(); }
