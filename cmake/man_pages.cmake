# man_pages.cmake - writes the manual pages from the programs' own --help
# texts and the key tables (cmake -P, run by the build: install.cmake).
#
#   cmake -DMAILWARD=... -DMILTER=... -DREFERENCE=... -DVERSION=... -DOUT=...
#         -P man_pages.cmake
#
#   mailward.1         "mailward help" and every command's --help
#   mailward-milter.8  "mailward-milter --help" (MILTER unset: not written)
#   mailward.conf.5    config_reference --man-conf (both key tables)
# Each page is compressed with gzip -9n (no name, no time: the same bytes
# at every build), as Debian wants them.

# run(OUT_VAR command...): the command's standard output; fails the build
# when it fails.
function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: exit ${rc}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The body of a section: every line indented by four blanks.
function(indent out text)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" "\n    " text "${text}")
  set(${out} "    ${text}\n" PARENT_SCOPE)
endfunction()

function(page name section input)
  run(ignored ${REFERENCE} --man ${name} ${section} "mailward ${VERSION}" ${input}
      ${OUT}/${name}.${section})
  file(REMOVE ${OUT}/${name}.${section}.gz)
  run(ignored gzip -9n ${OUT}/${name}.${section})
endfunction()

file(MAKE_DIRECTORY ${OUT})

# mailward(1)
run(usage ${MAILWARD} help)
indent(usage "${usage}")
set(text "NAME\n    mailward - check mail files, folders and Maildirs with the mailward library\n\n")
string(APPEND text "SYNOPSIS\n    mailward COMMAND [options] ...\n\nDESCRIPTION\n${usage}\n")
foreach(command check check-header decode-header rules config)
  execute_process(COMMAND ${MAILWARD} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    string(TOUPPER "${command}" title)
    indent(help "${help}")
    string(APPEND text "COMMAND ${title}\n${help}\n")
  endif()
endforeach()
string(APPEND text "FILES\n    /etc/mailward/mailward.conf  the installed service's configuration\n")
string(APPEND text "    (read by \"mailward config check\" when no -c is given)\n\n")
string(APPEND text "SEE ALSO\n    mailward-milter(8), mailward.conf(5)\n")
file(WRITE ${OUT}/mailward.txt "${text}")
page(mailward 1 ${OUT}/mailward.txt)

# mailward-milter(8)
if(MILTER)
  run(help ${MILTER} --help)
  string(APPEND help "\nSEE ALSO\n    mailward(1), mailward.conf(5)\n")
  file(WRITE ${OUT}/mailward-milter.txt "${help}")
  page(mailward-milter 8 ${OUT}/mailward-milter.txt)
endif()

# mailward.conf(5)
run(ignored ${REFERENCE} --man-conf ${OUT}/mailward.conf.5)
file(REMOVE ${OUT}/mailward.conf.5.gz)
run(ignored gzip -9n ${OUT}/mailward.conf.5)
