# exports.cmake - the list of exported functions, read from the one place
# that declares them: every "MAILWARD_API <type> MAILWARD_CALL <name>(" of
# include/mailward.h.
#
# Included by the build, it defines mailward_export_list(TARGET), which
# gives TARGET (the shared product library) exactly these exports and makes
# the generated files below for everyone else. Run as a script
#   cmake -DHEADER=include/mailward.h -DOUT_DIR=dir -P cmake/exports.cmake
# it writes into OUT_DIR:
#   mailward_exports.h    MAILWARD_EXPORTS(X): X(name) once per export, in
#                         the order of the header (the hosts' loader table,
#                         the export tests)
#   mailward.map          GNU ld version script: these names global, every
#                         other symbol local
#   mailward.def          the module definition of mailward.dll
#   mailward_exports.txt  one name per line (tests/export/check_exports.sh,
#                         .ci/run)
# A header without a single declaration is an error: an empty list would
# build a library that exports nothing.

function(mailward_read_exports header out_var)
  file(READ ${header} text)
  # Comments could name a declaration that does not exist.
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX MATCHALL "MAILWARD_API[^;#(]*MAILWARD_CALL[ \t\r\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*\\("
         decls "${text}")
  set(names)
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE ".*MAILWARD_CALL[ \t\r\n]+([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*\\($" "\\1"
           name "${decl}")
    list(APPEND names ${name})
  endforeach()
  list(LENGTH names count)
  if(count EQUAL 0)
    message(FATAL_ERROR "no MAILWARD_API declaration found in ${header}")
  endif()
  set(unique ${names})
  list(REMOVE_DUPLICATES unique)
  list(LENGTH unique unique_count)
  if(NOT unique_count EQUAL count)
    message(FATAL_ERROR "${header} declares an export twice")
  endif()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

function(mailward_write_exports header out_dir)
  mailward_read_exports(${header} names)
  list(LENGTH names count)
  set(from "generated from include/mailward.h by cmake/exports.cmake; do not edit")
  set(xmacro "/* ${from} */\n#ifndef MAILWARD_EXPORTS_H\n#define MAILWARD_EXPORTS_H\n\n")
  string(APPEND xmacro "#define MAILWARD_EXPORT_COUNT ${count}\n\n#define MAILWARD_EXPORTS(X)")
  set(map "/* ${from} */\n{\n  global:\n")
  set(def "; ${from}\nLIBRARY mailward.dll\nEXPORTS\n")
  set(txt "")
  foreach(name IN LISTS names)
    string(APPEND xmacro " \\\n    X(${name})")
    string(APPEND map "    ${name};\n")
    string(APPEND def "    ${name}\n")
    string(APPEND txt "${name}\n")
  endforeach()
  string(APPEND xmacro "\n\n#endif\n")
  string(APPEND map "  local:\n    *;\n};\n")
  file(MAKE_DIRECTORY ${out_dir})
  file(WRITE ${out_dir}/mailward_exports.h "${xmacro}")
  file(WRITE ${out_dir}/mailward.map "${map}")
  file(WRITE ${out_dir}/mailward.def "${def}")
  file(WRITE ${out_dir}/mailward_exports.txt "${txt}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT HEADER OR NOT OUT_DIR)
    message(FATAL_ERROR "usage: cmake -DHEADER=mailward.h -DOUT_DIR=dir -P exports.cmake")
  endif()
  mailward_write_exports(${HEADER} ${OUT_DIR})
  return()
endif()

# The generated files, remade whenever the header changes.
set(MAILWARD_EXPORTS_DIR ${CMAKE_BINARY_DIR}/generated)
set(MAILWARD_EXPORTS_LIST ${MAILWARD_EXPORTS_DIR}/mailward_exports.txt)
set(_mw_exports_script ${CMAKE_CURRENT_LIST_FILE})

# mailward_export_list(TARGET): TARGET exports exactly the header's
# functions; the target mailward_export_list gives the X-macro header to
# whoever links it.
function(mailward_export_list target)
  set(header ${MAILWARD_SOURCE_DIR}/include/mailward.h)
  set(outputs ${MAILWARD_EXPORTS_DIR}/mailward_exports.h ${MAILWARD_EXPORTS_DIR}/mailward.map
              ${MAILWARD_EXPORTS_DIR}/mailward.def ${MAILWARD_EXPORTS_LIST})
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -DHEADER=${header} -DOUT_DIR=${MAILWARD_EXPORTS_DIR}
            -P ${_mw_exports_script}
    DEPENDS ${header} ${_mw_exports_script}
    COMMENT "Export list from include/mailward.h"
    VERBATIM)
  add_custom_target(mailward_exports DEPENDS ${outputs})

  add_library(mailward_export_list INTERFACE)
  target_include_directories(mailward_export_list INTERFACE
    $<BUILD_INTERFACE:${MAILWARD_EXPORTS_DIR}>)
  target_link_libraries(mailward_export_list INTERFACE mailward_api)
  add_dependencies(mailward_export_list mailward_exports)

  add_dependencies(${target} mailward_exports)
  if(WIN32)
    # The module definition names the DLL's exports; nothing else leaves it.
    target_sources(${target} PRIVATE ${MAILWARD_EXPORTS_DIR}/mailward.def)
  else()
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${MAILWARD_EXPORTS_DIR}/mailward.map")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
      ${MAILWARD_EXPORTS_DIR}/mailward.map)
  endif()
endfunction()
