# cmake -DFAULT=name -DPATCH=file -DSOURCE=dir -DCOPY=dir -DFILES=list
#       -DPATCH_PROGRAM=patch -P apply_fault.cmake
# Copies the layer's FILES from SOURCE to COPY/platform and applies the
# fault's PATCH there. The patch must apply exactly (no fuzz): one that no
# longer does stops the build, naming its fault.
file(REMOVE_RECURSE ${COPY})
file(MAKE_DIRECTORY ${COPY}/platform)
foreach(file ${FILES})
  get_filename_component(folder ${COPY}/platform/${file} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  file(COPY_FILE ${SOURCE}/${file} ${COPY}/platform/${file})
endforeach()
execute_process(
  COMMAND ${PATCH_PROGRAM} -p1 --batch --forward --fuzz=0 --no-backup-if-mismatch
          --reject-file=- --directory=${COPY} --input=${PATCH}
  RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the faulty build ${FAULT}: ${PATCH} no longer applies to the layer:\n${said}")
endif()
# The copies are new, whatever the originals' times, so that the build
# sees them as up to date.
foreach(file ${FILES})
  file(TOUCH ${COPY}/platform/${file})
endforeach()
