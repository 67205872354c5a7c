# The contract programs: the form of their output and their arguments on
# every target; on linux-i386 every check ok on the conforming layer, in the
# list's situations and in situations drawn from all that make sense, every
# faulty build of the layer caught with exactly the promises its patch names
# (the mutation score), and their models and comparisons in unit tests.
set(PROMISES_DEF ${PROJECT_SOURCE_DIR}/common/promises.def)
add_test(NAME contract_run
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${PROMISES_DEF}
          ${RUN} $<TARGET_FILE:unwind-contract>)
set_tests_properties(contract_run PROPERTIES TIMEOUT 300)
# A check is named by its promise and situation; anything else is refused,
# naming the nearest there is.
add_test(NAME contract_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr
          "no check named W9 1-above/to-record/own/continues/top \\(the nearest: W1 1-above/to-record/own/continues/top\\)"
          /dev/null 2 ${RUN} $<TARGET_FILE:unwind-contract> W9 1-above/to-record/own/continues/top)
add_test(NAME contract_unknown_option
  COMMAND ${CHECK_TRANSCRIPT} --stderr "unknown option --lits \\(the nearest: --list\\)" /dev/null 2
          ${RUN} $<TARGET_FILE:unwind-contract> --lits)
# A reproducer is asked for a check as a check is run, and refused alike.
add_test(NAME contract_reproduce_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr
          "no check named W2 1-above/base-4/to-record/own/continues/top \\(the nearest: W1 1-above/to-record/own/continues/top\\)"
          /dev/null 2 ${RUN} $<TARGET_FILE:unwind-contract> --reproduce W2 1-above/base-4/to-record/own/continues/top)
add_test(NAME contract_reproduce_arguments
  COMMAND ${CHECK_TRANSCRIPT} --stderr "reproduce takes a check: a promise and a situation" /dev/null 2
          ${RUN} $<TARGET_FILE:unwind-contract> --reproduce W1)
add_test(NAME contract_arguments
  COMMAND ${CHECK_TRANSCRIPT} --stderr "a check is a promise and a situation: W1 needs its situation"
          /dev/null 2 ${RUN} $<TARGET_FILE:unwind-contract> U1 1-above/to-record/own/continues/top W1)

# dispatch-contract: the same form and arguments.
add_test(NAME dispatch_contract_run
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${PROMISES_DEF}
          ${RUN} $<TARGET_FILE:dispatch-contract>)
set_tests_properties(dispatch_contract_run PROPERTIES TIMEOUT 300)
add_test(NAME dispatch_contract_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr
          "no check named R9 raise/first/continues/top \\(the nearest: R1 raise/first/continues/top\\)"
          /dev/null 2 ${RUN} $<TARGET_FILE:dispatch-contract> R9 raise/first/continues/top)
# Its reproducers are asked for as unwind-contract's are, and refused alike.
add_test(NAME dispatch_contract_reproduce_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr
          "no check named R9 raise/first/continues/top \\(the nearest: R1 raise/first/continues/top\\)"
          /dev/null 2 ${RUN} $<TARGET_FILE:dispatch-contract> --reproduce R9 raise/first/continues/top)
add_test(NAME dispatch_contract_one_check
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_one.sh ${RUN} $<TARGET_FILE:dispatch-contract>)

if(NOT WIN32)
  add_test(NAME contract_conforming
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh --conforming ${PROMISES_DEF}
            ${RUN} $<TARGET_FILE:unwind-contract>)
  set_tests_properties(contract_conforming PROPERTIES TIMEOUT 300 COST 20)
  # The model is right beyond the list: situations drawn from all that make
  # sense, every check ok on the conforming layer.
  add_test(NAME contract_sample
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${PROMISES_DEF}
            ${RUN} $<TARGET_FILE:unwind-contract> --sample 200 2026)
  add_test(NAME contract_one_check
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_one.sh ${RUN} $<TARGET_FILE:unwind-contract>)
  # Several reproducers written at once (under Wine, the reproducers' test
  # writes its sample so, into a directory named by its Windows path).
  add_test(NAME contract_reproduce_into
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reproduce_into.sh ${RUN} $<TARGET_FILE:unwind-contract>)
  add_test(NAME dispatch_contract_reproduce_into
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reproduce_into.sh ${RUN} $<TARGET_FILE:dispatch-contract>)
  # The layer's dispatcher, alike.
  add_test(NAME dispatch_contract_conforming
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh --conforming ${PROMISES_DEF}
            ${RUN} $<TARGET_FILE:dispatch-contract>)
  add_test(NAME dispatch_contract_sample
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${PROMISES_DEF}
            ${RUN} $<TARGET_FILE:dispatch-contract> --sample 200 2026)
  set_tests_properties(dispatch_contract_conforming PROPERTIES TIMEOUT 300 COST 20)
  # qemu-i386 7.2's whole run is the platforms test's (its qemu-7.2 row):
  # the linux-i386-qemu preset checks the form alone.
  set_tests_properties(contract_conforming contract_sample dispatch_contract_conforming
                       dispatch_contract_sample PROPERTIES LABELS native-only)

  # Every faulty build of the layer: its contract runs failing exactly the
  # promises its patch names, its witnesses among them, and the judge's
  # verdict on the three programs naming those promises. Once, natively.
  add_test(NAME faults
    COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/check_faults.py ${CMAKE_BINARY_DIR}/faults/manifest.txt
            ${CMAKE_BINARY_DIR}/bin/faults ${TRANSCRIPTS}/conforming.txt
            $<TARGET_FILE:ostrevin> $<TARGET_FILE:unwind-contract>
            $<TARGET_FILE:dispatch-contract> $<TARGET_FILE:unit_tests> ${JUDGE})
  set_tests_properties(faults PROPERTIES TIMEOUT 1800 COST 200 LABELS native-only)

  # The reproducers of a sample of checks of every promise build without
  # warnings with both compilers and pass on the layer; on each faulty build
  # of the layer, its witnesses' reproducers give their check's verdict and
  # a check it keeps passes. Once, natively: they are built here.
  add_test(NAME contract_reproducers
    COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducers.py layer
            $<TARGET_FILE:unwind-contract>,$<TARGET_FILE:dispatch-contract> ${CMAKE_BINARY_DIR}/bin
            ${CMAKE_BINARY_DIR}/faults/manifest.txt ${CMAKE_BINARY_DIR}/bin/faults)
  set_tests_properties(contract_reproducers PROPERTIES TIMEOUT 1500 COST 100 LABELS native-only)

  add_executable(contract_model_tests contract_model_test.cpp supervisor_test.cpp
    reproduce_test.cpp situations_check.cpp)
  target_link_libraries(contract_model_tests PRIVATE unwind_contract_model GTest::gtest_main)
  add_executable(dispatch_model_tests dispatch_model_test.cpp dispatch_reproduce_test.cpp
    situations_check.cpp stack_left_test.cpp meeting_test.cpp)
  # The layer gives the stack its floor (StackLimit) for stack_left_test.
  target_link_libraries(dispatch_model_tests PRIVATE dispatch_contract_model seh_platform_linked
                        GTest::gtest_main)
  gtest_discover_tests(dispatch_model_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300)
  gtest_discover_tests(contract_model_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300)
endif()

if(WIN32)
  # Wine runs the contract programs beside ostrevin to their count lines:
  # it returns at the end marker (E3) and chains no record to the
  # dispatcher's statuses (H4), differences both, and what qemu-user makes
  # it report of faults is the emulator's: it conforms.
  judge_test(contract_wine 0 "unwind-contract on win32 under wine" "checks: "
    "differs E3 1-above/exit/own/continues/top"
    "dispatch-contract on win32 under wine"
    "differs H4 raise/first/answers-3/top"
    -- ${JUDGE} --only contract wine --wine wine $<TARGET_FILE:ostrevin>)
  set_tests_properties(judge_contract_wine PROPERTIES TIMEOUT 300)
  # Under Wine, the reproducers of a check of every promise and of some of
  # the checks that differ give the verdict of the check.
  add_test(NAME contract_reproducers_wine
    COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducers.py wine
            $<TARGET_FILE:unwind-contract>,$<TARGET_FILE:dispatch-contract> ${RUN})
  set_tests_properties(contract_reproducers_wine PROPERTIES TIMEOUT 1200 COST 100)
  # The findings of a platform's kept runs by their reproducers, as
  # scripts/platforms --reproducers checks a Wine row.
  add_test(NAME contract_reproducers_row
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducers_row.sh ${PYTHON3}
            ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducers.py ${WINE_PREFIX}
            $<TARGET_FILE:ostrevin>)
  set_tests_properties(contract_reproducers_row PROPERTIES TIMEOUT 600 COST 20)
endif()
