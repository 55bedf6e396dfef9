#pragma once

#include <cstdio>
#include <string>

#include "site/SiteLibrary.h"

// The preview: the unattended start's set-up, selection and card lookups, without any card
// operation, the results printed instead of logged.
namespace dormex {

// Runs the preview. A first line on `out` gives the cut-off literal and the feed check's count
// and verdict; each card the run would deactivate is a line ending in ", Would deactivate",
// followed by one summary line; what the run would log as a failure goes to `err`, and a set-up
// error too, as "Dormex: " and the message, as the unattended run writes it. Writes neither the log
// nor the settings. Returns 0, 1 after a failure, 2 after a set-up error.
int RunPreview(site::CreateFunction createSite, std::FILE* out, std::FILE* err);

}  // namespace dormex
