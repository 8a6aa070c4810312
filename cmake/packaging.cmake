# Installing and packaging: `cmake --install` puts the window program, the
# tools, their manual pages and the licence in place; `cpack` makes a .deb on
# Linux and, in a Windows build, a .zip holding ombrastel.exe. Every package
# carries the project's version.
include(GNUInstallDirs)

if(WIN32)
  # A .zip to unpack anywhere: the programs at its top, beside the README and
  # the licence.
  set(ombrastel_program_dir .)
  set(ombrastel_doc_dir .)
else()
  set(ombrastel_program_dir ${CMAKE_INSTALL_BINDIR})
  set(ombrastel_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
set(ombrastel_programs "")
foreach(program ombrastel ombrastel-snapshot ombrastel-bench)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${ombrastel_program_dir})
    list(APPEND ombrastel_programs ${program})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${ombrastel_doc_dir})
# The .deb carries the licence in its copyright file instead (below).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${ombrastel_doc_dir} COMPONENT licence)

set(ombrastel_maintainer "Ombrastel developers <developers@ombrastel.invalid>")

if(NOT WIN32)
  find_program(OMBRASTEL_GZIP gzip)
  if(NOT OMBRASTEL_GZIP)
    message(FATAL_ERROR "gzip not found (Debian: gzip); the manual pages and the changelog are compressed with it.")
  endif()
  set(packaging_dir ${PROJECT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${packaging_dir})

  # The Debian copyright file, in the machine-readable format, made from
  # LICENSE: its copyright line, then its text as the licence's body.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence_lines)
  set(licence_holder "")
  set(licence_body "")
  foreach(line IN LISTS licence_lines)
    if(licence_holder STREQUAL "")
      if(line MATCHES "^Copyright \\(c\\) (.+)$")
        set(licence_holder ${CMAKE_MATCH_1})
      endif()
    elseif(line STREQUAL "")
      if(NOT licence_body STREQUAL "")
        string(APPEND licence_body " .\n")
      endif()
    else()
      string(APPEND licence_body " ${line}\n")
    endif()
  endforeach()
  if(licence_holder STREQUAL "" OR licence_body STREQUAL "")
    message(FATAL_ERROR "LICENSE has no line \"Copyright (c) YEAR HOLDER\" followed by the licence's text.")
  endif()
  file(CONFIGURE OUTPUT ${packaging_dir}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ombrastel
Upstream-Contact: ${ombrastel_maintainer}

Files: *
Copyright: ${licence_holder}
License: Expat
${licence_body}")

  # The changelog of a native package is changelog.gz; its newest entry must
  # be this version.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^ombrastel \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with \"${changelog_top}\": "
                        "give version ${PROJECT_VERSION} its entry at the top.")
  endif()
  # gzip -n leaves out the name and the time, so the same input gives the
  # same package.
  add_custom_command(OUTPUT ${packaging_dir}/changelog.gz
    COMMAND ${OMBRASTEL_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${packaging_dir}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    VERBATIM)

  # A manual page for each program, made from its --help and --version.
  set(manual_name_ombrastel "real-time software renderer: a turning solid drawn on the processor")
  set(manual_name_ombrastel-snapshot "write Ombrastel's frames as PNG files, or find which frame a picture is")
  set(manual_name_ombrastel-bench "measure Ombrastel's renderer, frame by frame and stage by stage")
  find_program(OMBRASTEL_HELP2MAN help2man)
  set(manual_pages "")
  if(NOT OMBRASTEL_HELP2MAN)
    message(STATUS "help2man not found (Debian: help2man): the manual pages are left out")
  elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(STATUS "Cross-building: the manual pages, made by running the programs, are left out")
  else()
    foreach(program IN LISTS ombrastel_programs)
      set(page ${packaging_dir}/${program}.1)
      # help2man runs the program itself; a cross-build's runs under the
      # emulator, from a script that bears the program's name.
      set(runnable $<TARGET_FILE:${program}>)
      if(CMAKE_CROSSCOMPILING)
        list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
        set(runnable ${packaging_dir}/emulated/${program})
        file(GENERATE OUTPUT ${runnable}
             CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${program}> \"$@\"\n"
             FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                              WORLD_EXECUTE)
      endif()
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${OMBRASTEL_HELP2MAN} --no-info --section=1 "--name=${manual_name_${program}}"
                --output=${page} ${runnable}
        COMMAND ${OMBRASTEL_GZIP} -9nf ${page}
        DEPENDS ${program}
        COMMENT "Writing the manual page of ${program}"
        VERBATIM)
      list(APPEND manual_pages ${page}.gz)
    endforeach()
    install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  add_custom_target(ombrastel_package_files ALL DEPENDS ${packaging_dir}/changelog.gz ${manual_pages})

  install(FILES ${packaging_dir}/copyright ${packaging_dir}/changelog.gz DESTINATION ${ombrastel_doc_dir})
endif()

set(CPACK_PACKAGE_NAME ombrastel)
set(CPACK_PACKAGE_VENDOR "Ombrastel")
set(CPACK_PACKAGE_CONTACT ${ombrastel_maintainer})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Real-time software renderer, with headless snapshot and benchmark tools")
# Lines of at most 80 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "One window shows a solid of four triangles that turns and zooms, every\n\
pixel computed on the processor. ombrastel-snapshot writes frames as PNG\n\
files and finds which frame a picture is; ombrastel-bench measures the\n\
renderer stage by stage.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  # Everything but the separate licence file, which the copyright file holds.
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  # The shared libraries the programs load, as Debian names their packages;
  # without dpkg-shlibdeps the list is written out.
  find_program(OMBRASTEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(OMBRASTEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(ombrastel_depends "libc6, libgcc-s1, libstdc++6")
    if(TARGET ombrastel-snapshot)
      string(APPEND ombrastel_depends ", libpng16-16, libssl3")
    endif()
    if(TARGET ombrastel)
      string(APPEND ombrastel_depends ", libsdl2-2.0-0")
      get_property(links_x11 GLOBAL PROPERTY OMBRASTEL_PROGRAM_LINKS_X11)
      if(links_x11)
        string(APPEND ombrastel_depends ", libx11-6, libxext6")
      endif()
    endif()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS ${ombrastel_depends})
  endif()
endif()
include(CPack)
