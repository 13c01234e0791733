# Lays out the application bundle from the built executables and the resources:
#   Quorbel.app/Contents/{Info.plist, MacOS/{Quorbel, quorbel-authhelper},
#                         Frameworks/libQuorbelWindows.so, Resources/...,
#                         Resources/QuorbelCore.app/Contents/{Info.plist, MacOS/QuorbelCore},
#                         Resources/updateqb(.sig), Resources/qbhelper(.sig),
#                         Resources/QuorbelFinderPlugin.zip(.sig)}
# The payloads are signed with SIGNING_KEY when it is given; the key itself
# never enters the bundle.
foreach(var LAUNCHER WINDOWS CORE HELPER UPDATE_TOOL HELPER_TOOL SIGNER VERSION BUILD_NUMBER RESOURCES BUNDLE WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "assemble_bundle: ${var} is not set")
  endif()
endforeach()

set(executable_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(version_text "${VERSION} (${BUILD_NUMBER})")

file(REMOVE_RECURSE ${BUNDLE} ${WORK})
set(contents ${BUNDLE}/Contents)
set(resources ${contents}/Resources)
file(MAKE_DIRECTORY ${contents}/MacOS ${resources} ${WORK})
# The launcher's version and build come from the build, as the tools' do.
file(READ ${RESOURCES}/Info.plist info)
string(REGEX REPLACE "(<key>CFBundleShortVersionString</key>[ \t\r\n]*<string>)[^<]*" "\\1${VERSION}" info "${info}")
string(REGEX REPLACE "(<key>CFBundleVersion</key>[ \t\r\n]*<string>)[^<]*" "\\1${BUILD_NUMBER}" info "${info}")
file(WRITE ${contents}/Info.plist "${info}")
file(COPY ${LAUNCHER} ${HELPER} DESTINATION ${contents}/MacOS FILE_PERMISSIONS ${executable_permissions})
# The launcher's windows, loaded when the first one is needed.
file(COPY ${WINDOWS} DESTINATION ${contents}/Frameworks FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(GLOB resource_files ${RESOURCES}/*)
list(FILTER resource_files EXCLUDE REGEX "/(Info\\.plist|Core|README.*)$")
file(COPY ${resource_files} DESTINATION ${resources})

set(core ${resources}/QuorbelCore.app/Contents)
file(MAKE_DIRECTORY ${core}/MacOS)
file(COPY ${RESOURCES}/Core/Info.plist DESTINATION ${core})
file(COPY ${CORE} DESTINATION ${core}/MacOS FILE_PERMISSIONS ${executable_permissions})
# The bundle folder itself must have mode 0755 for the installation check.
file(CHMOD ${resources}/QuorbelCore.app DIRECTORY_PERMISSIONS ${executable_permissions})

# The update tool and the sample helper tool, as the launcher carries them.
file(COPY ${UPDATE_TOOL} ${HELPER_TOOL} DESTINATION ${resources} FILE_PERMISSIONS ${executable_permissions})

# The sample Finder plug-in, delivered as a zip archive of one bundle.
set(plugin QuorbelFinderPlugin.plugin)
file(MAKE_DIRECTORY ${WORK}/${plugin}/Contents/Resources)
file(WRITE ${WORK}/${plugin}/Contents/Info.plist
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
\t<key>CFBundleIdentifier</key>
\t<string>com.quorbel.FinderPlugin</string>
\t<key>CFBundleShortVersionString</key>
\t<string>${VERSION}</string>
\t<key>CFBundleVersion</key>
\t<string>${BUILD_NUMBER}</string>
</dict>
</plist>
")
file(WRITE ${WORK}/${plugin}/Contents/Resources/README "The sample Finder plug-in installed by the update tool.\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${resources}/QuorbelFinderPlugin.zip --format=zip ${plugin}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "assemble_bundle: could not pack ${plugin}")
endif()

function(sign_payload payload command target)
  execute_process(COMMAND ${SIGNER} ${SIGNING_KEY} ${command} ${target} ${version_text}
                          ${resources}/${payload} ${resources}/${payload}.sig
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "assemble_bundle: could not sign ${payload}")
  endif()
endfunction()

if(SIGNING_KEY)
  sign_payload(updateqb repair updateqb)
  sign_payload(qbhelper repairother qbhelper)
  sign_payload(QuorbelFinderPlugin.zip repairzipitem "/Library/Contextual Menu Items/${plugin}")
else()
  message(STATUS "assemble_bundle: no signing key; the sample payloads are left unsigned")
endif()
