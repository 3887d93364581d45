# Fuzz targets for libFuzzer. They are built with clang, whatever compiler
# builds the rest, straight from the sources they exercise, with
# AddressSanitizer and UndefinedBehaviorSanitizer of their own; so they are
# built once, in the plain build, never again in the sanitizer builds.
#
# qrv_fuzzer(<name> SOURCES <files...> INCLUDES <dirs...> LIBS <flags...>
#            CORPUS <dir> [DICT <file>] [MAX_LEN <bytes>])
#
# Each target gets two tests: "fuzz.<name>.corpus" replays the committed
# corpus once (the unit tier, seconds), and "fuzz.<name>.explore" searches
# for new inputs for 45 seconds (only in the full run). New inputs go to a
# folder of the build, never into the source tree.
find_program(QRV_CLANGXX NAMES clang++-14 clang++)
if(NOT QRV_CLANGXX)
  message(STATUS "clang++ not found: the fuzz targets are not built")
endif()

function(qrv_fuzzer name)
  if(NOT QRV_CLANGXX)
    return()
  endif()
  cmake_parse_arguments(F "" "CORPUS;DICT;MAX_LEN" "SOURCES;INCLUDES;LIBS" ${ARGN})
  set(bin ${CMAKE_BINARY_DIR}/fuzz/${name})
  set(includes)
  set(headers)
  foreach(dir ${F_INCLUDES})
    list(APPEND includes -I${dir})
    file(GLOB_RECURSE dir_headers ${dir}/*.h)
    list(APPEND headers ${dir_headers})
  endforeach()
  # One object per source, so that the compiler cache serves a rebuild.
  set(flags -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer-no-link,address,undefined
            -fno-sanitize-recover=all ${includes})
  set(objects)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz/${name}.dir)
  foreach(source ${F_SOURCES})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
    string(MAKE_C_IDENTIFIER "${rel}" stem)
    set(object ${CMAKE_BINARY_DIR}/fuzz/${name}.dir/${stem}.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${QRV_CCACHE} ${QRV_CLANGXX} ${flags} -c ${source} -o ${object}
      DEPENDS ${source} ${headers}
      COMMENT "Fuzz target ${name}: ${rel}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  add_custom_command(OUTPUT ${bin}
    COMMAND ${QRV_CLANGXX} -fsanitize=fuzzer,address,undefined ${objects} ${F_LIBS} -o ${bin}
    DEPENDS ${objects}
    COMMENT "Fuzz target ${name} with clang"
    VERBATIM)
  add_custom_target(fuzz_${name} ALL DEPENDS ${bin})

  set(options -rss_limit_mb=2048 -timeout=5)
  if(F_DICT)
    list(APPEND options -dict=${F_DICT})
  endif()
  if(F_MAX_LEN)
    list(APPEND options -max_len=${F_MAX_LEN})
  endif()
  qrv_test(NAME fuzz.${name}.corpus TIER unit LABELS fuzz COMMAND ${bin} -runs=0 ${options} ${F_CORPUS})
  set(work ${CMAKE_BINARY_DIR}/fuzz/${name}_found)
  qrv_test(NAME fuzz.${name}.explore TIER unit LABELS fuzz full
    COMMAND sh -c "mkdir -p \"$1\" && shift && exec \"$@\"" sh ${work}
            ${bin} -max_total_time=45 -print_final_stats=1 ${options} ${work} ${F_CORPUS})
endfunction()
