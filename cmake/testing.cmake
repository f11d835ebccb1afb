# add_unit_suite(NAME [ONE_PROCESS] SOURCES sources... [LIBS libs...] [ENV vars...] [LABELS labels...])
# Natively every test case is its own CTest test. Under Wine each suite runs
# as one process: starting a Windows process costs far more there than a test.
# ONE_PROCESS does the same natively, for a suite of hundreds of generated
# cases that each take a millisecond, where starting a process per case would
# cost far more than the cases themselves.
function(add_unit_suite name)
  cmake_parse_arguments(S "ONE_PROCESS" "" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${S_SOURCES})
  target_link_libraries(${name} PRIVATE ${S_LIBS} GTest::gtest)
  if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit Wine runs on qemu-i386 here, which crashes guests with many
    # threads (an 8-thread program of a few lines already does): the
    # Concurrency suites run on the native and 64-bit builds only.
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-Concurrency.*)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${S_ENV}" LABELS "wine;${S_LABELS}")
  elseif(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${S_ENV}" LABELS "wine;${S_LABELS}")
  elseif(S_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${S_ENV}" LABELS "${S_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ENVIRONMENT "${S_ENV}" LABELS "${S_LABELS}")
  endif()
endfunction()
