# Writes a help2man include file: a COMMANDS section with the full help of
# every command of a tool that has commands, as the tool prints it, so that
# the manual page never falls behind the program; and a SEE ALSO section.
#   cmake -DTOOL=<path of the program> -DOUTPUT=<file> -DSEE_ALSO=<pages>
#         -P man_commands.cmake
get_filename_component(name ${TOOL} NAME)

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE top RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed")
endif()

# The commands are listed indented under "Subcommands:" up to a blank line.
set(commands "")
set(in_list FALSE)
string(REPLACE "\n" ";" lines "${top}")
foreach(line IN LISTS lines)
  if(line STREQUAL "Subcommands:")
    set(in_list TRUE)
  elseif(in_list AND line MATCHES "^  ([a-z][a-z0-9-]*)")
    list(APPEND commands ${CMAKE_MATCH_1})
  elseif(in_list)
    break()
  endif()
endforeach()

set(text "")
if(commands)
  string(APPEND text "[COMMANDS]\n")
  foreach(command IN LISTS commands)
    execute_process(COMMAND ${TOOL} ${command} --help-all OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${TOOL} ${command} --help-all failed")
    endif()
    string(REPLACE "${TOOL}" "${name}" help "${help}")
    # Verbatim roff: backslashes escaped, no line read as a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(STRIP "${help}" help)
    string(APPEND text ".SS ${command}\n.nf\n${help}\n.fi\n")
  endforeach()
endif()
string(APPEND text "[SEE ALSO]\n${SEE_ALSO}\n")
file(WRITE ${OUTPUT} "${text}")
