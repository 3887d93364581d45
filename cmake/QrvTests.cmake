# Test registration with tiers. Every test carries exactly one tier label:
#   unit         in one process, no real waits beyond a fraction of a second
#                (the virtual clock where time matters); timeout 60 s
#   integration  real processes, namespaces, GStreamer, the DNS server, the
#                browser, installing; timeout 180 s
#   fault        whole programs attacked (killed, stopped, starved of
#                descriptors, hostile peers); timeout 300 s
# Other labels may stand beside the tier (netns, gst, http, fuzz, ...). The
# label "full" keeps a test out of the quick run: only the full run takes it.

# Under a sanitizer every program runs several times slower: receivers
# started by a test wait longer for their source's greeting than the
# runtime's 2 s before taking it for one that never answers.
set(QRV_TEST_SANITIZER_ENVIRONMENT "")
if(QRV_SANITIZE)
  set(QRV_TEST_SANITIZER_ENVIRONMENT QRV_HANDSHAKE_MS=10000)
endif()

# qrv_tier_timeout(<tier> <given> <out>): the timeout of a test of <tier>,
# <given> when set (at most the tier's limit), else the tier's limit.
function(qrv_tier_timeout tier given out)
  if(tier STREQUAL "unit")
    set(limit 60)
  elseif(tier STREQUAL "integration")
    set(limit 180)
  elseif(tier STREQUAL "fault")
    set(limit 300)
  else()
    message(FATAL_ERROR "unknown test tier '${tier}' (unit, integration or fault)")
  endif()
  if(NOT given)
    set(given ${limit})
  elseif(given GREATER limit)
    message(FATAL_ERROR "a timeout of ${given} s is beyond the ${tier} tier's ${limit} s")
  endif()
  set(${out} ${given} PARENT_SCOPE)
endfunction()

# qrv_gtest(<target> TIER <tier> [LABELS <labels...>] [TIMEOUT <s>]
#           [TEST_PREFIX <p>] [TEST_FILTER <f>] [RESOURCE_LOCK <r>] [RUN_SERIAL]
#           [ENVIRONMENT <VAR=value...>])
#
# Registers the GoogleTest cases of <target> one test each. The discovery
# module flattens list values among its PROPERTIES (a second label would be
# taken for a property name), so the labels and the environment are set
# after discovery, by a file that ctest reads once the list is known.
function(qrv_gtest target)
  cmake_parse_arguments(T "RUN_SERIAL" "TIER;TIMEOUT;TEST_PREFIX;TEST_FILTER;RESOURCE_LOCK"
                        "LABELS;ENVIRONMENT" ${ARGN})
  qrv_tier_timeout("${T_TIER}" "${T_TIMEOUT}" T_TIMEOUT)
  # A target may be registered more than once, with different filters.
  string(MD5 filter_hash "${T_TEST_FILTER}")
  string(SUBSTRING ${filter_hash} 0 8 filter_hash)
  set(list_var qrv_${target}_${filter_hash}_tests)
  string(MAKE_C_IDENTIFIER "${list_var}" list_var)
  set(args DISCOVERY_TIMEOUT 60 TEST_LIST ${list_var})
  if(T_TEST_PREFIX)
    list(APPEND args TEST_PREFIX ${T_TEST_PREFIX})
  endif()
  if(T_TEST_FILTER)
    list(APPEND args TEST_FILTER ${T_TEST_FILTER})
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${target} ${args} PROPERTIES ${props})
  # "unit_tests" builds what the unit tier runs, and no more.
  if(T_TIER STREQUAL "unit" AND TARGET unit_tests)
    add_dependencies(unit_tests ${target})
  endif()

  set(labels ${T_TIER} ${T_LABELS})
  list(APPEND T_ENVIRONMENT ${QRV_TEST_SANITIZER_ENVIRONMENT})
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${list_var}_props.cmake)
  set(content "if(${list_var})\n  set_tests_properties(\${${list_var}} PROPERTIES LABELS [==[${labels}]==]")
  if(T_ENVIRONMENT)
    string(APPEND content " ENVIRONMENT [==[${T_ENVIRONMENT}]==]")
  endif()
  string(APPEND content ")\nendif()\n")
  file(GENERATE OUTPUT ${file} CONTENT "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# qrv_test(NAME <name> TIER <tier> COMMAND <cmd...> [LABELS <labels...>]
#          [TIMEOUT <s>] [RUN_SERIAL] [ENVIRONMENT <VAR=value...>]
#          [SKIP_RETURN_CODE <n>] [SKIP_REGULAR_EXPRESSION <re>])
#
# A test that is a command (a script, a program run whole).
function(qrv_test)
  cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIER;TIMEOUT;SKIP_RETURN_CODE;SKIP_REGULAR_EXPRESSION"
                        "COMMAND;LABELS;ENVIRONMENT" ${ARGN})
  qrv_tier_timeout("${T_TIER}" "${T_TIMEOUT}" T_TIMEOUT)
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  list(APPEND T_ENVIRONMENT ${QRV_TEST_SANITIZER_ENVIRONMENT})
  if(NOT T_ENVIRONMENT)
    unset(T_ENVIRONMENT)
  endif()
  set(labels ${T_TIER} ${T_LABELS})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  foreach(property RUN_SERIAL ENVIRONMENT SKIP_RETURN_CODE SKIP_REGULAR_EXPRESSION)
    if(DEFINED T_${property})
      set_tests_properties(${T_NAME} PROPERTIES ${property} "${T_${property}}")
    endif()
  endforeach()
endfunction()
