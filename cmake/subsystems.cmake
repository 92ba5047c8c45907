# One library target per subsystem, so the layering is part of the build:
#
#   boxsim_subsystem(<name> [DEPENDS <subsystem>...]
#                    SOURCES <file>... [HEADERS <file>...])
#
# makes the object library boxsim_<name> from the listed files (relative to
# src/). A subsystem may depend only on subsystems declared before it, so the
# graph cannot have a cycle. At configure time every `#include "x/y.h"` in the
# subsystem's files must name a header owned by the subsystem itself or by one
# it depends on, directly or not: an include that would close a cycle, or that
# reaches past the declared dependencies, stops the configure with the file,
# the header and its owner.

function(boxsim_subsystem name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "DEPENDS;SOURCES;HEADERS")
  set(src_root ${PROJECT_SOURCE_DIR}/src)
  set(closure ${name})
  foreach(dep ${ARG_DEPENDS})
    get_property(known GLOBAL PROPERTY BOXSIM_SUBSYSTEM_${dep} SET)
    if(NOT known)
      message(FATAL_ERROR "subsystem ${name} depends on ${dep}, which is not declared before it")
    endif()
    get_property(dep_closure GLOBAL PROPERTY BOXSIM_SUBSYSTEM_${dep})
    list(APPEND closure ${dep_closure})
  endforeach()
  list(REMOVE_DUPLICATES closure)
  set_property(GLOBAL PROPERTY BOXSIM_SUBSYSTEM_${name} ${closure})

  set(files)
  foreach(f ${ARG_HEADERS} ${ARG_SOURCES})
    if(NOT EXISTS ${src_root}/${f})
      message(FATAL_ERROR "subsystem ${name} lists ${f}, which does not exist")
    endif()
    set_property(GLOBAL PROPERTY BOXSIM_OWNER_${f} ${name})
    list(APPEND files ${src_root}/${f})
  endforeach()
  foreach(f ${ARG_HEADERS} ${ARG_SOURCES})
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${src_root}/${f})
    file(STRINGS ${src_root}/${f} includes REGEX "^#include \"[^\"]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      get_property(owner GLOBAL PROPERTY BOXSIM_OWNER_${header})
      if(NOT owner)
        message(FATAL_ERROR "${f} includes ${header}, which no subsystem declared so far owns")
      endif()
      list(FIND closure ${owner} found)
      if(found EQUAL -1)
        message(FATAL_ERROR "${f} (subsystem ${name}) includes ${header} of subsystem ${owner}, "
                            "which ${name} does not depend on")
      endif()
    endforeach()
  endforeach()

  if(ARG_SOURCES)
    set(sources)
    foreach(f ${ARG_SOURCES})
      list(APPEND sources ${src_root}/${f})
    endforeach()
    add_library(boxsim_${name} OBJECT ${sources})
    target_include_directories(boxsim_${name} PUBLIC ${src_root})
    target_link_libraries(boxsim_${name} PUBLIC boxsim_flags)
    foreach(dep ${ARG_DEPENDS})
      if(TARGET boxsim_${dep})
        target_link_libraries(boxsim_${name} PUBLIC boxsim_${dep})
      endif()
    endforeach()
  else()
    add_library(boxsim_${name} INTERFACE)
    target_include_directories(boxsim_${name} INTERFACE ${src_root})
    foreach(dep ${ARG_DEPENDS})
      target_link_libraries(boxsim_${name} INTERFACE boxsim_${dep})
    endforeach()
  endif()
  set_property(GLOBAL APPEND PROPERTY BOXSIM_SUBSYSTEMS ${name})
endfunction()

# Links the objects of a subsystem and of everything it depends on into
# `target` (a library linked directly gets its objects, one linked only
# through another gets its usage requirements alone).
function(boxsim_link_subsystem target visibility name)
  get_property(closure GLOBAL PROPERTY BOXSIM_SUBSYSTEM_${name})
  foreach(s ${closure})
    target_link_libraries(${target} ${visibility} boxsim_${s})
  endforeach()
endfunction()

# Every file under src/ belongs to one subsystem: a file that none lists would
# silently not be built, or be built outside the layering.
function(boxsim_check_all_listed)
  file(GLOB_RECURSE all RELATIVE ${PROJECT_SOURCE_DIR}/src CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/src/*.cpp)
  foreach(f ${all})
    get_property(owner GLOBAL PROPERTY BOXSIM_OWNER_${f})
    if(NOT owner)
      message(FATAL_ERROR "src/${f} is in no subsystem: list it in CMakeLists.txt")
    endif()
  endforeach()
endfunction()
