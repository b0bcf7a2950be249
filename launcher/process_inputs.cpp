// SPDX-License-Identifier: MIT
// What the process was given, read once at the start and kept in the launch
// record: the runtime's argument vector and the own module path. The role
// decision and the child launch both read them; this file calls no other
// file of the launcher, so the calls between the launcher's files run one
// way (the run sequence down to the parts, the parts down to here).
#include "launcher/launcher.h"

#include <stdlib.h>

void capture_process_inputs(launch_record *record)
{
    record->argc = *__p___argc();
    record->argv = *__p___wargv();
    record->module_path_length = GetModuleFileNameW(NULL, record->module_path, OWN_IMAGE_PATH_CHARS);
}

const wchar_t *own_module_path(const launch_record *record, DWORD capacity)
{
    if (record->module_path_length == 0 || record->module_path_length >= capacity)
        abort();
    return record->module_path;
}
