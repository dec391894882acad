# Installing like a desktop program: the program folder goes whole under
# <prefix>/lib/quillmark (the executables find their tools, skin, cursors and
# samples beside their real location), the two commands a user types are
# relative links in <prefix>/bin, and the menu entry and icons go where the
# desktop looks for them. Included last, so every executable target exists.

set(QM_INSTALL_PROGRAM_DIR lib/quillmark)

# Nothing we install loads a library from the build tree: our own libraries
# are static and everything else comes from the system's library folders.
set(QM_INSTALLED_EXECUTABLES)
foreach(program quillmark quillmark-office vexlo quillmark-convert)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "" SKIP_BUILD_RPATH OFF)
    install(TARGETS ${program} RUNTIME DESTINATION ${QM_INSTALL_PROGRAM_DIR})
    list(APPEND QM_INSTALLED_EXECUTABLES ${program})
  endif()
endforeach()

# The files the program reads from its folder at run time, taken from the
# lists the folders that copy them into the build tree keep.
get_directory_property(QM_PROGRAM_RESOURCES DIRECTORY ${CMAKE_SOURCE_DIR}/resources
  DEFINITION QM_PROGRAM_RESOURCES)
get_directory_property(QM_SAMPLE_MESSAGES DIRECTORY ${CMAKE_SOURCE_DIR}/samples
  DEFINITION QM_SAMPLE_MESSAGES)
if(NOT QM_PROGRAM_RESOURCES OR NOT QM_SAMPLE_MESSAGES)
  message(FATAL_ERROR "Install: the lists of program resources or sample messages are empty")
endif()
foreach(file ${QM_PROGRAM_RESOURCES})
  get_filename_component(folder ${file} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/${file}
    DESTINATION ${QM_INSTALL_PROGRAM_DIR}/${folder})
endforeach()
install(FILES ${QM_SAMPLE_MESSAGES} DESTINATION ${QM_INSTALL_PROGRAM_DIR}/Samples)

# Relative links, so the tree works wherever it is unpacked (a staging folder,
# a test prefix, /usr). The programs resolve /proc/self/exe, so a link still
# leads them to their own folder.
foreach(program quillmark quillmark-convert)
  if(TARGET ${program})
    install(CODE "
      set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")
      file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
      file(REMOVE \"\${link}\")
      message(STATUS \"Installing: \${link} -> ../${QM_INSTALL_PROGRAM_DIR}/${program}\")
      file(CREATE_LINK \"../${QM_INSTALL_PROGRAM_DIR}/${program}\" \"\${link}\" SYMBOLIC)
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
    ")
  endif()
endforeach()

# The menu entry and the icon in every size the desktop asks for.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quillmark.desktop DESTINATION share/applications)
foreach(size 16 22 24 32 48 64 128)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/quillmark-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME quillmark.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/quillmark.png
  DESTINATION share/icons/hicolor/256x256/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/quillmark.svg
  DESTINATION share/icons/hicolor/scalable/apps)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
