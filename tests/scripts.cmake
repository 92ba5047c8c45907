# Every tests/sh/test_*.sh is a CTest test. It gets the build's binaries and
# the source folder through the environment, and runs in its own scratch
# folder so that dump files of parallel tests never meet.
file(GLOB SCRIPT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sh/test_*.sh)
foreach(script ${SCRIPT_TESTS})
  get_filename_component(name ${script} NAME_WE)
  set(env "BOXSIM_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "BOXSIM_SCRATCH=${CMAKE_CURRENT_BINARY_DIR}/scratch/${name}")
  if(TARGET boxsim)
    list(APPEND env "BOXSIM_BIN=$<TARGET_FILE:boxsim>")
  endif()
  if(TARGET boxsim-sim)
    list(APPEND env "BOXSIM_SIM=$<TARGET_FILE:boxsim-sim>")
  endif()
  if(TARGET fault-relay)
    list(APPEND env "BOXSIM_RELAY=$<TARGET_FILE:fault-relay>")
  endif()
  add_test(NAME sh.${name} COMMAND bash ${script})
  # They start X servers and bind the program's fixed port: one at a time.
  # The headless peers have ports of their own (see peer_lib.sh).
  if(name MATCHES "^test_peers_")
    set(lock boxsim_${name})
  else()
    set(lock boxsim_port_1234)
  endif()
  set_tests_properties(sh.${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 600
                                             RESOURCE_LOCK ${lock})
endforeach()
