// What the FT_* entry points share: the process-wide session and the handle check.
#pragma once

#include "ft60x/device/dev_handle.h"
#include "ft60x/session/session.h"

// The process-wide session, created by the first call that needs it (one creation even when two
// threads race for it). Null when it could not be created.
session* get_session();

// The session if it has been created, without creating it.
session* existing_session();

// The registered handle behind `handle`, or null when it is null or not registered with the
// session. Creates the session when needed; takes no lock.
dev_handle* checked_handle(void* handle);
