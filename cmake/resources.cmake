# The main window's resources. A small generator of our own writes the icons and the alert
# sound at build time; the resource script then compiles them into kelvaro.exe.

set(KELVARO_RESGEN_DIR ${PROJECT_SOURCE_DIR}/src/app/resgen)
set(KELVARO_RESGEN_SOURCES
  ${KELVARO_RESGEN_DIR}/resgen.cpp
  ${KELVARO_RESGEN_DIR}/wave.cpp
  ${KELVARO_RESGEN_DIR}/icon.cpp
)
set(KELVARO_RESGEN_HEADERS ${KELVARO_RESGEN_DIR}/wave.h ${KELVARO_RESGEN_DIR}/icon.h)
set(KELVARO_RES_OUT ${CMAKE_BINARY_DIR}/resgen)
set(KELVARO_RES_FILES
  ${KELVARO_RES_OUT}/kelvaro.ico
  ${KELVARO_RES_OUT}/kelvaro_small.ico
  ${KELVARO_RES_OUT}/wavbeep.wav
)

if(CMAKE_CROSSCOMPILING)
  # The generator runs during the build, so it is compiled for the build host, not for
  # the target.
  find_program(KELVARO_HOST_CXX NAMES c++ g++ clang++ REQUIRED
               DOC "C++ compiler of the build host, for the resource generator")
  set(KELVARO_RESGEN ${KELVARO_RES_OUT}/resgen)
  add_custom_command(
    OUTPUT ${KELVARO_RESGEN}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVARO_RES_OUT}
    COMMAND ${KELVARO_HOST_CXX} -std=c++17 -O2 -Wall -Wextra -I${PROJECT_SOURCE_DIR}/src
            -o ${KELVARO_RESGEN} ${KELVARO_RESGEN_SOURCES}
    DEPENDS ${KELVARO_RESGEN_SOURCES} ${KELVARO_RESGEN_HEADERS}
    COMMENT "Building the resource generator for the build host"
    VERBATIM)
  set(KELVARO_RESGEN_DEPENDS ${KELVARO_RESGEN})
else()
  add_executable(kelvaro_resgen ${KELVARO_RESGEN_SOURCES})
  target_include_directories(kelvaro_resgen PRIVATE ${PROJECT_SOURCE_DIR}/src)
  kelvaro_warnings(kelvaro_resgen)
  set(KELVARO_RESGEN kelvaro_resgen)
  set(KELVARO_RESGEN_DEPENDS kelvaro_resgen)
endif()

add_custom_command(
  OUTPUT ${KELVARO_RES_FILES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVARO_RES_OUT}
  COMMAND ${KELVARO_RESGEN} ${KELVARO_RES_OUT}
  DEPENDS ${KELVARO_RESGEN_DEPENDS}
  COMMENT "Generating the icons and the alert sound"
  VERBATIM)
add_custom_target(kelvaro_resources DEPENDS ${KELVARO_RES_FILES})

set(KELVARO_RC ${PROJECT_SOURCE_DIR}/src/app/kelvaro.rc)
target_sources(kelvaro PRIVATE ${KELVARO_RC})
# The script names the generated files without a folder; the resource compiler finds them
# on its include path, beside src/ for app/resource.h and the version header.
set_source_files_properties(${KELVARO_RC} PROPERTIES
  INCLUDE_DIRECTORIES "${KELVARO_RES_OUT};${PROJECT_SOURCE_DIR}/src;${KELVARO_GENERATED}"
  OBJECT_DEPENDS "${KELVARO_RES_FILES};${PROJECT_SOURCE_DIR}/src/app/resource.h;${KELVARO_GENERATED}/kelvaro_version.h")
add_dependencies(kelvaro kelvaro_resources)
