# What ships: the host and the reference client, installed into a prefix by
# `cmake --install` and packed by CPack from the same tree: a .tar.gz and a
# .deb on Linux, a .zip on Windows. Test programs, the stand-in loopback
# device and the benchmarks are never installed.
include(GNUInstallDirs)

install(TARGETS audio-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET reference-client)
  install(TARGETS reference-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME audio-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Captures the sound other programs play, for the live-translation app")
set(CPACK_PACKAGE_CONTACT "audio-host maintainers <maintainers@users.noreply.github.com>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY audio-host)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The programs need only the system's DLLs (they are linked statically).
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  # The Linux host's runtime libraries, as Debian 12 names their packages:
  # the C and C++ runtimes, libpulse (the PulseAudio backend), libpipewire
  # (the PipeWire backend) and libxcb with its X-Resource extension (the
  # listing's windows).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libpulse0, libpipewire-0.3-0, libxcb1, libxcb-res0")
endif()
include(CPack)
