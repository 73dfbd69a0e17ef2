# The program's version: project()'s, extended by where the checkout stands (commits on the branch and
# `git describe`) when there is a checkout, so that two builds of different commits never share a version.
# Run as a script at every build; it rewrites its outputs only when the version changed, so nothing rebuilds
# for nothing:
#   cmake -DBASE=1.0.0 -DSOURCE=<checkout> -DOUTPUT=<folder> [-DPACKAGE=<name> -DMAINTAINER=<address>] -P version.cmake
# OUTPUT/version.h    SERVICE_VERSION for the program
# OUTPUT/version.txt  the same for the package
# OUTPUT/changelog.gz the package's changelog entry for it (when PACKAGE is given)

set(version ${BASE})
set(date "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${SOURCE}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty WORKING_DIRECTORY ${SOURCE}
                    OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD WORKING_DIRECTORY ${SOURCE}
                    OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 "--date=format:%a, %d %b %Y %H:%M:%S %z" --format=%cd
                    WORKING_DIRECTORY ${SOURCE} OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND describe)
        # A Debian version takes letters, digits and . + ~ after the upstream part; a hyphen would start a
        # Debian revision.
        string(REGEX REPLACE "[^A-Za-z0-9.+~]" "." describe "${describe}")
        set(version "${BASE}+${count}.g${describe}")
    endif()
endif()
if(NOT date)
    string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()

function(write_if_changed path text)
    if(EXISTS ${path})
        file(READ ${path} old)
        if(old STREQUAL text)
            return()
        endif()
    endif()
    file(WRITE ${path} "${text}")
endfunction()

file(MAKE_DIRECTORY ${OUTPUT})
write_if_changed(${OUTPUT}/version.h "#pragma once\n#define SERVICE_VERSION \"${version}\"\n")
write_if_changed(${OUTPUT}/version.txt "${version}\n")
if(PACKAGE)
    set(entry "${PACKAGE} (${version}) unstable; urgency=medium\n\n  * Built from the checkout at ${version}.\n\n -- ${MAINTAINER}  ${date}\n")
    set(old "")
    if(EXISTS ${OUTPUT}/changelog)
        file(READ ${OUTPUT}/changelog old)
    endif()
    if(NOT old STREQUAL entry OR NOT EXISTS ${OUTPUT}/changelog.gz)
        file(WRITE ${OUTPUT}/changelog "${entry}")
        # Debian wants it compressed at the highest level, without a name or time stamp inside.
        execute_process(COMMAND gzip -9nc ${OUTPUT}/changelog OUTPUT_FILE ${OUTPUT}/changelog.gz
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
endif()
