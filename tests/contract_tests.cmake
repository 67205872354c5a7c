# unwind-contract: the form of its output and its arguments on every target;
# on linux-i386 its whole output on the conforming layer, every faulty build
# of the layer held to its expectations (the mutation score), and its model
# and comparison in unit tests.
set(CONTRACT_OUTPUT ${CMAKE_CURRENT_SOURCE_DIR}/contract/conforming.txt)
add_test(NAME contract_run
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${RUN} $<TARGET_FILE:unwind-contract>)
set_tests_properties(contract_run PROPERTIES TIMEOUT 300)
# A check is named by its promise and situation; anything else is refused.
add_test(NAME contract_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr "no check named W9 0-above/to-record/own/continues/top"
          /dev/null 2 ${RUN} $<TARGET_FILE:unwind-contract> W9 0-above/to-record/own/continues/top)
add_test(NAME contract_arguments
  COMMAND ${CHECK_TRANSCRIPT} --stderr "too many arguments" /dev/null 2
          ${RUN} $<TARGET_FILE:unwind-contract> U1 a b)

if(NOT WIN32)
  add_test(NAME contract_conforming
    COMMAND ${CHECK_TRANSCRIPT} ${CONTRACT_OUTPUT} 0 ${RUN} $<TARGET_FILE:unwind-contract>)
  set_tests_properties(contract_conforming PROPERTIES TIMEOUT 300 COST 20)
  # --list names the checks that a run prints, and one of them runs alone.
  add_test(NAME contract_list
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_list.sh ${CONTRACT_OUTPUT}
            ${RUN} $<TARGET_FILE:unwind-contract>)

  # Every faulty build of the layer: its transcript and its contract output
  # as its expectations say, failing the promises its patch names, and the
  # judge's verdict on them naming those promises. Once, natively.
  add_test(NAME faults
    COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/check_faults.py ${CMAKE_BINARY_DIR}/faults/manifest.txt
            ${CMAKE_BINARY_DIR}/bin/faults ${CMAKE_CURRENT_SOURCE_DIR}/faults ${TRANSCRIPTS}/conforming.txt
            ${CONTRACT_OUTPUT} $<TARGET_FILE:ostrevin> $<TARGET_FILE:unwind-contract> ${JUDGE})
  set_tests_properties(faults PROPERTIES TIMEOUT 900 COST 200 LABELS native-only)

  add_executable(contract_model_tests
    contract_model_test.cpp
    ${PROJECT_SOURCE_DIR}/contract/situation.cpp
    ${PROJECT_SOURCE_DIR}/contract/world.cpp
    ${PROJECT_SOURCE_DIR}/contract/model.cpp
    ${PROJECT_SOURCE_DIR}/contract/compare.cpp)
  target_include_directories(contract_model_tests PRIVATE
    ${PROJECT_SOURCE_DIR}/contract ${PROJECT_SOURCE_DIR}/common ${PROJECT_SOURCE_DIR}/platform/include)
  target_link_libraries(contract_model_tests PRIVATE GTest::gtest_main)
  gtest_discover_tests(contract_model_tests DISCOVERY_TIMEOUT 30)
endif()

if(WIN32)
  # Wine runs the contract program beside ostrevin to its count lines, and
  # returns at the end marker (E3, a difference): it conforms.
  judge_test(contract_wine 0 "unwind-contract on win32 under wine" "checks: "
    "differs E3 0-above/to-unlinked/own/collides/top"
    -- ${JUDGE} --only contract wine --wine wine $<TARGET_FILE:ostrevin>)
  set_tests_properties(judge_contract_wine PROPERTIES TIMEOUT 300)
endif()
