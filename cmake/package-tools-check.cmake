# Read by CPack before it makes each package: a Debian package needs `file`
# and dpkg-shlibdeps (Debian: file, dpkg-dev), and without them is not made.
if(CPACK_GENERATOR STREQUAL "DEB")
  foreach(tool file dpkg-shlibdeps)
    find_program(tool_path ${tool} NO_CACHE)
    if(NOT tool_path)
      message(FATAL_ERROR "The Debian package needs ${tool}, which is not installed: apt-get install file dpkg-dev")
    endif()
    unset(tool_path)
  endforeach()
endif()
