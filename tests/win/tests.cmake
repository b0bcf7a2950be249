# SPDX-License-Identifier: MIT
# Host-side registration of the Windows unit-test programs (built from tests/win/).
# Pattern: add_wine_test(unit_paths unit_paths.exe)
add_wine_test(unit_command_line unit_command_line.exe)
add_wine_test(unit_paths unit_paths.exe)
add_wine_test(unit_cleanup unit_cleanup.exe)
add_wine_test(unit_role unit_role.exe)
add_wine_test(unit_unpack unit_unpack.exe)
