# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS): sets
# each .deb's Installed-Size to the space its files take. CPack counts a
# symbolic link as the size of the file it points to, so with the program's
# hundred names the package claimed 414 MiB for 4 MiB, and apt would refuse
# it on a disk with less room than that. The size is counted as
# dpkg-gencontrol counts it: regular files and links in whole KiB, rounded
# up, and 1 KiB for any other entry (directories). The package is taken apart
# and put back together with dpkg-deb; nothing else in it changes.

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(root ${deb}.root)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND dpkg-deb -R ${deb} ${root} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not take ${deb} apart")
  endif()

  file(GLOB_RECURSE entries LIST_DIRECTORIES true ${root}/*)
  set(kib 0)
  foreach(entry IN LISTS entries)
    file(RELATIVE_PATH path ${root} ${entry})
    if(path MATCHES "^DEBIAN(/|$)")
      continue()
    endif()
    if(IS_SYMLINK ${entry})
      file(READ_SYMLINK ${entry} target)
      string(LENGTH "${target}" bytes)
    elseif(IS_DIRECTORY ${entry})
      set(bytes 1)
    else()
      file(SIZE ${entry} bytes)
    endif()
    math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
  endforeach()

  file(READ ${root}/DEBIAN/control control)
  string(REGEX REPLACE "(^|\n)Installed-Size: [0-9]+" "\\1Installed-Size: ${kib}" control "${control}")
  file(WRITE ${root}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${root} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE ${root})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not put ${deb} back together")
  endif()
  message(STATUS "${deb}: Installed-Size ${kib} KiB")
endforeach()
