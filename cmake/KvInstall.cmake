# cmake --install: the desktop program with the files it reads from its working directory, its
# desktop entry and icon, and the probe's udev rule. (libvexacore and ovfind install from their
# own directories.)
include(GNUInstallDirs)

# The folder ostrel is started in: it reads ./default.kvd, ./scripts/init.lua and
# ./ostrel_help.html from its working directory.
set(KV_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/ostrel)

if(TARGET ostrel)
  install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ostrel)
  install(FILES ${PROJECT_SOURCE_DIR}/default.kvd ${PROJECT_SOURCE_DIR}/ostrel_help.html
    DESTINATION ${KV_SHARE_DIR} COMPONENT ostrel)
  install(FILES ${PROJECT_SOURCE_DIR}/scripts/init.lua DESTINATION ${KV_SHARE_DIR}/scripts COMPONENT ostrel)
  install(FILES ${PROJECT_SOURCE_DIR}/app/ostrel.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps COMPONENT ostrel)
  # The entry names absolute paths, so it is configured at install time, for the prefix that
  # cmake --install --prefix gives (DESTDIR stays out of the paths, as packagers need), and then
  # installed as a file, which puts it in install_manifest.txt like every other file.
  set(KV_DESKTOP_ENTRY ${CMAKE_CURRENT_BINARY_DIR}/install-entry/ostrel.desktop)
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    set(KV_DESKTOP_EXEC \"\${prefix}/${CMAKE_INSTALL_BINDIR}/ostrel\")
    if(KV_DESKTOP_EXEC MATCHES \" \")
      set(KV_DESKTOP_EXEC \"\\\"\${KV_DESKTOP_EXEC}\\\"\")
    endif()
    set(KV_DESKTOP_PATH \"\${prefix}/${KV_SHARE_DIR}\")
    set(KV_DESKTOP_ICON \"\${prefix}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps/ostrel.png\")
    configure_file(\"${PROJECT_SOURCE_DIR}/app/ostrel.desktop.in\" \"${KV_DESKTOP_ENTRY}\" @ONLY)"
    COMPONENT ostrel)
  install(FILES ${KV_DESKTOP_ENTRY} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT ostrel)
endif()

# udev rule: lets the logged-in user open the probe without root. udev reads /etc/udev/rules.d,
# so a system prefix (/usr, /usr/local) puts it there; any other prefix is a user's own install,
# which must not need root: the rule then goes beside the program's files in share/ostrel/ for
# the user to copy (the README says how). KV_UDEV_RULES_INSTALL_DIR names a folder for every prefix.
set(KV_UDEV_RULES_INSTALL_DIR "" CACHE PATH
  "Where cmake --install puts the udev rule (empty: /etc/udev/rules.d for /usr and /usr/local, else share/ostrel)")
install(CODE "
  set(dir \"${KV_UDEV_RULES_INSTALL_DIR}\")
  if(NOT dir)
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr(/local)?/*$\")
      set(dir /etc/udev/rules.d)
    else()
      set(dir \"\${CMAKE_INSTALL_PREFIX}/${KV_SHARE_DIR}\")
    endif()
  endif()
  # file(INSTALL) puts DESTDIR in front by itself.
  file(INSTALL DESTINATION \"\${dir}\" TYPE FILE
    FILES \"${PROJECT_SOURCE_DIR}/ov/sw_low/70-ostrel-probe.rules\")" COMPONENT udev)
