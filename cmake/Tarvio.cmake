# tarvio_library(NAME [EXCLUDE file...] [DEPS target...])
# A static library of every .cpp file in the calling folder.
function(tarvio_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads ${CMAKE_DL_LIBS})
endfunction()

# tarvio_tests(NAME [LABELS label...] [DEPS target...] [FIXTURES name...] [TIMEOUT s])
# One GoogleTest executable of every *Test.cpp in the calling folder, registered with CTest.
# Tests run from the build folder; TARVIO_FIXTURES points at the generated media.
function(tarvio_tests name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;DEPS;FIXTURES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  if(NOT sources)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    TARVIO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TARVIO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} FIXTURES_REQUIRED "${ARG_FIXTURES}"
    ENVIRONMENT "TARVIO_AUDIO_DEVICE=null;QT_QPA_PLATFORM=offscreen")
endfunction()
