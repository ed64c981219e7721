// SPDX-License-Identifier: Apache-2.0
// The program's own definition of PAPPL 1.3.1's job thread start, which
// starts each job's thread once and one job of a printer at a time, and of
// its system delete, which ends the threads still waiting (see
// job-start-guard.cpp). PAPPL calls them; the app does not.
#pragma once

#include <pappl/pappl.h>

extern "C" void* _papplJobProcess(pappl_job_t* job);
extern "C" void papplSystemDelete(pappl_system_t* system);
