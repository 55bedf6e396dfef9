#pragma once

#include "SiteDatabase.h"
#include "site/SiteLibrary.h"

// The stand-in site object library: the site interfaces over a SQL database reached through
// QtSql (SQLite, PostgreSQL, or anything ODBC reaches).
//
// One top-level object owns one connection, opened on creation. Its cards keep that connection
// alive; it closes when the top-level object and every card from it are released. Objects must
// be used on the thread that created them. Failing methods throw an Error with a trimmed message.
namespace dormex::sitelib {

// Creates the top-level object over the database that "SiteLibrary.ini" beside the program
// names (see readRegistration). A `readOnly` one's connection refuses every change to the
// database (SQLite query_only, PostgreSQL default_transaction_read_only, ODBC's read-only access
// mode): a card's Save or QueueDownload fails and leaves the site as it was. For the preview.
std::shared_ptr<site::TopLevelObject> CreateTopLevelObject(bool readOnly = false);

// Creates the top-level object over the database `settings` name.
std::shared_ptr<site::TopLevelObject> CreateTopLevelObjectWith(const ConnectionSettings& settings);

}  // namespace dormex::sitelib
