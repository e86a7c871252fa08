# How comtrace is installed and shipped: install rules, man pages, the
# Windows version resource, the Debian package and the Windows zip, all built
# reproducibly. Included once, at the end of the top-level CMakeLists.txt,
# when every shipped target exists.
#
#   cmake --install build --prefix /usr/local   comtrace, devsim, tracetool, portdoctor, man pages, README
#   (cd build && cpack)                         comtrace_<version>_amd64.deb
#   tools/release.sh                            the .deb and the Windows zip, with
#                                               their SHA-256 sums

include(GNUInstallDirs)

set(COMTRACE_PACKAGE_MAINTAINER "The comtrace developers <maintainers@comtrace.invalid>" CACHE STRING
    "Maintainer named in the Debian package and its changelog")
set(COMTRACE_SUMMARY "trace a fixed dialogue with the device on serial port COM1")

# Every date an artifact carries is the last commit's, so that two builds of
# one commit agree. A SOURCE_DATE_EPOCH from the environment wins; outside a
# git checkout without one, the time of configuring has to do.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(COMTRACE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(
    COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE COMTRACE_SOURCE_DATE_EPOCH
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_result
    ERROR_QUIET)
  if(NOT git_result EQUAL 0 OR NOT COMTRACE_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    string(TIMESTAMP COMTRACE_SOURCE_DATE_EPOCH "%s" UTC)
    message(STATUS "No SOURCE_DATE_EPOCH and no git history: artifacts carry today's date")
  endif()
endif()
# string(TIMESTAMP) reads it from the environment.
set(ENV{SOURCE_DATE_EPOCH} "${COMTRACE_SOURCE_DATE_EPOCH}")
string(TIMESTAMP COMTRACE_MAN_DATE "%Y-%m-%d" UTC)

# "Copyright (c) YEAR HOLDER", from the license itself.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" COMTRACE_COPYRIGHT_LINE REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright \\(c\\) " "" COMTRACE_COPYRIGHT "${COMTRACE_COPYRIGHT_LINE}")

# The shipped programs must not depend on where they were built: paths in
# debug information and __FILE__ are made relative (the build tree's mapping
# comes last so that it wins when the build tree lies inside the source
# tree), and the PE header carries no link time.
set(COMTRACE_SHIPPED_TARGETS comtrace comtrace_core comtrace_platform)
if(TARGET devsim)
  list(APPEND COMTRACE_SHIPPED_TARGETS devsim devsim_core devsim_device)
endif()
list(APPEND COMTRACE_SHIPPED_TARGETS tracetool tracetool_core)
list(APPEND COMTRACE_SHIPPED_TARGETS portdoctor)
if(TARGET comtrace_trace)
  # Linked into devsim: its paths reach devsim's build ID.
  list(APPEND COMTRACE_SHIPPED_TARGETS comtrace_trace)
endif()
# Linked into the programs as well, and for the same reason: the holder
# rule into comtrace and portdoctor, the option tables into the companions.
foreach(library IN ITEMS comtrace_holders comtrace_cli)
  if(TARGET ${library})
    list(APPEND COMTRACE_SHIPPED_TARGETS ${library})
  endif()
endforeach()
if(NOT MSVC)
  foreach(target IN LISTS COMTRACE_SHIPPED_TARGETS)
    target_compile_options(${target} PRIVATE
      "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=")
  endforeach()
endif()
if(MINGW)
  target_link_options(comtrace PRIVATE -Wl,--no-insert-timestamp)
  target_link_options(tracetool PRIVATE -Wl,--no-insert-timestamp)
  target_link_options(portdoctor PRIVATE -Wl,--no-insert-timestamp)
endif()
# The hardening Debian builds its packages with. Fortification needs an
# optimised build, so a Debug build goes without it.
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  foreach(target IN LISTS COMTRACE_SHIPPED_TARGETS)
    target_compile_options(${target} PRIVATE -fstack-protector-strong "$<${optimised}:-D_FORTIFY_SOURCE=2>")
  endforeach()
  target_link_options(comtrace PRIVATE -Wl,-z,relro -Wl,-z,now)
  target_link_options(devsim PRIVATE -Wl,-z,relro -Wl,-z,now)
  target_link_options(tracetool PRIVATE -Wl,-z,relro -Wl,-z,now)
  target_link_options(portdoctor PRIVATE -Wl,-z,relro -Wl,-z,now)
endif()

# Directories get the usual mode whatever the umask of whoever installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # What Explorer's file properties show.
  enable_language(RC)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/comtrace.rc.in" "${PROJECT_BINARY_DIR}/comtrace.rc" @ONLY)
  target_sources(comtrace PRIVATE "${PROJECT_BINARY_DIR}/comtrace.rc")

  # What the zip holds: the program, the README and the license, side by
  # side. tools/release.sh zips them itself, since CPack's archives list
  # their members in directory order, which differs between file systems.
  install(TARGETS comtrace RUNTIME DESTINATION . COMPONENT runtime)
  install(TARGETS portdoctor RUNTIME DESTINATION . COMPONENT runtime)
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION . COMPONENT runtime)
  install(TARGETS tracetool RUNTIME DESTINATION . COMPONENT runtime)
  return()
endif()

install(TARGETS comtrace devsim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(TARGETS tracetool RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(TARGETS portdoctor RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT runtime)

# Man pages and the Debian changelog are compressed as Debian wants them;
# -n leaves out the name and time that would differ between builds.
find_program(COMTRACE_GZIP gzip)
if(NOT COMTRACE_GZIP)
  message(FATAL_ERROR "gzip is needed for the man pages")
endif()
function(comtrace_gzip file)
  execute_process(COMMAND "${COMTRACE_GZIP}" -9n -c "${file}" OUTPUT_FILE "${file}.gz" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()
set(man_dir "${PROJECT_BINARY_DIR}/man")
set(man_pages comtrace.1 devsim.1)
list(APPEND man_pages portdoctor.1)
foreach(page IN LISTS man_pages)
  configure_file("${PROJECT_SOURCE_DIR}/man/${page}.in" "${man_dir}/${page}" @ONLY)
  comtrace_gzip("${man_dir}/${page}")
  install(FILES "${man_dir}/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT runtime)
endforeach()
configure_file("${PROJECT_SOURCE_DIR}/man/tracetool.1.in" "${man_dir}/tracetool.1" @ONLY)
comtrace_gzip("${man_dir}/tracetool.1")
install(FILES "${man_dir}/tracetool.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT runtime)

# What every Debian package carries besides: its copyright in the
# machine-readable format and its changelog. Only the package gets them.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license_text)
string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" license_terms "${license_text}")
string(REGEX REPLACE "\n+$" "" license_terms "${license_terms}")
string(REPLACE "\n\n" "\n.\n" license_terms "${license_terms}")
string(REPLACE "\n" "\n " COMTRACE_LICENSE_TERMS " ${license_terms}")
set(debian_dir "${PROJECT_BINARY_DIR}/debian")
configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in" "${debian_dir}/copyright" @ONLY)
include("${PROJECT_SOURCE_DIR}/cmake/debian/changelog.cmake")
comtrace_changelog_from_news("${PROJECT_SOURCE_DIR}/NEWS" "${debian_dir}/changelog" "${PROJECT_VERSION}"
                             "${COMTRACE_PACKAGE_MAINTAINER}")
comtrace_gzip("${debian_dir}/changelog")
install(FILES "${debian_dir}/copyright" "${debian_dir}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COMTRACE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary in front as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "comtrace brings up serial port COM1 (9600 bit/s, 8N1), holds one fixed
dialogue with the device on it (handshake, identification, version, 128
block reads, end) and traces every byte sent and received on the console,
paced to the millisecond.
.
devsim, a simulated device on a pseudo-terminal that stands in for
/dev/ttyS0 in a private mount namespace, lets comtrace run without
hardware.
.
tracetool reads comtrace's traces from either system and turns them into a
verdict with a meaningful exit status, the device's block data, a hex view,
a comparison of two sessions or JSON Lines.
.
portdoctor says why COM1 will not open (no device node, no UART, a
missing group, a getty, a lock, ModemManager, brltty) and prints the fix.")

set(CPACK_PACKAGE_NAME comtrace)
set(CPACK_PACKAGE_VENDOR "The comtrace developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${COMTRACE_SUMMARY}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# cpack runs later, in an environment of its own: it gets the same date.
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake")
file(WRITE "${CPACK_PROJECT_CONFIG_FILE}" "set(ENV{SOURCE_DATE_EPOCH} \"${COMTRACE_SOURCE_DATE_EPOCH}\")\n")
include(CPack)
