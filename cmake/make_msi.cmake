# CPack's External generator runs this with the package's files staged in
# CPACK_TEMPORARY_DIRECTORY (Tavik.exe stripped, Tavik-Guide.txt), as the zip
# has them. It builds <CPACK_PACKAGE_FILE_NAME>.msi from the configured WiX
# source with wixl, which looks for every source file relative to the folder it
# runs in: the icon joins the staged files there, and the MSI goes back to the
# build folder beside the zip.
find_program(TAVIK_WIXL wixl)
if(NOT TAVIK_WIXL)
  message(FATAL_ERROR "wixl is missing (Debian package wixl; bash tools/setup.sh installs it)")
endif()
set(stage ${CPACK_TEMPORARY_DIRECTORY})
foreach(name Tavik.exe Tavik-Guide.txt)
  if(NOT EXISTS ${stage}/${name})
    message(FATAL_ERROR "${name} is not in the staged files (${stage})")
  endif()
endforeach()
file(COPY ${CPACK_TAVIK_ICON} DESTINATION ${stage})
set(msi ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
file(REMOVE ${msi})
execute_process(
  COMMAND ${TAVIK_WIXL} -a x64 -o ${msi} ${CPACK_TAVIK_WXS}
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS ${msi})
  message(FATAL_ERROR "wixl failed (${result})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
