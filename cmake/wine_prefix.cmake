# Wine makes a prefix at the first program it runs in it: a minute or more
# where Wine itself runs on qemu-i386. The build's tests share one prefix,
# which wine-run makes under a lock; a test of its own makes it first, so
# that no other test's time-out pays for it.
add_test(NAME wine_prefix COMMAND ${CMAKE_BINARY_DIR}/wine-run cmd /c exit 0)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 900)

# Every test of the calling directory so far waits for the prefix.
function(tests_need_wine_prefix)
  get_property(tests DIRECTORY PROPERTY TESTS)
  if(tests)
    set_property(TEST ${tests} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
  endif()
endfunction()
