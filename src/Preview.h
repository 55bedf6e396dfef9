#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "site/SiteLibrary.h"

// The preview: the unattended start's set-up and selection, with every card operation recorded
// instead of reaching the site, and the results printed instead of logged.
namespace dormex {

// A card as the run gets it, made from the library's own card.
using CardWrap = std::function<std::shared_ptr<site::Card>(std::shared_ptr<site::Card>)>;

// A site library that is `real`, except that every card an Item gives passes through `wrap`.
site::CreateFunction WrappedCards(site::CreateFunction real, CardWrap wrap);

// A site library that is `real`, except that every card operation does nothing.
site::CreateFunction InertSite(site::CreateFunction real);

// Runs the preview. A first line on `out` gives the cut-off literal and the feed check's count
// and verdict; each card the run would deactivate is a line ending in ", Would deactivate",
// followed by one summary line; what the run would log as a failure goes to `err`, and a set-up
// error too, as "Dormex: " and the message, as the unattended run writes it. Writes neither the log
// nor the settings. Returns 0, 1 after a failure, 2 after a set-up error.
int RunPreview(site::CreateFunction createSite, std::FILE* out, std::FILE* err);

}  // namespace dormex
