# velk_module_exports(TARGET INIT_FUNCTION)
#
# Links the extension module TARGET so that its dynamic symbol table holds
# INIT_FUNCTION (PyInit_<name>) and nothing else. Hidden visibility already
# covers our own code, but the standard library's vague-linkage symbols
# (typeinfo, vtables, inline function templates, function-local statics)
# would still be exported and could bind to another module's copies at load
# time. A linker version script makes every other symbol local.
function(velk_module_exports target init_function)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map")
  file(CONFIGURE OUTPUT "${script}" CONTENT "{\n  global: ${init_function};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
endfunction()
