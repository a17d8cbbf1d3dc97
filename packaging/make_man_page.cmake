# Writes the gzipped manual page of one program from its own --help and --version (help2man),
# so the page never drifts from the program.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DNAME=... -DOUTPUT=x.1.gz [-DINCLUDE=static.h2m]
#         [-DSUBCOMMAND_HELP=ON] [-DEXTRA_HELP="--scale --help"] [-DEXTRA_SECTION=TITLE]
#         -P make_man_page.cmake
# SUBCOMMAND_HELP: every command the top-level help lists gets a subsection with its own --help.
# EXTRA_HELP: one more help text (the program run with these arguments) in section EXTRA_SECTION.
cmake_minimum_required(VERSION 3.25)

set(ENV{QT_QPA_PLATFORM} offscreen)
get_filename_component(work "${OUTPUT}" DIRECTORY)
get_filename_component(page "${OUTPUT}" NAME_WLE)
set(include_file "${work}/${page}.h2m")
set(roff "${work}/${page}")

function(help_of out_var)
  execute_process(COMMAND "${PROGRAM}" ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} ended with ${rc}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Help text kept as it is laid out: no filling, backslashes and leading dots made literal.
function(append_verbatim out_var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out_var} "${${out_var}}.nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

set(sections "")
if(INCLUDE)
  file(READ "${INCLUDE}" sections)
endif()
if(SUBCOMMAND_HELP)
  help_of(top --help)
  string(APPEND sections "[COMMANDS]\n")
  string(REGEX MATCHALL "\n  [a-z][a-z-]+  " commands "${top}")
  foreach(command IN LISTS commands)
    string(STRIP "${command}" command)
    help_of(text ${command} --help)
    string(APPEND sections ".SS ${command}\n")
    append_verbatim(sections "${text}")
  endforeach()
endif()
if(EXTRA_HELP)
  separate_arguments(extra UNIX_COMMAND "${EXTRA_HELP}")
  help_of(text ${extra})
  string(APPEND sections "[${EXTRA_SECTION}]\n")
  append_verbatim(sections "${text}")
endif()
set(include_option)
if(sections)
  file(WRITE "${include_file}" "${sections}")
  set(include_option "--include=${include_file}")
endif()

execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1 "--name=${NAME}" ${include_option}
          "--output=${roff}" "${PROGRAM}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}")
endif()
# Debian keeps manual pages compressed with gzip -9n (no name, no time stamp).
execute_process(COMMAND gzip -9nf "${roff}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${roff}")
endif()
