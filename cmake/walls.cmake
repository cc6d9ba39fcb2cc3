# The tool's code must not depend on the stand-in chip. The include folders keep sim/ out of reach
# of kilnload_core, but the unit tests under src/ see both, and a relative path reaches anything:
# so every #include under src/ is resolved here as the compiler would, and one that lands in sim/
# stops the configuration. Each file under src/ reruns this check when it changes.
file(GLOB_RECURSE wallSources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/*")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${wallSources})
set(wallSim "${PROJECT_SOURCE_DIR}/sim")
foreach(source IN LISTS wallSources)
  cmake_path(GET source PARENT_PATH sourceDir)
  file(STRINGS "${source}" includeLines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(includeLine IN LISTS includeLines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*).*" "\\1" included "${includeLine}")
    # The first folder that holds it is where the compiler finds it.
    foreach(base IN ITEMS "${sourceDir}" "${PROJECT_SOURCE_DIR}/src" "${wallSim}" "${PROJECT_SOURCE_DIR}")
      cmake_path(APPEND base "${included}" OUTPUT_VARIABLE candidate)
      cmake_path(NORMAL_PATH candidate)
      if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
        cmake_path(IS_PREFIX wallSim "${candidate}" NORMALIZE inSim)
        if(inSim)
          message(FATAL_ERROR "${source} includes ${included} from sim/: the tool's code must not "
            "depend on the stand-in chip")
        endif()
        break()
      endif()
    endforeach()
  endforeach()
endforeach()
