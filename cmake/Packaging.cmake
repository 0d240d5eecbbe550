# The Debian package (CPack's DEB generator, run by scripts/package.sh) and
# the install rules only it needs: the systemd unit and Debian's documents.
# The Windows setup program and MSI are built from packaging/windows/.

if(WIN32 OR APPLE)
    return()
endif()

# The unit runs the installed tool with the system's configuration file; the
# package installs it but leaves enabling it to the administrator.
option(VELTRA_INSTALL_SYSTEMD_UNIT "Install the veltra serve systemd unit" ON)
if(VELTRA_INSTALL_SYSTEMD_UNIT AND VELTRA_BUILD_TOOLS)
    set(VELTRA_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/veltra)
    set(VELTRA_CONFIG ${CMAKE_INSTALL_FULL_SYSCONFDIR}/veltra/serve.conf)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/veltra.service.in
                   ${PROJECT_BINARY_DIR}/packaging/veltra.service @ONLY)
    # Debian's units live in /lib/systemd/system; an install into any other
    # prefix keeps the unit inside that prefix.
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(VELTRA_SYSTEMD_UNIT_DIR /lib/systemd/system)
    else()
        set(VELTRA_SYSTEMD_UNIT_DIR lib/systemd/system)
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/packaging/veltra.service
            DESTINATION ${VELTRA_SYSTEMD_UNIT_DIR})
endif()

# Debian's documents and the programs' manual pages.
set(VELTRA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/veltra)
# Compressed at configure time, as Debian wants them: gzip -9n. The manual
# pages get the project's version first.
function(veltra_gzip_for_install source destination)
    get_filename_component(name ${source} NAME)
    set(gz ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
    if(name MATCHES "\\.1$")
        configure_file(${source} ${PROJECT_BINARY_DIR}/packaging/${name} @ONLY)
        set(source ${PROJECT_BINARY_DIR}/packaging/${name})
    else()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    endif()
    execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${gz} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip could not compress ${source}")
    endif()
    install(FILES ${gz} DESTINATION ${destination})
endfunction()
set(VELTRA_DEBIAN ${PROJECT_SOURCE_DIR}/packaging/debian)
veltra_gzip_for_install(${VELTRA_DEBIAN}/changelog ${VELTRA_DOC_DIR})
set(VELTRA_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
veltra_gzip_for_install(${VELTRA_DEBIAN}/ecrsim.1 ${VELTRA_MAN_DIR})
if(VELTRA_BUILD_TOOLS)
    veltra_gzip_for_install(${VELTRA_DEBIAN}/veltra.1 ${VELTRA_MAN_DIR})
endif()
if(VELTRA_BUILD_KEYPAD)
    veltra_gzip_for_install(${VELTRA_DEBIAN}/delpad.1 ${VELTRA_MAN_DIR})
endif()
install(FILES ${VELTRA_DEBIAN}/copyright DESTINATION ${VELTRA_DOC_DIR})
# What lintian reports and the package means to be, each with its reason.
install(FILES ${VELTRA_DEBIAN}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME veltra)
install(FILES ${VELTRA_DEBIAN}/serve.conf.example
        DESTINATION ${VELTRA_DOC_DIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VELTRA")
set(CPACK_PACKAGE_CONTACT "VELTRA maintainers <maintainers@users.noreply.c-seed-ec783c17.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "electronic cash registers over TFTP, TCP and serial lines")
# CPack puts the summary first; this is the text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VELTRA talks to an Italian electronic cash register over its network and
serial channels: product and department tables, sales, backups, firmware
releases and the register's keyboard.
.
This package holds the shared library with its header, pkg-config file and
CMake package; the veltra command-line tool with its HTTP service (veltra
serve, with a systemd unit that is installed but not enabled); ecrsim, a
simulated register; and DELPAD, the register's on-screen keypad.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own library is found in the package, not in another one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR})
# The library's shlibs entry and the ldconfig trigger Debian asks for. (CPack
# adds its own postinst and postrm calling ldconfig as well; see
# lintian-overrides.)
configure_file(${VELTRA_DEBIAN}/shlibs.in ${PROJECT_BINARY_DIR}/packaging/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/shlibs ${VELTRA_DEBIAN}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
