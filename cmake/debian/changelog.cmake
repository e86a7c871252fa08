# The Debian changelog, built from NEWS: one stanza per release, newest
# first, each item of the release a "*" entry, signed by the maintainer on
# the release's date. Configuring fails when NEWS cannot be read or when
# its newest release is not the project's version, so that no package
# ships without its entry.

# Day of the week (0 = Sunday) of a Gregorian date, by Zeller's congruence.
function(comtrace_weekday year month day out)
  if(month LESS 3)
    math(EXPR month "${month} + 12")
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR century "${year} / 100")
  math(EXPR in_century "${year} % 100")
  # Zeller counts from Saturday; shifted by 6 to count from Sunday.
  math(EXPR zeller "(${day} + (13 * (${month} + 1)) / 5 + ${in_century} + ${in_century} / 4 + ${century} / 4 + 5 * ${century}) % 7")
  math(EXPR weekday "(${zeller} + 6) % 7")
  set(${out} ${weekday} PARENT_SCOPE)
endfunction()

# comtrace_changelog_from_news(NEWS CHANGELOG VERSION MAINTAINER)
# Also run as a script, by the package checks:
#   cmake -DNEWS=... -DCHANGELOG=... -DVERSION=... -DMAINTAINER=... -P changelog.cmake
function(comtrace_changelog_from_news news changelog version maintainer)
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${news}")
  endif()
  # One list item a line; a semicolon or bracket in the text would split
  # or join items, so each stands in as a control character until written.
  file(READ "${news}" content)
  string(ASCII 1 semicolon)
  string(ASCII 2 open_bracket)
  string(ASCII 3 close_bracket)
  string(REPLACE ";" "${semicolon}" content "${content}")
  string(REPLACE "[" "${open_bracket}" content "${content}")
  string(REPLACE "]" "${close_bracket}" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(day_names Sun Mon Tue Wed Thu Fri Sat)
  set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(text "")
  set(signature "")
  set(newest "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
      set(release "${CMAKE_MATCH_1}")
      set(year "${CMAKE_MATCH_2}")
      set(month "${CMAKE_MATCH_3}")
      set(day "${CMAKE_MATCH_4}")
      if(newest STREQUAL "")
        set(newest "${release}")
      endif()
      # Leading zeros would make math() read octal.
      string(REGEX REPLACE "^0" "" month_number "${month}")
      string(REGEX REPLACE "^0" "" day_number "${day}")
      comtrace_weekday(${year} ${month_number} ${day_number} weekday)
      list(GET day_names ${weekday} day_name)
      math(EXPR month_index "${month_number} - 1")
      list(GET month_names ${month_index} month_name)
      string(APPEND text "${signature}comtrace (${release}) unstable; urgency=medium\n\n")
      set(signature "\n -- ${maintainer}  ${day_name}, ${day} ${month_name} ${year} 00:00:00 +0000\n\n")
    elseif(newest STREQUAL "")
      # The file's own introduction.
    elseif(line MATCHES "^- (.*)$")
      string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  (.*)$")
      string(APPEND text "    ${CMAKE_MATCH_1}\n")
    elseif(NOT line STREQUAL "")
      message(FATAL_ERROR "${news}: neither a release, an item nor its continuation: '${line}'")
    endif()
  endforeach()
  if(NOT newest STREQUAL version)
    message(FATAL_ERROR "${news}: the newest release is '${newest}', not the project's ${version}: add its entry")
  endif()
  # The last stanza's signature ends the file with one newline.
  string(REGEX REPLACE "\n+$" "\n" signature "${signature}")
  set(text "${text}${signature}")
  string(REPLACE "${semicolon}" ";" text "${text}")
  string(REPLACE "${open_bracket}" "[" text "${text}")
  string(REPLACE "${close_bracket}" "]" text "${text}")
  file(WRITE "${changelog}" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  comtrace_changelog_from_news("${NEWS}" "${CHANGELOG}" "${VERSION}" "${MAINTAINER}")
endif()
