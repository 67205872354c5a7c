# unwind-contract: the form of its output on every target; on linux-i386 its
# whole output on the conforming layer and on each faulty one, which must
# fail the checks of the promises it breaks and no others.
set(CONTRACT_OUTPUTS ${CMAKE_CURRENT_SOURCE_DIR}/contract)
add_test(NAME contract_run
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_contract_run.sh ${RUN} $<TARGET_FILE:unwind-contract>)
set_tests_properties(contract_run PROPERTIES TIMEOUT 300)
# Its one argument is for its own children; anything else is refused.
add_test(NAME contract_unknown_check
  COMMAND ${CHECK_TRANSCRIPT} --stderr "no check named w9_nothing" /dev/null 2
          ${RUN} $<TARGET_FILE:unwind-contract> w9_nothing)
add_test(NAME contract_arguments
  COMMAND ${CHECK_TRANSCRIPT} --stderr "takes no arguments" /dev/null 2
          ${RUN} $<TARGET_FILE:unwind-contract> u1_one u1_two)

if(NOT WIN32)
  add_test(NAME contract_conforming
    COMMAND ${CHECK_TRANSCRIPT} ${CONTRACT_OUTPUTS}/conforming.txt 0 ${RUN} $<TARGET_FILE:unwind-contract>)

  # The promises that each faulty build breaks (the first five were built
  # for ostrevin and break several).
  set(promises_no_unwinding_flag U6)
  set(promises_record_left U1 W5 W7 E2 T1)
  set(promises_target_handler_called U1)
  set(promises_collision_missed W5)
  set(promises_stops_one_early U1 U2 W1 W5 W6 E2 E4 T1)
  # A null record, which every handler of the checks reports.
  set(promises_null_exception_record U1 U2 U3 U4 U5 U6 W1 W3 W4 W5 W6 W7 E1 E2 E3 E4 T1)
  # It breaks E1 only for do_unwind's calls, which the checks do not make:
  # ostrevin shows it, and the contract program's output is the conforming one.
  set(promises_returns_into_scenario)
  set(promises_exit_unwind_keeps_oldest U2)
  set(promises_jumps_to_target_ip U3)
  set(promises_own_record_parameters U4)
  set(promises_own_record_address U4)
  set(promises_record_replaced U5)
  set(promises_flags_assigned U5)
  set(promises_exit_flag_on_targeted U6)
  set(promises_no_exit_flag U6)
  set(promises_skips_head W1)
  set(promises_no_record_check W2)
  set(promises_target_not_checked W3 E4) # E4: the layer ends where it would raise
  set(promises_wrong_establisher_frame W4)
  set(promises_unlinked_before_handler W4)
  set(promises_disposition_ignored W6 E4)
  set(promises_collided_unchecked W6)
  set(promises_handler_called_twice W7)
  set(promises_unlinked_at_end W7)
  set(promises_eax_not_return_value E1)
  set(promises_esp_off_by_4 E1)
  set(promises_esp_off_by_16 E1)
  set(promises_callee_saved_clobbered E1)
  set(promises_ebp_clobbered E1)
  set(promises_end_marker_raises E2)
  set(promises_returns_at_end E3)
  set(promises_empty_chain_is_zero T1)
  set(promises_shared_chain T1 T2) # one block: one chain and one pair of stack bounds
  set(promises_creator_stack_base T2)
  set(promises_main_stack_limit_low T2)
  foreach(fault ${SEH_PLATFORM_FAULTS} ${SEH_PLATFORM_CONTRACT_FAULTS})
    add_test(NAME contract_fault_${fault}
      COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin/faults/${fault}
              ${CHECK_TRANSCRIPT} ${CONTRACT_OUTPUTS}/${fault}.txt 0 ${RUN} $<TARGET_FILE:unwind-contract>)
    if(promises_${fault})
      add_test(NAME contract_fault_promises_${fault}
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_fault_promises.sh
                ${CONTRACT_OUTPUTS}/${fault}.txt ${promises_${fault}})
    endif()
  endforeach()

  add_executable(contract_tests
    contract_process_test.cpp
    ${PROJECT_SOURCE_DIR}/contract/verdict.cpp
    ${PROJECT_SOURCE_DIR}/contract/report.cpp
    ${PROJECT_SOURCE_DIR}/contract/process_posix.cpp)
  target_include_directories(contract_tests PRIVATE ${PROJECT_SOURCE_DIR}/contract)
  target_link_libraries(contract_tests PRIVATE GTest::gtest_main)
  gtest_discover_tests(contract_tests DISCOVERY_TIMEOUT 30)

  add_executable(contract_observe_tests
    contract_observe_test.cpp
    ${PROJECT_SOURCE_DIR}/contract/observe.cpp
    ${PROJECT_SOURCE_DIR}/contract/unwind_call.S
    ${PROJECT_SOURCE_DIR}/contract/report.cpp
    ${PROJECT_SOURCE_DIR}/contract/process_posix.cpp)
  target_include_directories(contract_observe_tests PRIVATE
    ${PROJECT_SOURCE_DIR}/contract ${PROJECT_SOURCE_DIR}/qarvel)
  target_link_libraries(contract_observe_tests PRIVATE seh_platform_linked GTest::gtest_main)
  gtest_discover_tests(contract_observe_tests DISCOVERY_TIMEOUT 30)
endif()

if(NOT WIN32)
  # The verdict on each faulty build made for the contract: deviates, with a
  # failed check of every promise the build breaks, the promise named; E3 is
  # reference behaviour, a difference and no deviation.
  foreach(fault ${SEH_PLATFORM_CONTRACT_FAULTS})
    set(judged)
    foreach(id ${promises_${fault}})
      list(APPEND judged "not ok ${id} " "; ${id}: ")
    endforeach()
    if(fault STREQUAL returns_at_end)
      set(verdict 0 "unwind-contract on linux-i386" "conforms (" "differs E3 " "(a difference to look at, not a deviation)")
    else()
      set(verdict 1 "unwind-contract on linux-i386" "deviates (" ${judged})
    endif()
    judge_test(contract_fault_${fault} ${verdict}
      -- ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin/faults/${fault} ${JUDGE} linux)
  endforeach()
endif()

if(WIN32)
  # Wine runs the contract program beside ostrevin, and passes every
  # documented promise (docs/deviations.md, "Wine's answers").
  judge_test(contract_wine 0 "unwind-contract on win32 under wine" "conforms ("
    -- ${JUDGE} --only contract wine --wine wine $<TARGET_FILE:ostrevin>)
endif()
