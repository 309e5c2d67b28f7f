# Installation as a desktop program, and a Debian package of it (cpack -G DEB).
#
#   <prefix>/bin/murmelo                         launcher: runs the program from the user's
#                                                state folder, where its log belongs
#   <prefix>/lib/murmelo/{murmelo,encode.sh}     the program and its encoder, side by side
#   <prefix>/share/murmelo/media.zip             found by the program as ../../share/murmelo
#   <prefix>/share/{applications,metainfo}      menu entry and software-centre data
#   <prefix>/share/icons/hicolor                 the icon, 16 to 256 pixels and scalable
#
# The folders are fixed rather than GNUInstallDirs ones: the program finds its media through
# the relative path above, and Debian's multiarch lib folder would break it.

set(MURMELO_APP_ID "org.example.murmelo.Murmelo")
set(MURMELO_PROGRAM_DIR "lib/murmelo")
set(MURMELO_DATA_DIR "share/murmelo")
set(MURMELO_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

set(MURMELO_INSTALL_FOLDERS
    bin "${MURMELO_PROGRAM_DIR}" "${MURMELO_DATA_DIR}" share/applications share/metainfo
    share/icons/hicolor/16x16/apps share/icons/hicolor/32x32/apps share/icons/hicolor/48x48/apps
    share/icons/hicolor/256x256/apps share/icons/hicolor/scalable/apps share/doc/murmelo)

# Folders are made with the installing user's umask, whatever CMake is told: under umask 077 a
# package would hold folders no one else may enter. Note which folders this installation
# creates, and open them up to everyone (0755) at the end.
string(CONFIGURE [[
set(murmelo_new_folders "")
foreach(folder IN ITEMS @MURMELO_INSTALL_FOLDERS@)
    set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${folder}")
    # Install scripts run without this project's policies: no if(IN_LIST) here.
    while(NOT EXISTS "${path}")
        list(FIND murmelo_new_folders "${path}" known)
        if(NOT known EQUAL -1)
            break()
        endif()
        list(APPEND murmelo_new_folders "${path}")
        get_filename_component(path "${path}" DIRECTORY)
    endwhile()
endforeach()
]] MURMELO_NOTE_NEW_FOLDERS @ONLY)
install(CODE "${MURMELO_NOTE_NEW_FOLDERS}")

install(TARGETS murmelo RUNTIME DESTINATION "${MURMELO_PROGRAM_DIR}")
install(PROGRAMS "${PROJECT_SOURCE_DIR}/scripts/encode.sh" DESTINATION "${MURMELO_PROGRAM_DIR}")
install(FILES "${MURMELO_RUN_DIR}/media.zip" DESTINATION "${MURMELO_DATA_DIR}")
install(PROGRAMS "${MURMELO_PACKAGING_DIR}/murmelo" DESTINATION bin)

install(FILES "${MURMELO_PACKAGING_DIR}/${MURMELO_APP_ID}.desktop"
        DESTINATION share/applications)
install(FILES "${MURMELO_PACKAGING_DIR}/${MURMELO_APP_ID}.metainfo.xml"
        DESTINATION share/metainfo)
foreach(size 16 32 48)
    install(FILES "${PROJECT_SOURCE_DIR}/media/pack/icon${size}.png"
            DESTINATION "share/icons/hicolor/${size}x${size}/apps"
            RENAME "${MURMELO_APP_ID}.png")
endforeach()
install(FILES "${PROJECT_SOURCE_DIR}/media/icon256.png"
        DESTINATION share/icons/hicolor/256x256/apps
        RENAME "${MURMELO_APP_ID}.png")
install(FILES "${PROJECT_SOURCE_DIR}/media/icon.svg"
        DESTINATION share/icons/hicolor/scalable/apps
        RENAME "${MURMELO_APP_ID}.svg")
install(FILES "${MURMELO_PACKAGING_DIR}/copyright" DESTINATION share/doc/murmelo)
install(CODE [[
if(murmelo_new_folders)
    file(CHMOD ${murmelo_new_folders} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
]])

# Debian package. The menu and icon caches are refreshed by dpkg triggers of
# desktop-file-utils and hicolor-icon-theme: no maintainer scripts needed.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "murmelo")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Murmelo developers")
set(CPACK_PACKAGE_CONTACT "Murmelo developers <murmelo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice message recorder that sends by e-mail")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Murmelo records a spoken message, plays it back and hands it to the\n"
    "desktop's mail program as an MP2 attachment. One small window with a\n"
    "few large buttons.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME "murmelo")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://murmelo.example.org/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack makes the staging prefix (usr) itself, under the packager's umask: every folder of the
# package gets 0755 once staged.
set(MURMELO_OPEN_PACKAGE_FOLDERS "${CMAKE_BINARY_DIR}/OpenPackageFolders.cmake")
file(WRITE "${MURMELO_OPEN_PACKAGE_FOLDERS}" [[
file(GLOB_RECURSE folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(folder IN LISTS folders)
    if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
        file(CHMOD "${folder}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
]])
set(CPACK_PRE_BUILD_SCRIPTS "${MURMELO_OPEN_PACKAGE_FOLDERS}")
# encode.sh runs twolame; sending goes through xdg-email.
set(MURMELO_TOOL_DEPENDS "twolame, xdg-utils")
find_program(MURMELO_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(MURMELO_DPKG_SHLIBDEPS)
if(MURMELO_DPKG_SHLIBDEPS)
    # Exact library packages and minimum versions, read from the binary.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${MURMELO_TOOL_DEPENDS}")
else()
    message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): "
                   "the Debian package gets a fixed list of library dependencies")
    string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6 (>= 2.34), libgcc-s1, libstdc++6, libirrlicht1.8, libsdl2-2.0-0, libx11-6, "
        "${MURMELO_TOOL_DEPENDS}")
endif()

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
