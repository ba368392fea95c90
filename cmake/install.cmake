# Install rules and Debian packages (included from the top CMakeLists.txt).
#
# Components, one Debian package each:
#   netserver_lib  libnetserver1          the module, libnetserver.so.1
#   netserver_dev  libnetserver-dev       headers, the libnetserver.so link,
#                                         netserver.pc, the CMake package
#   device         recnet-device          the reference host and its sample clips
#   cli            recnet                 the command-line client
#   client_dev     librecnet-client-dev   the client library (static), its
#                                         headers and recnet-client.pc
include(CMakePackageConfigHelpers)

# ---- the module ---------------------------------------------------------------
set_target_properties(netserver PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
# A host that uses the imported target gets the headers with it.
target_include_directories(netserver INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS netserver EXPORT netserverTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT netserver_lib NAMELINK_COMPONENT netserver_dev)
install(FILES include/netserver/netserver.h include/netserver/host_api.h
              include/netserver/wire.h include/netserver/records.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netserver COMPONENT netserver_dev)

# The pkg-config files find the prefix from their own place, so that
# `cmake --install --prefix DIR` and the packages' /usr both work.
file(RELATIVE_PATH PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PC_TO_PREFIX "${PC_TO_PREFIX}")
# netserver.pc: `module` names the file a host passes to dlopen.
configure_file(cmake/netserver.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/netserver.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/netserver.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT netserver_dev)

# find_package(netserver) gives netserver::netserver.
set(NETSERVER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/netserver)
install(EXPORT netserverTargets NAMESPACE netserver:: DESTINATION ${NETSERVER_CMAKE_DIR}
  COMPONENT netserver_dev)
configure_package_config_file(cmake/netserverConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/netserverConfig.cmake INSTALL_DESTINATION ${NETSERVER_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/netserverConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/netserverConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/netserverConfigVersion.cmake
  DESTINATION ${NETSERVER_CMAKE_DIR} COMPONENT netserver_dev)
# The minimal host, as a worked example beside the headers it shows.
install(DIRECTORY examples/minimal-host
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libnetserver-dev/examples COMPONENT netserver_dev)

# ---- the device, the CLI and the client library ------------------------------------
install(TARGETS recnet-device RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT device)
install(FILES device/media/main.h264 device/media/sub.h264
  DESTINATION ${CMAKE_INSTALL_DATADIR}/recnet/media COMPONENT device)
install(TARGETS recnet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)

# The client library is static: it is small, its classes are C++ without a
# stable ABI, and a static link keeps a client free of a version to match.
set_target_properties(recnet_client PROPERTIES OUTPUT_NAME recnet-client)
install(TARGETS recnet_client ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client_dev)
# Its headers include each other by bare name and the protocol headers as
# netserver/...: they go to include/recnet-client beside include/netserver.
file(GLOB CLIENT_LIB_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/client/lib/*.h)
install(FILES ${CLIENT_LIB_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/recnet-client COMPONENT client_dev)
configure_file(cmake/recnet-client.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/recnet-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/recnet-client.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT client_dev)

# ---- Debian packages (cpack -G DEB in the build directory) ------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME recnet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "recnet developers <recnet@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL netserver_lib netserver_dev device cli client_dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build's debugging information stays in the build tree.
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps states the system libraries each binary needs (libc6,
# libstdc++6, libsqlite3-0, ...); the rules below add our own packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(RECNET_EXACT "(= ${PROJECT_VERSION})")
# Each description: a summary line, then the text.

set(CPACK_DEBIAN_NETSERVER_LIB_PACKAGE_NAME libnetserver1)
set(CPACK_DEBIAN_NETSERVER_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_NETSERVER_LIB_DESCRIPTION
  "recnet network server module\n libnetserver.so.1, loaded by a recorder's main application.")

set(CPACK_DEBIAN_NETSERVER_DEV_PACKAGE_NAME libnetserver-dev)
set(CPACK_DEBIAN_NETSERVER_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_NETSERVER_DEV_PACKAGE_DEPENDS "libnetserver1 ${RECNET_EXACT}")
set(CPACK_DEBIAN_NETSERVER_DEV_DESCRIPTION
  "recnet network server module: development files\n Headers, pkg-config file and CMake package for hosts of libnetserver.")

# The device loads the module with dlopen, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_DEVICE_PACKAGE_NAME recnet-device)
set(CPACK_DEBIAN_DEVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DEVICE_PACKAGE_DEPENDS "libnetserver1 ${RECNET_EXACT}")
set(CPACK_DEBIAN_DEVICE_DESCRIPTION
  "recnet reference device\n A host application of libnetserver with simulated recorder state and sample clips.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME recnet)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLI_DESCRIPTION "recnet command-line client\n Commands, live video and upgrades for recnet recorders.")

# The client headers include the protocol headers of libnetserver-dev.
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_NAME librecnet-client-dev)
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_DEPENDS "libnetserver-dev ${RECNET_EXACT}, zlib1g-dev")
set(CPACK_DEBIAN_CLIENT_DEV_DESCRIPTION
  "recnet client library: development files\n Static client library, headers and pkg-config file.")

include(CPack)

# ---- tests of the installed tree and the packages ----------------------------------
if(BUILD_TESTING)
  add_subdirectory(tests/install)
endif()
