# Helpers shared by the subsystem directories. Sources are collected by glob so that
# adding a file to a subsystem needs no edit of the build files.

# okuva_library(NAME DIR [DEPS...]): a static library of every .cpp in DIR.
function(okuva_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT sources)
    # A subsystem without sources yet is a header-only interface.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# okuva_test(NAME DIRS [DEPS...]): one GoogleTest executable of every .cpp in DIRS (one
# folder or a ;-list of them), registered test by test with CTest.
function(okuva_test name dirs)
  set(sources)
  foreach(dir IN LISTS dirs)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    OKUVA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" OKUVA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;OKUVA_CAMERA=simulated")
endfunction()
