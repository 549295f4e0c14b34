# Installs Snagreel like any other desktop application (the program, its menu
# entry, its software-centre description and its icon) and describes the Debian
# package that `cpack -G DEB` builds from that installation:
#   cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#     -DCMAKE_INSTALL_PREFIX=/usr -DSNAGREEL_TESTS=OFF -DSNAGREEL_BENCH=OFF
#   cmake --build build/package && (cd build/package && cpack -G DEB)
#   sudo apt install ./build/package/snagreel_*.deb

set(SNAGREEL_APP_ID org.snagreel.Snagreel)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/${SNAGREEL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${SNAGREEL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/SnagreelApp/resources/icons/snagreel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME snagreel)
set(CPACK_PACKAGE_VENDOR "Snagreel")
set(CPACK_PACKAGE_CONTACT "Snagreel maintainers <maintainers@snagreel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Always-on screen rewind that saves the last minute on demand")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps the last minute of the screen in memory and saves the last 30 or 60 seconds \
as a video clip when asked, with a written report beside it.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY snagreel)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps; what it loads or
# starts at run time does not show up there and is named here:
# - the Qt plugins for SVG icons and the multimedia back end, and GStreamer's
#   decoders for the replay player;
# - the sandbox and the interpreter the local report engine runs under, and
#   the text recognition it reads frames with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6svg6, libqt6multimedia6, gstreamer1.0-plugins-good, gstreamer1.0-libav, bubblewrap, python3, tesseract-ocr, tesseract-ocr-eng")
# The cloud engine is a script for Node.js, and the engines' frame tools are
# ffmpeg's; without them the recorder and the editor still work.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nodejs, ffmpeg")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://snagreel.invalid")

include(CPack)

# The desktop entry and the metainfo are checked by the validators desktops use,
# where they are installed.
if(SNAGREEL_TESTS)
  find_program(SNAGREEL_DESKTOP_FILE_VALIDATE desktop-file-validate)
  find_program(SNAGREEL_APPSTREAMCLI appstreamcli)
  enable_testing()
  if(SNAGREEL_DESKTOP_FILE_VALIDATE)
    add_test(NAME PackagingDesktopEntry
             COMMAND ${SNAGREEL_DESKTOP_FILE_VALIDATE} ${CMAKE_CURRENT_LIST_DIR}/${SNAGREEL_APP_ID}.desktop)
    set_tests_properties(PackagingDesktopEntry PROPERTIES FAIL_REGULAR_EXPRESSION "error:")
  endif()
  if(SNAGREEL_APPSTREAMCLI)
    add_test(NAME PackagingMetainfo
             COMMAND ${SNAGREEL_APPSTREAMCLI} validate --no-net ${CMAKE_CURRENT_LIST_DIR}/${SNAGREEL_APP_ID}.metainfo.xml)
  endif()
endif()
