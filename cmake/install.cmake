# `cmake --install <build> --prefix P` gives a host program what it builds
# against: P/lib/libtav14rd7.so (versioned, with its SONAME link), the headers
# under P/include/tavrin (cmake/install_headers.cmake chooses them), the CMake
# package (find_package(Tavrin), target Tavrin::tav14rd7) and the pkg-config
# file tavrin.pc. Headers are included from that folder as in the source tree:
# #include "engine/components/tav_database.h".
include(CMakePackageConfigHelpers)

set(TAV_INSTALL_LIBDIR lib)
set(TAV_INSTALL_INCLUDEDIR include/tavrin)
set(TAV_INSTALL_CMAKEDIR ${TAV_INSTALL_LIBDIR}/cmake/Tavrin)

install(TARGETS tav14rd7 LIBRARY DESTINATION ${TAV_INSTALL_LIBDIR})
install(CODE "set(SRC \"${CMAKE_SOURCE_DIR}\")
set(DEST \"${TAV_INSTALL_INCLUDEDIR}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/install_headers.cmake\")")

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/TavrinConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/TavrinConfig.cmake
  INSTALL_DESTINATION ${TAV_INSTALL_CMAKEDIR}
  PATH_VARS TAV_INSTALL_LIBDIR TAV_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/TavrinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
configure_file(${CMAKE_SOURCE_DIR}/cmake/tavrin.pc.in ${CMAKE_BINARY_DIR}/package/tavrin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/TavrinConfig.cmake
              ${CMAKE_BINARY_DIR}/package/TavrinConfigVersion.cmake
        DESTINATION ${TAV_INSTALL_CMAKEDIR})
install(FILES ${CMAKE_BINARY_DIR}/package/tavrin.pc
        DESTINATION ${TAV_INSTALL_LIBDIR}/pkgconfig)
