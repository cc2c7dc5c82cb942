# Run by CPack before it packs: the install prefix (the program folder) is made in every
# component's tree, so the reporter's package would own an empty /opt/Orvane/Orvane.

file(GLOB _trees LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_tree ${_trees})
  set(_dir "${_tree}${CPACK_INSTALL_PREFIX}")
  while(IS_DIRECTORY "${_dir}" AND NOT _dir STREQUAL _tree)
    file(GLOB _left "${_dir}/*")
    if(_left)
      break()
    endif()
    file(REMOVE_RECURSE "${_dir}")
    get_filename_component(_dir "${_dir}" DIRECTORY)
  endwhile()
endforeach()
