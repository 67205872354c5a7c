# The faulty builds of the layer: one patch per fault in platform/faults/,
# whose header says what it breaks and how it shows:
#   Breaks U6 W1: handlers are called without EXCEPTION_UNWINDING.
#   Witness: U6 1-above/to-record/own/continues/top
# then, if any, an explanation after a blank line. Each witness is a check
# of a contract program that the fault makes fail: one or two of them. A
# fault that no contract program can see has none, and its explanation
# begins "Only ostrevin sees it" (patch ignores the lines before the diff).
# The headers are the manifest: seh_platform_faults(DIR MANIFEST) reads
# them, sets SEH_PLATFORM_FAULTS (the names, sorted), and writes MANIFEST,
# one line per fault, its fields separated by tabs:
# "<name> <promises> <ostrevin|contract> <witness|witness> <what>".
function(seh_platform_faults dir manifest)
  file(GLOB patches CONFIGURE_DEPENDS ${dir}/*.patch)
  list(SORT patches)
  set(names)
  set(lines "")
  foreach(patch ${patches})
    # The manifest follows the headers: a patch edited configures again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${patch})
    get_filename_component(name ${patch} NAME_WE)
    file(STRINGS ${patch} header LIMIT_COUNT 8)
    list(GET header 0 first)
    if(NOT first MATCHES "^Breaks ([A-Z][0-9]+( [A-Z][0-9]+)*): (.+)$")
      message(FATAL_ERROR "${patch}: its first line must read \"Breaks <promise>...: <what the fault does>\"")
    endif()
    set(listed "${CMAKE_MATCH_1}")
    set(what "${CMAKE_MATCH_3}")
    set(witnesses)
    foreach(line ${header})
      if(line MATCHES "^Witness: ([A-Z][0-9]+ [^ ]+)$")
        list(APPEND witnesses "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    set(seen contract)
    if(header MATCHES "Only ostrevin sees it")
      set(seen ostrevin)
    elseif(header MATCHES "Only the dispatcher's checks see it")
      set(seen dispatcher)
    elseif(NOT witnesses)
      message(FATAL_ERROR "${patch}: name one or two checks that it fails, each on a line \"Witness: <promise> <situation>\"")
    endif()
    string(REPLACE ";" "|" witnesses "${witnesses}")
    string(APPEND lines "${name}\t${listed}\t${seen}\t${witnesses}\t${what}\n")
    list(APPEND names ${name})
  endforeach()
  file(WRITE ${manifest}.new "${lines}")
  file(COPY_FILE ${manifest}.new ${manifest} ONLY_IF_DIFFERENT)
  file(REMOVE ${manifest}.new)
  set(SEH_PLATFORM_FAULTS ${names} PARENT_SCOPE)
endfunction()
