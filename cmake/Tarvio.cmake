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
# Tests run from the build folder, on the null sound device.
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
  # One variable only: gtest_discover_tests splits a property value at its semicolons. The
  # tests find their media in this build folder by themselves (TARVIO_FIXTURES overrides
  # it), and the Qt tests choose the offscreen platform themselves.
  set(props TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "TARVIO_AUDIO_DEVICE=null")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED "${ARG_FIXTURES}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
endfunction()

# tarvio_link_decoders(TARGET)
# Links every decoder library this build has and defines TARVIO_HAVE_<FORMAT>=1 for each,
# so a program's decoder table lists exactly the decoders that exist.
function(tarvio_link_decoders target)
  foreach(pair dts:DTS ac3:AC3 wav:WAV wm:MP3 vorbis:VORBIS flac:FLAC mac:MAC wavpack:WAVPACK mp4:MP4 opus:OPUS)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 format)
    list(GET pair 1 macro)
    if(TARGET tarvio_${format})
      target_compile_definitions(${target} PRIVATE TARVIO_HAVE_${macro}=1)
      target_link_libraries(${target} PUBLIC tarvio_${format})
    endif()
  endforeach()
endfunction()

# tarvio_add_subfolders(): adds every direct subfolder that has a CMakeLists.txt.
function(tarvio_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${children})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# tarvio_install(TARGET): installs a program into bin/, or one of this project's run-time
# libraries into the private library folder, and cuts its run path down to the private
# folder (a program) or to nothing (a library), so no path of the build tree is installed.
function(tarvio_install target)
  get_target_property(type ${target} TYPE)
  string(REPLACE ";" ":" build_rpath "${CMAKE_INSTALL_RPATH}")
  if(type STREQUAL "EXECUTABLE")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(file "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
    set(edit "OLD_RPATH \"${build_rpath}\" NEW_RPATH \"${CMAKE_INSTALL_FULL_LIBDIR}/tarvio\"")
    set(command RPATH_CHANGE)
  else()
    install(TARGETS ${target} LIBRARY DESTINATION ${TARVIO_PRIVATE_LIBRARY_DIR} NAMELINK_SKIP)
    set(file "${TARVIO_PRIVATE_LIBRARY_DIR}/$<TARGET_SONAME_FILE_NAME:${target}>")
    set(edit "")
    set(command RPATH_REMOVE)
  endif()
  install(CODE "file(${command} FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" ${edit})")
endfunction()
