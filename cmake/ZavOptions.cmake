# Warnings and sanitizers for our own targets (third-party code keeps its own flags).

if(ZAV_SANITIZER STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZAV_SANITIZER STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(ZAV_SANITIZER STREQUAL "fuzz")
  # Coverage for libFuzzer everywhere; only the fuzz targets link its main.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzz build needs clang (the fuzz preset sets it)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT ZAV_SANITIZER STREQUAL "")
  message(FATAL_ERROR "ZAV_SANITIZER must be empty, asan, tsan or fuzz")
endif()

function(zav_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# zav_test(NAME <target> LABEL <area> SOURCES <files...> LIBS <libs...> [TIMEOUT <s>] [ENVIRONMENT <VAR=value...>])
# One GoogleTest binary; every test case is registered with CTest under its area label.
function(zav_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT;LABEL" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  zav_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(T_PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
  if(T_ENVIRONMENT)
    list(JOIN T_ENVIRONMENT "\\;" T_ENV)
    list(APPEND T_PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${T_PROPERTIES})
endfunction()
