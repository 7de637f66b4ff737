# What an install puts where, and the Debian package that CPack makes of it
# (scripts/package.sh: the release preset, then cpack). The version is the
# project's; everything below takes it from there.
include(GNUInstallDirs)

# The AppStream id, which names the metadata file; the desktop entry keeps
# the plain name lullwatch.desktop.
set(LULLWATCH_APPSTREAM_ID "io.github.lullwatch.lullwatch")
set(LULLWATCH_PACKAGE_MAINTAINER "Lullwatch maintainers <maintainers@lullwatch.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

# The release's date and time: the last commit's, else now; SOURCE_DATE_EPOCH,
# when set, wins over both. (string(TIMESTAMP) reads SOURCE_DATE_EPOCH.)
find_package(Git QUIET)
set(commit_time "")
if(GIT_FOUND AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(
        COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE commit_time
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
endif()
if(commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
endif()
string(TIMESTAMP LULLWATCH_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP LULLWATCH_RELEASE_TIME "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(commit_time MATCHES "^[0-9]+$")
    unset(ENV{SOURCE_DATE_EPOCH})
endif()

set(packaging_source ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_binary ${PROJECT_BINARY_DIR}/packaging)
configure_file(${packaging_source}/lullwatch.metainfo.xml.in
               ${packaging_binary}/${LULLWATCH_APPSTREAM_ID}.metainfo.xml @ONLY)
configure_file(${packaging_source}/lullwatch.1.in ${packaging_binary}/lullwatch.1 @ONLY)
configure_file(${packaging_source}/changelog.in ${packaging_binary}/changelog @ONLY)

# The manual page and the changelog go in compressed, as Debian has them.
foreach(file lullwatch.1 changelog)
    add_custom_command(
        OUTPUT ${packaging_binary}/${file}.gz
        COMMAND gzip -9 -n -c ${packaging_binary}/${file} > ${packaging_binary}/${file}.gz
        DEPENDS ${packaging_binary}/${file}
        VERBATIM)
endforeach()

# The icon theme's fixed sizes, rendered from the SVG icon by Qt's own
# renderer at build time.
set(LULLWATCH_ICON_SIZES 16 22 24 32 48 64 128 256)
add_executable(lullwatch-render-icon ${packaging_source}/render-icon.cpp)
target_link_libraries(lullwatch-render-icon PRIVATE lullwatch_options Qt6::Gui Qt6::Svg)
set_target_properties(lullwatch-render-icon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${packaging_binary})
set(icon_pngs)
foreach(size IN LISTS LULLWATCH_ICON_SIZES)
    list(APPEND icon_pngs ${packaging_binary}/icons/${size}x${size}/apps/lullwatch.png)
endforeach()
add_custom_command(
    OUTPUT ${icon_pngs}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:lullwatch-render-icon> ${PROJECT_SOURCE_DIR}/data/lullwatch.svg ${packaging_binary}/icons
            ${LULLWATCH_ICON_SIZES}
    DEPENDS lullwatch-render-icon ${PROJECT_SOURCE_DIR}/data/lullwatch.svg
    VERBATIM)
add_custom_target(lullwatch_package_files ALL
                  DEPENDS ${icon_pngs} ${packaging_binary}/lullwatch.1.gz ${packaging_binary}/changelog.gz)

install(FILES ${packaging_source}/lullwatch.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/lullwatch.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(DIRECTORY ${packaging_binary}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${packaging_binary}/${LULLWATCH_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${packaging_binary}/lullwatch.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaging_source}/completions/lullwatch.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME lullwatch)
install(FILES ${packaging_source}/completions/_lullwatch DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${packaging_binary}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${packaging_source}/lullwatch.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME lullwatch)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lullwatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${LULLWATCH_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watches coding-agent sessions from the tray")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary is the first line of the Description field, and this the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Lullwatch watches Claude Code, Copilot CLI, Qwen Code, Gemini CLI and Codex
CLI sessions and tells at a glance what each one is doing and how many tokens
it has spent. It keeps the computer awake while an agent works, and a desktop
notification says when a session needs you.")
include(CPack)
