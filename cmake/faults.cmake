# The faulty builds of the layer: one patch per fault in platform/faults/,
# whose first line says what it breaks and how:
#   Breaks U6 W1: handlers are called without EXCEPTION_UNWINDING.
# and whose explanation, if any, follows after a blank line; one that begins
# "Only ostrevin sees it" marks a fault that the contract program cannot see,
# one that begins "Only the dispatcher's checks see it" a fault of the
# exception dispatcher, which RtlUnwind's contract program does not judge
# (patch ignores the lines before the diff). The headers are the manifest:
# seh_platform_faults(DIR MANIFEST) reads them, sets SEH_PLATFORM_FAULTS
# (the names, sorted), and writes MANIFEST, one line per fault:
# "<name> <promises,...> <ostrevin|both|dispatcher> <what>", for the tests.
function(seh_platform_faults dir manifest)
  file(GLOB patches CONFIGURE_DEPENDS ${dir}/*.patch)
  list(SORT patches)
  set(names)
  set(lines "")
  foreach(patch ${patches})
    # The manifest follows the headers: a patch edited configures again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${patch})
    get_filename_component(name ${patch} NAME_WE)
    file(STRINGS ${patch} header LIMIT_COUNT 3)
    list(GET header 0 first)
    if(NOT first MATCHES "^Breaks ([A-Z][0-9]( [A-Z][0-9])*): (.+)$")
      message(FATAL_ERROR "${patch}: its first line must read \"Breaks <promise>...: <what the fault does>\"")
    endif()
    string(REPLACE " " "," listed "${CMAKE_MATCH_1}")
    set(what "${CMAKE_MATCH_3}")
    set(seen both)
    if(header MATCHES "Only ostrevin sees it")
      set(seen ostrevin)
    elseif(header MATCHES "Only the dispatcher's checks see it")
      set(seen dispatcher)
    endif()
    string(APPEND lines "${name} ${listed} ${seen} ${what}\n")
    list(APPEND names ${name})
  endforeach()
  file(WRITE ${manifest}.new "${lines}")
  file(COPY_FILE ${manifest}.new ${manifest} ONLY_IF_DIFFERENT)
  file(REMOVE ${manifest}.new)
  set(SEH_PLATFORM_FAULTS ${names} PARENT_SCOPE)
endfunction()
