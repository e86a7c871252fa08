# Configures and builds the Windows comtrace.exe, tracetool.exe and
# portdoctor.exe with the mingw-w64 cross toolchain, for the Wine runs. Run
# with cmake -P and:
#   SOURCE_DIR  the project's source tree
#   BINARY_DIR  the Windows build tree (created when missing)
#   TOOLCHAIN   the toolchain file
#   GENERATOR   the CMake generator to use (optional)
foreach(variable SOURCE_DIR BINARY_DIR TOOLCHAIN)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "build_windows.cmake needs -D${variable}=...")
  endif()
endforeach()

set(generator_arguments)
if(GENERATOR AND NOT EXISTS "${BINARY_DIR}/CMakeCache.txt")
  set(generator_arguments -G "${GENERATOR}")
endif()

execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" ${generator_arguments}
          "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}"
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the Windows build in ${BINARY_DIR} failed (${configured})")
endif()

execute_process(
  COMMAND "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --target comtrace tracetool portdoctor
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building comtrace.exe and portdoctor.exe in ${BINARY_DIR} failed (${built})")
endif()
