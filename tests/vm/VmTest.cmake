# quelnor_add_vm_test(<name> SCRIPT <guest script> [ARGS ...] [MODPROBE "<module> [param=value ...]" ...]
#                     [ENV NAME=VALUE ...] [TIMEOUT seconds])
# Registers a CTest test that boots the throw-away VM (tests/vm/run-in-vm.sh), loads the modules and runs
# the guest script there with ARGS (generator expressions such as $<TARGET_FILE:...> work). Label "vm";
# reported as skipped (exit 77) when the VM cannot start on this machine. Sanitizer builds register
# nothing: their binaries are too slow under emulation. One VM at a time (resource lock).
set(QUELNOR_VM_RUNNER ${CMAKE_CURRENT_LIST_DIR}/run-in-vm.sh)

function(quelnor_add_vm_test name)
  cmake_parse_arguments(ARG "" "SCRIPT;TIMEOUT" "ARGS;MODPROBE;ENV" ${ARGN})
  if(QUELNOR_SANITIZE)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(_options --timeout ${ARG_TIMEOUT})
  foreach(_m ${ARG_MODPROBE})
    list(APPEND _options --modprobe "${_m}")
  endforeach()
  foreach(_e ${ARG_ENV})
    list(APPEND _options --env "${_e}")
  endforeach()
  add_test(NAME ${name} COMMAND ${QUELNOR_VM_RUNNER} ${_options} -- ${ARG_SCRIPT} ${ARG_ARGS})
  math(EXPR _ctest_timeout "${ARG_TIMEOUT} + 120")
  set_tests_properties(${name} PROPERTIES
    LABELS vm
    SKIP_RETURN_CODE 77
    TIMEOUT ${_ctest_timeout}
    RESOURCE_LOCK quelnor_vm)
endfunction()
