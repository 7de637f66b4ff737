# Version, build number and donation address, known to the code through Version.h.
if(LULLWATCH_BUILD_NUMBER STREQUAL "")
    find_package(Git QUIET)
    set(LULLWATCH_RESOLVED_BUILD_NUMBER 0)
    if(GIT_FOUND)
        execute_process(
            COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commit_count
            OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET
            RESULT_VARIABLE git_result)
        if(git_result EQUAL 0 AND commit_count MATCHES "^[0-9]+$")
            set(LULLWATCH_RESOLVED_BUILD_NUMBER ${commit_count})
        endif()
    endif()
else()
    set(LULLWATCH_RESOLVED_BUILD_NUMBER ${LULLWATCH_BUILD_NUMBER})
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/Version.h.in ${PROJECT_BINARY_DIR}/generated/Version.h @ONLY)
