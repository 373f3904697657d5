# Build helpers shared by every folder.

# The suite's shared libraries and its component modules are its own: no
# other program links them, so they lie together in <prefix>/lib/trovix,
# neither in lib/ nor in the multiarch folder. The folder does not follow
# CMAKE_INSTALL_LIBDIR: trovix-setup looks for the modules at
# <prefix>/lib/trovix, and the platform library finds the installation's
# machine hive two folders above its own. Helpers that only the suite starts
# lie in <prefix>/libexec/trovix. Each finds the libraries by a run path
# relative to itself ($ORIGIN), so that any prefix works unchanged.
set(TROVIX_PRIVATE_LIB_DIR "lib/trovix")
set(TROVIX_MODULE_DIR "${TROVIX_PRIVATE_LIB_DIR}")
set(TROVIX_HELPER_DIR "libexec/trovix")
set(TROVIX_PROGRAM_RPATH "$ORIGIN/../${TROVIX_PRIVATE_LIB_DIR}")
set(TROVIX_HELPER_RPATH "$ORIGIN/../../${TROVIX_PRIVATE_LIB_DIR}")
set(TROVIX_MODULE_RPATH "$ORIGIN")

# A component module is loaded with dlopen and must unload again with dlclose.
# Hidden visibility for everything (inline functions and template instances
# included) and no STB_GNU_UNIQUE symbols: either would pin the module in memory
# for the life of the process. Only the Dll* entry points are exported, through
# TROVIX_EXPORT.
function(trovix_component_module target)
  set_target_properties(${target} PROPERTIES
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "${TROVIX_MODULE_RPATH}"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/lib/trovix")
  target_compile_options(${target} PRIVATE -fno-gnu-unique)
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
  install(TARGETS ${target} LIBRARY DESTINATION ${TROVIX_MODULE_DIR})
endfunction()

function(trovix_program target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "${TROVIX_PROGRAM_RPATH}"
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# A program that users never run: the suite starts it. Built into bin/ like
# the others, so that tests and benchmarks find every program in one place;
# installed in libexec/trovix.
function(trovix_helper_program target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "${TROVIX_HELPER_RPATH}"
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
  install(TARGETS ${target} RUNTIME DESTINATION ${TROVIX_HELPER_DIR})
endfunction()

function(trovix_shared_library target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/lib")
  install(TARGETS ${target} LIBRARY DESTINATION ${TROVIX_PRIVATE_LIB_DIR})
endfunction()

# trovix_install_desktop_entry(TEMPLATE PROGRAM): installs the desktop entry
# TEMPLATE (a file NAME.desktop.in in this folder) as
# share/applications/NAME.desktop, its Exec naming the installed PROGRAM by
# absolute path (see InstallDesktopEntry.cmake).
function(trovix_install_desktop_entry template program)
  string(REGEX REPLACE "\\.in$" "" entry "${template}")
  install(CODE "
    set(TROVIX_ENTRY_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/${template}\")
    set(TROVIX_ENTRY_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    set(TROVIX_ENTRY_FILE
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/${entry}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/InstallDesktopEntry.cmake\")
  ")
endfunction()

# A test program's time limit. Sanitized builds (-fsanitize= in the flags, or
# a fuzzing build, which adds the sanitizers itself) run the suite several
# times slower, most of all the tests of real processes.
if(TROVIX_FUZZ OR CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  set(TROVIX_TEST_TIMEOUT 900)
else()
  set(TROVIX_TEST_TIMEOUT 300)
endif()

# add_trovix_test(NAME SOURCES a_test.cpp ... LIBS lib ...)
# Every test runs with its own private HOME and XDG tree (see
# platform/testing/private_tree.h), set up by the test itself.
function(add_trovix_test name)
  if(NOT TROVIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} trovix_testing GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  target_compile_definitions(${name} PRIVATE
    TROVIX_BUILD_DIR="${CMAKE_BINARY_DIR}"
    TROVIX_MODULE_BUILD_DIR="${CMAKE_BINARY_DIR}/lib/trovix")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TROVIX_TEST_TIMEOUT})
endfunction()

# add_trovix_qt_test(NAME SOURCES a_test.cpp ... LIBS lib ...)
# A QtTest program (its own main) run on Qt's offscreen platform.
function(add_trovix_qt_test name)
  if(NOT TROVIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  target_link_libraries(${name} PRIVATE ${T_LIBS} trovix_testing Qt6::Test)
  target_compile_definitions(${name} PRIVATE
    TROVIX_BUILD_DIR="${CMAKE_BINARY_DIR}"
    TROVIX_MODULE_BUILD_DIR="${CMAKE_BINARY_DIR}/lib/trovix")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TROVIX_TEST_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
