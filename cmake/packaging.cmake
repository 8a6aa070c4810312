# Installing and packaging: `cmake --install` puts the window program and the
# tools in place; `cpack` makes a .deb on Linux and, in a Windows build, a
# .zip holding ombrastel.exe. Every package carries the project's version.
include(GNUInstallDirs)

if(WIN32)
  # A .zip to unpack anywhere: the programs at its top, beside the README.
  set(ombrastel_program_dir .)
  set(ombrastel_doc_dir .)
else()
  set(ombrastel_program_dir ${CMAKE_INSTALL_BINDIR})
  set(ombrastel_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
foreach(program ombrastel ombrastel-snapshot ombrastel-bench)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${ombrastel_program_dir})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${ombrastel_doc_dir})

set(CPACK_PACKAGE_NAME ombrastel)
set(CPACK_PACKAGE_VENDOR "Ombrastel")
set(CPACK_PACKAGE_CONTACT "Ombrastel developers <ombrastel@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Real-time software renderer, with headless snapshot and benchmark tools")
set(CPACK_PACKAGE_DESCRIPTION
    "One window shows a solid of four triangles that turns and zooms, every pixel computed on the\n\
processor. ombrastel-snapshot writes frames as PNG files and finds which frame a picture is;\n\
ombrastel-bench measures the renderer stage by stage.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
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
    endif()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS ${ombrastel_depends})
  endif()
endif()
include(CPack)
