# Debian packages from one build tree (cpack -G DEB, or `cpack` in the build directory):
#   libostranecommsusb0     runtime: the shared library and the udev rule
#   libostranecommsusb-dev  development: headers, linker name, pkg-config file, CMake package
#   ostrane-tools           ostrane-cli, ostrane-virtual-board and their manual pages
#   python3-ostrane         the Python package `ostrane` (python/), over the runtime library
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the library lands in the multiarch directory that
# the pkg-config file and the CMake package name. The tools exist unless OSTRANE_BUILD_TOOLS is off.
include(GNUInstallDirs)

set(ostrane_components runtime development python)
set(ostrane_package_runtime libostranecommsusb0)
set(ostrane_package_development libostranecommsusb-dev)
set(ostrane_package_tools ostrane-tools)
set(ostrane_package_python python3-ostrane)

# Where Debian's python3 finds packages under the prefix /usr; elsewhere, install with pip.
set(OSTRANE_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Directory under the install prefix for the Python package ostrane")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/ostrane DESTINATION ${OSTRANE_PYTHON_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

if(TARGET ostrane-cli AND TARGET ostrane-virtual-board)
  list(APPEND ostrane_components tools)
  install(TARGETS ostrane-cli ostrane-virtual-board RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # Manual pages, compressed as Debian wants them; whichever tool has one gets it installed.
  file(GLOB ostrane_manpages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*/*.1)
  set(ostrane_manpages_gz)
  foreach(page ${ostrane_manpages})
    get_filename_component(name ${page} NAME)
    set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9n -c ${page} > ${gz}
      DEPENDS ${page} VERBATIM)
    list(APPEND ostrane_manpages_gz ${gz})
  endforeach()
  add_custom_target(ostrane-manpages ALL DEPENDS ${ostrane_manpages_gz})
  install(FILES ${ostrane_manpages_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# Every package carries its copyright file and a changelog.
string(TIMESTAMP ostrane_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component ${ostrane_components})
  set(package ${ostrane_package_${component}})
  set(dir ${CMAKE_BINARY_DIR}/debian-doc/${package})
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/changelog
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Package built from the libOstraneCommsUSB source tree.\n\n"
    " -- Ostrane developers <dev@ostrane.invalid>  ${ostrane_changelog_date}\n")
  execute_process(COMMAND gzip -9nf ${dir}/changelog)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrane)
set(CPACK_PACKAGE_VENDOR Tessory)
set(CPACK_PACKAGE_CONTACT "Ostrane developers <dev@ostrane.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Ostrane camera interface boards over USB")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${ostrane_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of this very build: let dpkg-shlibdeps find it there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ostrane_package_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs file (and ldconfig trigger) for the package holding the library; the others have none.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Ostrane camera interface boards over USB (library)\n\
Board channel (command path to the camera through the board's UART\n\
bridge) and a user-space FT60x driver on libusb-1.0, with the udev rule\n\
that gives the logged-in user and the plugdev group access to the boards.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${ostrane_package_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${ostrane_package_runtime} (= ${PROJECT_VERSION}), libusb-1.0-0-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Ostrane camera interface boards over USB (development files)\n\
Headers, pkg-config file (OstraneCommsUSB) and CMake package\n\
(find_package(OstraneCommsUSB), target Ostrane::OstraneCommsUSB).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ostrane_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The launcher runs its command under umockdev's preload library.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ostrane_package_runtime} (= ${PROJECT_VERSION}), umockdev")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "Ostrane camera interface boards over USB (command-line tools)\n\
ostrane-cli lists boards and talks to them; ostrane-virtual-board runs\n\
a program against emulated boards, with fault scripts and Wireshark\n\
captures.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${ostrane_package_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
# ctypes loads the library of the same release by its soname.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${ostrane_package_runtime} (= ${PROJECT_VERSION}), python3 (>= 3.8)")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Ostrane camera interface boards over USB (Python 3)\n\
The Python package ostrane (ctypes over libOstraneCommsUSB.so.0): board\n\
list and hot-plug, the board channel to the camera, FT60x device control,\n\
notifications and streaming.")

include(CPack)
