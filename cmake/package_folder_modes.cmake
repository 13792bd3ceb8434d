# Run by cpack on the staged tree before it is packed: every folder readable and searchable by all.
file(GLOB_RECURSE brindle_staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS brindle_staged)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
