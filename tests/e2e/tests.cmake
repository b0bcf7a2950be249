# SPDX-License-Identifier: MIT
# End-to-end test modules, each a python unittest file in this folder.
# Pattern: add_e2e_test(e2e_unpack test_unpack.py)
add_e2e_test(e2e_image test_image.py)
add_e2e_test(e2e_unpack test_unpack.py)
add_e2e_test(e2e_arguments test_arguments.py)
add_e2e_test(e2e_long_paths test_long_paths.py)
add_e2e_test(e2e_exit_codes test_exit_codes.py)
add_e2e_test(e2e_roles test_roles.py)
add_e2e_test(e2e_cleanup test_cleanup.py)
# Ends the Wine session, in a prefix of its own (build/wineprefix-session).
add_e2e_test(e2e_session_end test_session_end.py)
add_e2e_test(e2e_mutations test_mutations.py)
set_tests_properties(e2e_mutations PROPERTIES RESOURCE_LOCK prefix_temp)
add_e2e_test(e2e_outside test_outside.py)
add_e2e_test(e2e_cache test_cache.py)
add_e2e_test(e2e_splash test_splash.py)
