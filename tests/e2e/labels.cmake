# SPDX-License-Identifier: Apache-2.0
# Read by ctest after the discovered tests of test_e2e: the end-to-end tests
# are system tests as well (they need root and a private cupsd, and a
# sanitizer's report would go to that scheduler's log), so that
# "ctest -LE system" leaves them out.
foreach(t IN LISTS test_e2e_TESTS)
  set_tests_properties("${t}" PROPERTIES LABELS "e2e;system")
endforeach()
