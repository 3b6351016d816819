# cmake --install: the GNU directories, so that a package or a plain "make install" user gets
# the program where the system expects it.
set(PROWLIX_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    CACHE PATH "Where the systemd unit is installed")

# The documentation directory carries the package's name, in lower case like the executable.
string(REPLACE "/doc/${PROJECT_NAME}" "/doc/prowlix" prowlix_doc_dir "${CMAKE_INSTALL_DOCDIR}")

install(TARGETS prowlix prowlixctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/prowlix.1 docs/prowlixctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Where bash-completion loads a command's completion on first use.
install(FILES packaging/prowlixctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME prowlixctl)
install(FILES docs/CONTROL.md DESTINATION ${prowlix_doc_dir})
install(FILES examples/demo.ini examples/desktop-demo.ini examples/mail.ini examples/metrics.ini
        DESTINATION ${prowlix_doc_dir}/examples)

# The service runs the installed executable on the system's configuration and log directories.
configure_file(packaging/prowlix.service.in ${CMAKE_BINARY_DIR}/packaging/prowlix.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/prowlix.service DESTINATION ${PROWLIX_SYSTEMD_UNIT_DIR})
install(FILES packaging/prowlix.ini DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/prowlix)

if(PROWLIX_DESKTOP)
  install(TARGETS prowlix-desktop LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/prowlix)
  install(FILES src/ui/prowlix.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  set(icon_root ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES src/ui/prowlix.svg DESTINATION ${icon_root}/scalable/apps)

  # The bitmaps are rendered from the one drawing at build time, so they never drift from it.
  find_program(RSVG_CONVERT rsvg-convert)
  if(RSVG_CONVERT)
    set(icon_files)
    foreach(size 16 22 24 32 48 64 128 256)
      set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/prowlix.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/src/ui/prowlix.svg
        DEPENDS ${CMAKE_SOURCE_DIR}/src/ui/prowlix.svg
        VERBATIM)
      list(APPEND icon_files ${png})
      install(FILES ${png} DESTINATION ${icon_root}/${size}x${size}/apps)
    endforeach()
    add_custom_target(prowlix_icons ALL DEPENDS ${icon_files})
  else()
    message(WARNING "rsvg-convert not found (Debian package librsvg2-bin): only the scalable icon will be installed")
  endif()
endif()
