# Packages made with CPack (`make package`): a Debian package from the native build, a zip with
# comterm.exe and its README from the Windows build. Run cpack in the build folder, or with
# --config <build folder>/CPackConfig.cmake.
set(CPACK_PACKAGE_NAME comterm)
set(CPACK_PACKAGE_VENDOR "comterm developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "interactive serial-port terminal for UTF-8 devices, with a GBK console")
set(COMTERM_PACKAGE_MAINTAINER "comterm developers <comterm@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_CONTACT "${COMTERM_PACKAGE_MAINTAINER}")
# Release packages carry no debug information, whatever the build type.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip holds comterm.exe and README.txt at its top and nothing else: only the component below
  # is packed, so the install rules of the bundled GoogleTest and the bin/ layout of `make install`
  # stay out of it.
  install(TARGETS comterm RUNTIME DESTINATION . COMPONENT windows_zip)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The Debian revision of this packaging of the release; docs/debian/changelog names it too.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COMTERM_PACKAGE_MAINTAINER}")
  # The extended description; CPack puts the summary above it as the synopsis line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "comterm connects the terminal to one serial device: everything the device
sends is shown as it arrives, every key typed is sent at once, raw, as the
terminal gives it. Text from the device is taken as UTF-8 and shown through GBK, as on a
Chinese Windows console; on a UTF-8 terminal it is shown converted back. A
device that goes away is reopened once a second until it is back. COM port
names map to Linux devices, and non-standard rates such as 74880 are set
exactly.")
  # The completion needs bash-completion's loader; the program works without it.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  # The copyright file and the Debian changelog are the package's own (docs/CMakeLists.txt): packed
  # with the rest, though `make install` leaves them out.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified debian)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # dpkg-shlibdeps computes the library dependencies from the program itself; where it cannot run,
  # name the libraries the program links dynamically.
  find_program(COMTERM_DPKG_SHLIBDEPS dpkg-shlibdeps)
  set(shlibdeps_works OFF)
  if(COMTERM_DPKG_SHLIBDEPS)
    execute_process(COMMAND ${COMTERM_DPKG_SHLIBDEPS} --version RESULT_VARIABLE shlibdeps_result
                    OUTPUT_QUIET ERROR_QUIET)
    if(shlibdeps_result EQUAL 0)
      set(shlibdeps_works ON)
    endif()
  endif()
  if(shlibdeps_works)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
    if(NOT COMTERM_STATIC_RUNTIME)
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    endif()
  endif()
endif()

include(CPack)
