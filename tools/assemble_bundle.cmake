# Lays out the application bundle from the built executables and the resources:
#   Quorbel.app/Contents/{Info.plist, MacOS/{Quorbel, quorbel-authhelper}, Resources/...,
#                         Resources/QuorbelCore.app/Contents/{Info.plist, MacOS/QuorbelCore}}
foreach(var LAUNCHER CORE HELPER RESOURCES BUNDLE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "assemble_bundle: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${BUNDLE})
set(contents ${BUNDLE}/Contents)
file(MAKE_DIRECTORY ${contents}/MacOS ${contents}/Resources)
file(COPY ${RESOURCES}/Info.plist DESTINATION ${contents})
file(COPY ${LAUNCHER} ${HELPER} DESTINATION ${contents}/MacOS
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(GLOB resource_files ${RESOURCES}/*)
list(FILTER resource_files EXCLUDE REGEX "/(Info\\.plist|Core|README.*)$")
file(COPY ${resource_files} DESTINATION ${contents}/Resources)

set(core ${contents}/Resources/QuorbelCore.app/Contents)
file(MAKE_DIRECTORY ${core}/MacOS)
file(COPY ${RESOURCES}/Core/Info.plist DESTINATION ${core})
file(COPY ${CORE} DESTINATION ${core}/MacOS
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The bundle folder itself must have mode 0755 for the installation check.
file(CHMOD ${contents}/Resources/QuorbelCore.app
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
