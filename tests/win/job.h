// SPDX-License-Identifier: MIT
// The test runners' job object: everything a run starts is ended when the
// runner's handle to the job closes, so no test leaves processes behind.
#pragma once

#include <windows.h>
#include <string.h>

// Returns a job that kills its processes when its last handle closes, or NULL.
static inline HANDLE create_kill_on_close_job(void)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}
