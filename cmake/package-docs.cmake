# cmake/package-docs.cmake: the installed documents made from the sources, run by the build
# (cmake -P) with SRC (the source tree), OUT (a folder of the build tree), VERSION (the project
# version), DEB_RELEASE (the Debian package's revision) and MAINTAINER (its maintainer) set:
#   OUT/man1/<page>.1.gz   the manual pages with the version in their .TH line, gzip -9n;
#                          pasel32.1.gz a link to kivet32.1.gz
#   OUT/changelog.gz       CHANGELOG.md, gzip -9n
#   OUT/changelog.Debian.gz  CHANGELOG.md's newest entry in Debian's changelog format, gzip -9n
# The newest entry of CHANGELOG.md must be VERSION: the build fails when the two part.

find_program(GZIP gzip REQUIRED)

# Compresses in as Debian wants it: best compression, no name and no time stamp inside.
function(gzip_to in out)
    execute_process(COMMAND ${GZIP} -9n -c ${in} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${in}: ${rc}")
    endif()
endfunction()

file(MAKE_DIRECTORY ${OUT}/man1)
set(PROJECT_VERSION ${VERSION})
foreach(page kivet32 devsim)
    configure_file(${SRC}/docs/man/${page}.1 ${OUT}/man1/${page}.1 @ONLY)
    gzip_to(${OUT}/man1/${page}.1 ${OUT}/man1/${page}.1.gz)
endforeach()
# pasel32's page is kivet32's under its second name: a symbolic link, as Debian prefers to .so.
file(CREATE_LINK kivet32.1.gz ${OUT}/man1/pasel32.1.gz SYMBOLIC)

gzip_to(${SRC}/CHANGELOG.md ${OUT}/changelog.gz)

# The Debian changelog: the newest "## <version> - <yyyy-mm-dd>" entry; each "### Theme" becomes
# a "  * Theme:" item, each "- text" under it a "    - text" line, its continuations kept under
# it. Prose between the headings is the Markdown file's own.
file(STRINGS ${SRC}/CHANGELOG.md lines)
set(state before)
set(body "")
foreach(line IN LISTS lines)
    if(line MATCHES "^## ")
        if(state STREQUAL "in")
            break()
        endif()
        if(NOT line MATCHES "^## ([0-9.]+) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
            message(FATAL_ERROR "CHANGELOG.md: \"${line}\" is not \"## <version> - <yyyy-mm-dd>\"")
        endif()
        set(entry_version ${CMAKE_MATCH_1})
        set(year ${CMAKE_MATCH_2})
        math(EXPR month "1${CMAKE_MATCH_3} - 100")
        math(EXPR day "1${CMAKE_MATCH_4} - 100")
        set(state in)
    elseif(state STREQUAL "in")
        if(line MATCHES "^### (.+)$")
            string(APPEND body "  * ${CMAKE_MATCH_1}:\n")
        elseif(line MATCHES "^- (.+)$")
            string(APPEND body "    - ${CMAKE_MATCH_1}\n")
        elseif(line MATCHES "^  (.+)$")
            string(APPEND body "      ${CMAKE_MATCH_1}\n")
        endif()
    endif()
endforeach()
if(NOT state STREQUAL "in")
    message(FATAL_ERROR "CHANGELOG.md: no \"## <version> - <date>\" entry")
endif()
if(NOT entry_version VERSION_EQUAL VERSION)
    message(FATAL_ERROR "CHANGELOG.md: the newest entry is ${entry_version}, the project ${VERSION}")
endif()
string(REPLACE "\n" ";" body_lines "${body}")
foreach(body_line IN LISTS body_lines)
    string(LENGTH "${body_line}" body_line_length)
    if(body_line_length GREATER 80)
        message(FATAL_ERROR "CHANGELOG.md: a line longer than Debian's 80 characters: ${body_line}")
    endif()
endforeach()

# The day of the week (Zeller's congruence, 0 = Saturday) for the RFC 5322 date.
set(m ${month})
set(y ${year})
if(m LESS 3)
    math(EXPR m "${m} + 12")
    math(EXPR y "${y} - 1")
endif()
math(EXPR wd "(${day} + (13 * (${m} + 1)) / 5 + ${y} % 100 + (${y} % 100) / 4 + (${y} / 100) / 4 + 5 * (${y} / 100)) % 7")
set(wdays Sat Sun Mon Tue Wed Thu Fri)
list(GET wdays ${wd} wday)
math(EXPR mi "${month} - 1")
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET months ${mi} mon)
if(day LESS 10)
    set(day "0${day}")
endif()

file(WRITE ${OUT}/changelog.Debian
     "kivet32 (${VERSION}-${DEB_RELEASE}) unstable; urgency=medium\n\n${body}\n"
     " -- ${MAINTAINER}  ${wday}, ${day} ${mon} ${year} 00:00:00 +0000\n")
gzip_to(${OUT}/changelog.Debian ${OUT}/changelog.Debian.gz)
