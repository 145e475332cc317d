# Install rules and the Debian package (cpack -G DEB; scripts/package.sh).
# Everything lands under /opt/datacollector except the systemd unit and the
# example configuration. The program keeps its log in LOG/ beside itself.
set(DC_PROGRAM_DIR opt/datacollector)

# cpack packs what is built; it does not build "all" first (scripts/package.sh
# builds the packaged targets).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS DataCollector RUNTIME DESTINATION ${DC_PROGRAM_DIR})
install(TARGETS credential_cipher RUNTIME DESTINATION ${DC_PROGRAM_DIR}/tools)
# The decoder finds the shared image decoding in ../stats-server.
install(PROGRAMS tools/decoder/dc_decode.py tools/decoder/summary.py DESTINATION ${DC_PROGRAM_DIR}/tools/decoder)
install(FILES tools/stats-server/decode.py DESTINATION ${DC_PROGRAM_DIR}/tools/stats-server)
install(DIRECTORY DESTINATION ${DC_PROGRAM_DIR}/LOG)
install(FILES packaging/DataCollectorSvc.service DESTINATION lib/systemd/system)
install(FILES packaging/registry.reg.example DESTINATION etc/datacollector)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME datacollector)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Data Collector maintainers <datacollector@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Collects a car-wash site's data for the statistics server")
set(CPACK_PACKAGE_DESCRIPTION
    "Reads the site's Firebird database every cycle and posts what changed over HTTPS to the statistics server. Runs as the systemd service DataCollectorSvc.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Depends comes from dpkg-shlibdeps: the packages of the libraries the
# program links (libfbclient2, libcurl4, libssl3, libsystemd0, the C and C++ runtimes).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The embedded engine opens a site database given as a file path; the decoder
# is a Python program.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "firebird3.0-server-core, python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
