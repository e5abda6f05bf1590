# Debian packages, as CPack's DEB generator makes them (scripts/package.sh):
#   libkilnware1    the shared library and its stand-in programs
#   libkilnware-dev the headers, the CMake package, the pkg-config file and the .so link
#   kilnware        the command, its manual page and its bash and zsh completions
#   kilnware-desktop the desktop program, its desktop entry, icons and AppStream metainfo
# The library package is named after the SONAME, so that an incompatible library (a new SONAME)
# installs beside the old one.

set(CPACK_PACKAGE_NAME kilnware)
set(CPACK_PACKAGE_VENDOR "Kilnware")
set(CPACK_PACKAGE_CONTACT ${KILNWARE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SOURCE kilnware)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development command)
if(TARGET kilnware-desktop)
    list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# Each package depends on the libraries its programs link (dpkg-shlibdeps), and the library
# package announces its own SONAME to the packages built against it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The command links the library of its sibling package: dpkg-shlibdeps finds it in the build tree
# and leaves the dependency to the component's (exact version).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KILNWARE_BUILD_LIBDIR})

set(KILNWARE_RUNTIME_PACKAGE libkilnware${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KILNWARE_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The stand-ins run genisoimage for every disc-image route and dvdauthor for video DVDs only.
# FFmpeg's libraries are loaded with dlopen, by the sonames of the headers the library was built
# with (platform/media/FFmpeg.cpp), so dpkg-shlibdeps never sees them: they are named here, as
# their packages' shlibs files would have named them.
set(KILNWARE_DLOPENED_DEPENDS)
foreach(ffmpeg_library avutil avcodec avformat)
    string(TOUPPER ${ffmpeg_library} upper)
    string(REGEX MATCH "^[0-9]+" major "${${upper}_VERSION}")
    set(soname lib${ffmpeg_library}.so.${major})
    # By Debian's naming of library packages; the shlibs file of the package that holds the
    # library adds the least version.
    set(dependency lib${ffmpeg_library}${major})
    execute_process(COMMAND dpkg-query -S ${${upper}_LIBDIR}/${soname}
        OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed)
        string(REGEX REPLACE ":.*" "" owner "${owner}")
        execute_process(COMMAND dpkg-query --control-path ${owner} shlibs
            OUTPUT_VARIABLE shlibs OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(shlibs AND EXISTS ${shlibs})
            file(STRINGS ${shlibs} entry REGEX "^lib${ffmpeg_library} ${major} ")
            string(REGEX REPLACE "^lib${ffmpeg_library} ${major} " "" entry "${entry}")
            if(entry)
                set(dependency ${entry})
            endif()
        endif()
    endif()
    list(APPEND KILNWARE_DLOPENED_DEPENDS ${dependency})
endforeach()
list(JOIN KILNWARE_DLOPENED_DEPENDS ", " KILNWARE_DLOPENED_DEPENDS)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "genisoimage, ${KILNWARE_DLOPENED_DEPENDS}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "dvdauthor")
# Each description's first line is its package's summary (no summary shared by all of them).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Disc-burning library for Linux hosts
Burns audio CDs with CD-Text, MP3 CDs, data discs and video DVDs through
libburn, or to disc images without a recorder.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkilnware-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Disc-burning library for Linux hosts (development files)
The C++20 headers, the CMake package and the pkg-config file of libkilnware.")

set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME kilnware)
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_COMMAND_DEPENDS runtime)
set(CPACK_COMPONENT_COMMAND_DESCRIPTION "Burns data discs, MP3 CDs, audio CDs and video DVDs
Without a recorder it burns to disc images: ISO for data and video, BIN/CUE
with CD-Text for audio.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME kilnware-desktop)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION otherosfs)
set(CPACK_COMPONENT_DESKTOP_DEPENDS runtime)
# "Show the files" opens the image folder in the file manager through xdg-open.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION "Burns audio CDs, data discs and video DVDs in windows
Kilnware Disc Burner puts together audio CDs with CD-Text, MP3 CDs, data discs
and video DVDs, burns disc images and erases rewritable discs. Without a
recorder it burns to disc images.")

# What Debian's policy asks of every package: the copyright and the changelog in its doc folder
# (the changelog compressed, as the manual page is), and the library's ldconfig trigger. The
# changelog's version and maintainer come from the project's head.
set(KILNWARE_DEBIAN_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
    ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
    ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/debian/changelog.Debian
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component ${CPACK_COMPONENTS_ALL})
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
                  ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
        COMPONENT ${component})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)

include(CPack)
