# What `cmake --install` puts where, and the packages `cpack` makes from it: a Debian package
# from a native build, a ZIP from the Windows build. Only the program and its two documents are
# installed; the test and benchmark programs have no install rules and stay in the build folder.

set(brindle_documents ${CMAKE_CURRENT_SOURCE_DIR}/README.md
                      ${CMAKE_CURRENT_SOURCE_DIR}/brindle.conf.example)

if(WIN32)
  # A Windows user unpacks the ZIP into one folder and puts ffmpeg.exe beside brindle.exe, which
  # is where cmd.exe looks first; the documents sit next to the program.
  install(TARGETS brindle RUNTIME DESTINATION .)
  install(FILES ${brindle_documents} DESTINATION .)
  # The default prefix of a Windows build ("C:/Program Files/...") means nothing on the Linux
  # machine that cross-compiles it; install into the build folder unless told otherwise.
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/install CACHE PATH "Install prefix" FORCE)
  endif()
  set(CPACK_GENERATOR ZIP)
  # brindle.exe at the top of the archive: Windows' "Extract All" makes the folder itself.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  install(TARGETS brindle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${brindle_documents} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME brindle)
set(CPACK_PACKAGE_VENDOR "Brindle developers")
set(CPACK_PACKAGE_CONTACT "Brindle developers <dev@brindle.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a video library converted to H.265/HEVC")
set(CPACK_PACKAGE_DESCRIPTION
    "Brindle is started once a day by a scheduler. It walks a library folder,
picks the recent video files that are not yet HEVC, converts each with an
encoder (ffmpeg with libx265 unless configured otherwise) and puts each
result in place of its source, never losing a file to a failed encode.")
set(CPACK_STRIP_FILES ON)
# The folders of the staged tree are made with the builder's umask; a package made under umask
# 077 would install /usr/share/doc/brindle as a folder only root can read.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_folder_modes.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS ffmpeg)
# The C and C++ runtime libraries the program links against join ffmpeg in Depends, with their
# versions, when dpkg-shlibdeps (package dpkg-dev) is there to work them out.
find_program(BRINDLE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BRINDLE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
