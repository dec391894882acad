# The Debian package: `apt install ./quillmark_<version>_<arch>.deb` on a
# fresh Debian 12 must bring everything the program needs at run time.

set(QM_PACKAGE_MAINTAINER "Velmora <quillmark@velmora.example>" CACHE STRING
  "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quillmark Converter: e-mail messages to multi-page TIFF images")
set(CPACK_PACKAGE_DESCRIPTION
  "Turns e-mail messages saved as .eml files into one multi-page TIFF image per
message, with the sender, recipients, subject and date shown above the message
text. LibreOffice lays the pages out; the window lists the messages and the
quillmark-convert command converts them from scripts.")
# Debug information stays in the build tree; users get lean binaries.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QM_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# What no linker can see: the page engine's Chromium process
# (QtWebEngineProcess) comes in a package of its own, and the fonts are what
# mail is laid out with (Liberation is metric compatible with the fonts most
# mail names). Tesseract's English data is what --ocr reads pictures with.
set(QM_PACKAGE_RUNTIME_DEPENDS
  "libqt6webenginecore6-bin, fonts-liberation2, fonts-dejavu-core, tesseract-ocr-eng")
# The libraries the executables link, for a machine without dpkg-shlibdeps.
set(QM_PACKAGE_LIBRARY_DEPENDS
  "libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, libqt6webenginecore6, libgmime-3.0-0, libpoppler-cpp0v5, libtiff6, libcsv3, libtesseract5, libuchardet0, libpff1, libytnef0, libolecf1")

find_program(QM_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QM_FILE_COMMAND file)
if(QM_DPKG_SHLIBDEPS AND QM_FILE_COMMAND)
  # Versioned library dependencies read from the binaries themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${QM_PACKAGE_RUNTIME_DEPENDS}")
else()
  message(STATUS "dpkg-shlibdeps or file not found (apt-get install dpkg-dev file): "
                 "the package lists its libraries without versions")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${QM_PACKAGE_RUNTIME_DEPENDS}, ${QM_PACKAGE_LIBRARY_DEPENDS}")
endif()
# Mail comes in every script: without Noto, Thai, Chinese, Japanese and Korean
# text turns into boxes on the page. Sessions on Wayland use qt6-wayland when
# present; X11 and XWayland work without. LibreOffice (loaded at run time from
# its own folder) lays out office documents only; mail needs none. Writer
# without its user interface is the small choice, but it conflicts with the
# full Writer, which a desktop that has it keeps and which serves us as well.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libreoffice-writer-nogui | libreoffice-writer, fonts-noto-core, fonts-noto-cjk, qt6-wayland")

include(CPack)
