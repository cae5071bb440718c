# What an installation and the packages hold: the product only, never the
# simulated bench. The layout follows Debian's rules, so that the .deb passes
# lintian: a package name with a hyphen, manual pages and the changelog
# compressed, stripped binaries, and the copyright, changelog and
# documentation in /usr/share/doc/qik-programmer.
include(GNUInstallDirs)

set(QIK_PACKAGE_NAME qik-programmer)
set(QIK_MAINTAINER "qik-programmer maintainers <maintainers@qik-programmer.org>")
set(qik_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QIK_PACKAGE_NAME})
set(qik_packaging_dir ${PROJECT_BINARY_DIR}/packaging)

# A release without its changelog entry would ship a package whose changelog
# names another version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog qik_changelog_head LIMIT_COUNT 1)
if(NOT qik_changelog_head MATCHES "^${QIK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${qik_changelog_head}\", "
                      "not an entry for ${QIK_PACKAGE_NAME} ${PROJECT_VERSION}")
endif()

# gzip -9n: without the file's name and time, so that the same sources give
# the same package.
file(GLOB qik_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
set(qik_compressed)
foreach(source IN LISTS qik_man_pages ITEMS ${PROJECT_SOURCE_DIR}/packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${qik_packaging_dir}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND gzip -9n -c ${source} > ${compressed}
                     DEPENDS ${source} VERBATIM)
  list(APPEND qik_compressed ${compressed})
endforeach()
add_custom_target(qik_package_files ALL DEPENDS ${qik_compressed})
list(FILTER qik_compressed INCLUDE REGEX "\\.1\\.gz$")

install(FILES ${qik_compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES docs/schema/result.xsd docs/schema/inventory-log.xsd docs/schema/plan.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})

# The documentation names the schemas beside it; they stay where the
# results guide says they are installed, and the link shows them there.
file(MAKE_DIRECTORY ${qik_packaging_dir})
file(CREATE_LINK ../../${PROJECT_NAME} ${qik_packaging_dir}/schema SYMBOLIC)
# Only the documents of what the package holds: the project's own README,
# and the guides to its sources, tests, benchmarks and simulated bench, stay
# with the source tree. packaging/README.md says what is installed where.
install(FILES packaging/README.md docs/results.md docs/vendor-guide.md docs/fleet.md packaging/copyright
              ${qik_packaging_dir}/changelog.gz ${qik_packaging_dir}/schema
        DESTINATION ${qik_docdir})
# The fleet recipe, without what simulates a fleet from this source tree.
install(DIRECTORY examples/fleet DESTINATION ${qik_docdir}/examples USE_SOURCE_PERMISSIONS
        PATTERN simulate EXCLUDE PATTERN simfleet.py EXCLUDE PATTERN .gitignore EXCLUDE
        PATTERN results EXCLUDE PATTERN __pycache__ EXCLUDE)

set(CPACK_PACKAGE_NAME ${QIK_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "qik_programmer developers")
set(CPACK_PACKAGE_CONTACT ${QIK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network adapter firmware update utility for servers")
set(CPACK_PACKAGE_DESCRIPTION
"qik_programmer updates the firmware of a Linux server's network adapters
(LAN-on-motherboard and add-in NICs). A system vendor's update framework runs
it in a working directory beside its configuration table, the firmware
images, and the adapter maker's management library and programming tool. For
every supported adapter function it matches the adapter to a row of the
table, backs up the NVRAM, has the tool program each out-of-date component
(restoring the backup when a write fails), updates an external PHY and
records the new family firmware version. It reports one XML result document,
an inventory log and an exit status.

The package also holds qik_cfgcheck, which checks a configuration table
before it ships, qik_plan, which shows what a run would do on a server
without changing anything, qik_capture, which writes what a server's
adapters report as a bench file to try packages against, the schemas of
the result document, the inventory log and the plan, and an Ansible recipe
that rolls an update out over a fleet.")
set(CPACK_GENERATOR "TGZ;DEB")
# The debug information is left out: CPack's -dbgsym package lists its
# files in md5sums by their build paths and has no copyright file.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ansible-core)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# cpack packs what has been built instead of building every target (the
# tests and the bench too) first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
